// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RowPages.h"

#include "gui/TunnelRow.h"

#include <QEvent>
#include <QVBoxLayout>

#include <span>

namespace Velumo {

namespace {

// Rows one below the other, each as tall as it asks and as wide as the page. A row that
// changes asks its page again; only when its size changed does the page move anything, and
// only when the page's own size changed does the column of pages hear of it. (In a QLayout,
// each row's change would lay out the page, the column and the scroll area once more.)
class RowPage : public QWidget
{
public:
    explicit RowPage(QWidget *parent)
        : QWidget(parent)
    {
        setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    }

    const std::vector<TunnelRow *> &rows() const { return m_rows; }

    void setRows(std::span<TunnelRow *const> rows)
    {
        if (std::ranges::equal(rows, m_rows)) {
            return;
        }
        m_rows.assign(rows.begin(), rows.end());
        for (TunnelRow *row : m_rows) {
            if (row->parentWidget() != this) {
                // Moved from another page, which hides it.
                row->setParent(this);
            }
        }
        relayout();
        // Shown explicitly: a row only not hidden would be shown along with the list through
        // QWidget::show(), which asks its page to lay out again, row by row.
        for (TunnelRow *row : m_rows) {
            row->show();
        }
    }

    QSize sizeHint() const override { return m_size; }
    QSize minimumSizeHint() const override { return m_size; }

protected:
    bool event(QEvent *event) override
    {
        // A row's size may have changed (it asks with a layout request), or the page's.
        if (event->type() == QEvent::LayoutRequest || event->type() == QEvent::Resize ||
            event->type() == QEvent::Show) {
            relayout();
        }
        return QWidget::event(event);
    }

private:
    void relayout()
    {
        int top = 0;
        int widest = 0;
        for (TunnelRow *row : m_rows) {
            const QSize hint = row->sizeHint().expandedTo(row->minimumSize());
            if (const QRect place(0, top, std::max(width(), hint.width()), hint.height());
                row->geometry() != place) {
                row->setGeometry(place);
            }
            widest = std::max(widest, hint.width());
            top += hint.height();
        }
        if (const QSize size(widest, top); size != m_size) {
            m_size = size;
            updateGeometry();
        }
    }

    std::vector<TunnelRow *> m_rows;
    QSize m_size{0, 0};
};

} // namespace

RowPages::RowPages(QWidget *parent)
    : QWidget(parent)
    , m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("tunnelRows"));
    m_layout->setSpacing(0);
    m_layout->setContentsMargins(0, 0, 0, 0);
}

QWidget *RowPages::pageFor(size_t index)
{
    while (size_t(m_layout->count()) <= index / rowsPerPage) {
        auto *page = new RowPage(this);
        m_layout->addWidget(page);
        page->show();
    }
    return m_layout->itemAt(int(index / rowsPerPage))->widget();
}

void RowPages::place(const std::vector<TunnelRow *> &rows, size_t from)
{
    const size_t pages = (rows.size() + rowsPerPage - 1) / rowsPerPage;
    for (size_t page = from / rowsPerPage; page < pages; ++page) {
        const size_t first = page * rowsPerPage;
        const size_t count = std::min(rowsPerPage, rows.size() - first);
        static_cast<RowPage *>(pageFor(first))->setRows(std::span(rows).subspan(first, count));
    }
    while (size_t(m_layout->count()) > pages) {
        QWidget *page = m_layout->itemAt(m_layout->count() - 1)->widget();
        m_layout->removeWidget(page);
        page->hide();
        // A row on it may hold the button whose action removed it.
        page->deleteLater();
    }
}

std::vector<TunnelRow *> RowPages::rows() const
{
    std::vector<TunnelRow *> rows;
    rows.reserve(rowCount());
    for (int page = 0; page < m_layout->count(); ++page) {
        const auto &onPage = static_cast<RowPage *>(m_layout->itemAt(page)->widget())->rows();
        rows.insert(rows.end(), onPage.begin(), onPage.end());
    }
    return rows;
}

size_t RowPages::rowCount() const
{
    size_t count = 0;
    for (int page = 0; page < m_layout->count(); ++page) {
        count += static_cast<RowPage *>(m_layout->itemAt(page)->widget())->rows().size();
    }
    return count;
}

} // namespace Velumo
