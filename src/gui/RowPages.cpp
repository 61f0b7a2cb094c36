// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RowPages.h"

#include "gui/TunnelRow.h"

#include <QVBoxLayout>

namespace Velumo {

namespace {

QVBoxLayout *column(QWidget *widget)
{
    auto *layout = new QVBoxLayout(widget);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

} // namespace

RowPages::RowPages(QWidget *parent)
    : QWidget(parent)
    , m_layout(column(this))
{
    setObjectName(QStringLiteral("tunnelRows"));
}

QWidget *RowPages::pageFor(size_t index)
{
    while (size_t(m_layout->count()) <= index / rowsPerPage) {
        auto *page = new QWidget(this);
        column(page);
        m_layout->addWidget(page);
        page->show();
    }
    return m_layout->itemAt(int(index / rowsPerPage))->widget();
}

void RowPages::place(const std::vector<TunnelRow *> &rows, size_t from,
                     const QSet<TunnelRow *> &made)
{
    for (size_t i = from; i < rows.size(); ++i) {
        auto *page = static_cast<QVBoxLayout *>(pageFor(i)->layout());
        const int at = int(i % rowsPerPage);
        if (const QLayoutItem *item = page->itemAt(at); item && item->widget() == rows[i]) {
            continue;
        }
        if (!made.contains(rows[i])) {
            rows[i]->parentWidget()->layout()->removeWidget(rows[i]);
        }
        // A row moved to another page is hidden on the way.
        page->insertWidget(at, rows[i]);
        rows[i]->show();
    }
    const int pages = int((rows.size() + rowsPerPage - 1) / rowsPerPage);
    while (m_layout->count() > pages) {
        delete m_layout->itemAt(m_layout->count() - 1)->widget();
    }
}

std::vector<TunnelRow *> RowPages::rows() const
{
    std::vector<TunnelRow *> rows;
    for (int page = 0; page < m_layout->count(); ++page) {
        const QLayout *column = m_layout->itemAt(page)->widget()->layout();
        for (int row = 0; row < column->count(); ++row) {
            rows.push_back(static_cast<TunnelRow *>(column->itemAt(row)->widget()));
        }
    }
    return rows;
}

} // namespace Velumo
