// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/ContentView.h"

#include "core/ContentModel.h"
#include "gui/Spinner.h"
#include "gui/TunnelRow.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

#include <functional>
#include <limits>

namespace Velumo {

// The rows stacked top to bottom. A box layout lays out every
// one of its rows again whenever any of them changes size, and painting a widget costs a walk
// over all the siblings above it; so the stack moves and resizes only what has to move, and
// keeps its rows in pages of a few dozen, so no widget has thousands of siblings.
class RowStack : public QWidget
{
    Q_DISABLE_COPY_MOVE(RowStack)

    // A page passes on its rows' requests to be placed again: only its own rows can have
    // changed size.
    class Page : public QWidget
    {
        Q_DISABLE_COPY_MOVE(Page)

    public:
        Page(RowStack *stack, size_t index)
            : QWidget(stack)
            , m_stack(stack)
            , m_index(index)
        {}

        // What its rows took when they were last placed.
        int rowsHeight = 0;
        int rowsMinimumWidth = 0;

    protected:
        bool event(QEvent *event) override
        {
            if (event->type() == QEvent::LayoutRequest) {
                m_stack->placeRows(m_index);
                m_stack->placePages();
                return true;
            }
            return QWidget::event(event);
        }

    private:
        RowStack *m_stack;
        size_t m_index;
    };

public:
    static constexpr size_t rowsPerPage = 32;

    explicit RowStack(QWidget *parent)
        : QWidget(parent)
    {
        setObjectName(QStringLiteral("tunnelRows"));
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        // The list around the stack is painted in every frame, even with no rows in it.
        parent->installEventFilter(this);
    }

    // The parent for the row that is to be shown at `index`.
    QWidget *pageFor(size_t index)
    {
        while (m_pages.size() <= index / rowsPerPage) {
            m_pages.push_back(new Page(this, m_pages.size()));
            m_pages.back()->show();
        }
        return m_pages[index / rowsPerPage];
    }

    // The rows, in the order they are shown.
    void setEntries(std::vector<QWidget *> entries)
    {
        m_entries = std::move(entries);
        const size_t pageCount = (m_entries.size() + rowsPerPage - 1) / rowsPerPage;
        for (size_t i = 0; i < m_entries.size(); ++i) {
            // Rows move to another page only when rows before them come or go.
            QWidget *page = pageFor(i);
            QWidget *row = m_entries[i];
            if (row->parentWidget() != page) {
                // Moving a widget hides it; one that was showing shows again.
                const bool shown = !row->isHidden();
                row->setParent(page);
                row->setVisible(shown);
            }
        }
        while (m_pages.size() > pageCount) {
            delete m_pages.back();
            m_pages.pop_back();
        }
        place();
    }

    bool hasPainted() const { return m_painted; }
    // Runs `call` from the event loop once the list has been painted.
    void callAfterPaint(std::function<void()> call) { m_afterPaint = std::move(call); }

    QSize sizeHint() const override { return m_hint; }
    QSize minimumSizeHint() const override { return m_hint; }

protected:
    bool event(QEvent *event) override
    {
        // A row shown, hidden or resized asks for this.
        if (event->type() == QEvent::LayoutRequest) {
            place();
            return true;
        }
        return QWidget::event(event);
    }

    void resizeEvent(QResizeEvent *event) override
    {
        QWidget::resizeEvent(event);
        place();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched == parent()) {
            m_painted = true;
            if (m_afterPaint) {
                QMetaObject::invokeMethod(this, std::exchange(m_afterPaint, {}),
                                          Qt::QueuedConnection);
            }
        }
        return false;
    }

private:
    static void setGeometryIfChanged(QWidget *widget, const QRect &rect)
    {
        if (widget->geometry() != rect) {
            widget->setGeometry(rect);
        }
    }

    // Places the rows of one page in it, then the pages, which move only when a page above
    // changed height.
    void placeRows(size_t index)
    {
        if (index >= m_pages.size()) {
            return;
        }
        Page *page = m_pages[index];
        const int width = this->width();
        int y = 0;
        int minimumWidth = 0;
        const size_t end = std::min((index + 1) * rowsPerPage, m_entries.size());
        for (size_t i = index * rowsPerPage; i < end; ++i) {
            QWidget *row = m_entries[i];
            // As a layout would: the size hint within the widget's own limits.
            const int height = row->sizeHint()
                                   .expandedTo(row->minimumSize())
                                   .boundedTo(row->maximumSize())
                                   .height();
            setGeometryIfChanged(row, QRect(0, y, width, height));
            y += height;
            minimumWidth = std::max(minimumWidth, row->minimumSizeHint().width());
        }
        page->rowsHeight = y;
        page->rowsMinimumWidth = minimumWidth;
    }

    void place()
    {
        for (size_t index = 0; index < m_pages.size(); ++index) {
            placeRows(index);
        }
        placePages();
    }

    void placePages()
    {
        int top = 0;
        int minimumWidth = 0;
        for (Page *page : m_pages) {
            setGeometryIfChanged(page, QRect(0, top, width(), page->rowsHeight));
            top += page->rowsHeight;
            minimumWidth = std::max(minimumWidth, page->rowsMinimumWidth);
        }
        if (const QSize hint(minimumWidth, top); hint != m_hint) {
            m_hint = hint;
            updateGeometry();
        }
    }

    std::vector<QWidget *> m_entries;
    std::vector<Page *> m_pages;
    QSize m_hint{0, 0};
    bool m_painted = false;
    std::function<void()> m_afterPaint;
};

namespace {

// Equal when the record is the very copy shown last (same string data), which is what an
// update finds for all but the changed rows; otherwise compared in full.
bool sameRecord(const Tunnel &shown, const Tunnel &current)
{
    auto same = [](const QString &a, const QString &b) {
        return (a.constData() == b.constData() && a.size() == b.size()) || a == b;
    };
    return shown.id == current.id && shown.loading == current.loading &&
           same(shown.hostname, current.hostname) && same(shown.port, current.port) &&
           shown.url == current.url;
}

} // namespace

ContentView::ContentView(QWidget *parent)
    : ContentView(new ContentModel, parent)
{}

ContentView::ContentView(ContentModel *model, QWidget *parent)
    : QMainWindow(parent)
    , m_model(model)
{
    m_model->setParent(this);
    setObjectName(QStringLiteral("contentView"));
    setWindowTitle(QStringLiteral("Velumo"));
    buildMenus();
    buildToolbar();
    buildBody();

    auto *status = statusBar();
    status->setObjectName(QStringLiteral("statusBar"));
    status->setAccessibleName(tr("Status"));
    connect(m_model, &ContentModel::statusMessageChanged, status,
            [status](const QString &message) { status->showMessage(message); });
    connect(m_model, &ContentModel::objectWillChange, this, &ContentView::scheduleUpdate);
    auto markDirty = [this](const QUuid &id) {
        m_dirty.insert(id);
        scheduleUpdate();
    };
    connect(m_model, &ContentModel::activityChanged, this, markDirty);
    connect(m_model, &ContentModel::serviceListeningChanged, this, markDirty);

    updateFromModel();
    resize(720, 420);
}

QString ContentView::hostname() const
{
    return m_hostname->text();
}

QString ContentView::port() const
{
    return m_port->text();
}

void ContentView::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    // The app remembers this and decides what closing the window does.
    QAction *keepRunning = file->addAction(tr("Keep running in the background"));
    keepRunning->setObjectName(QStringLiteral("keepRunningAction"));
    keepRunning->setCheckable(true);
    keepRunning->setChecked(true);
    file->addSeparator();
    QAction *quit = file->addAction(tr("&Quit"), this, &ContentView::quitRequested);
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);

    QMenu *help = menuBar()->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    QAction *about = help->addAction(tr("About Velumo"), this, &ContentView::aboutRequested);
    about->setObjectName(QStringLiteral("aboutAction"));
    // On macOS this moves the item into the application menu.
    about->setMenuRole(QAction::AboutRole);
}

void ContentView::buildToolbar()
{
    auto *toolbar = addToolBar(tr("Create"));
    toolbar->setObjectName(QStringLiteral("createToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->toggleViewAction()->setEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);

    auto *form = new QWidget(toolbar);
    form->setObjectName(QStringLiteral("createForm"));
    auto *layout = new QHBoxLayout(form);
    layout->setContentsMargins(4, 2, 4, 2);

    auto makeField = [form](const QString &name, const QString &title, const QString &text,
                            int width) {
        auto *field = new QLineEdit(text, form);
        field->setObjectName(name);
        field->setPlaceholderText(title);
        field->setAccessibleName(title);
        field->setFixedWidth(width);
        return field;
    };
    m_hostname = makeField(QStringLiteral("hostnameField"), tr("Hostname"),
                           QStringLiteral("localhost"), 200);
    m_port = makeField(QStringLiteral("portField"), tr("Port"), QStringLiteral("3000"), 140);

    m_createButton = new QPushButton(tr("Create"), form);
    m_createButton->setObjectName(QStringLiteral("createButton"));
    m_createButton->setAccessibleName(tr("Create"));
    m_createButton->setAutoDefault(false);
    m_createButton->setFixedWidth(60);
    m_createSpinner = new Spinner(m_createButton);
    m_createSpinner->setScale(0.5);
    auto *buttonLayout = new QHBoxLayout(m_createButton);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    buttonLayout->addWidget(m_createSpinner, 0, Qt::AlignCenter);
    m_createSpinner->hide();
    connect(m_createButton, &QPushButton::clicked, this,
            [this] { m_model->createTunnel(m_hostname->text(), m_port->text()); });

    layout->addWidget(m_hostname, 0, Qt::AlignVCenter);
    layout->addWidget(m_port, 0, Qt::AlignVCenter);
    layout->addWidget(m_createButton, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    toolbar->addWidget(form);
}

void ContentView::buildBody()
{
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("tunnelList"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);

    auto *list = new QWidget(scroll);
    list->setObjectName(QStringLiteral("tunnelListContent"));
    auto *listLayout = new QVBoxLayout(list);
    listLayout->setSpacing(0);
    listLayout->setContentsMargins(8, 8, 8, 8);

    auto *header = new QLabel(tr("Tunnels"), list);
    header->setObjectName(QStringLiteral("tunnelsHeader"));
    header->setAccessibleName(tr("Tunnels"));
    QFont font = header->font();
    font.setBold(true);
    header->setFont(font);
    header->setContentsMargins(8, 4, 8, 6);
    listLayout->addWidget(header);
    m_rowStack = new RowStack(list);
    listLayout->addWidget(m_rowStack);
    listLayout->addStretch(1);

    scroll->setWidget(list);
    setCentralWidget(scroll);
}

void ContentView::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Once per window: loading again on a later show (after minimising, say) would wipe the
    // addresses of tunnels that are running.
    if (!m_loaded) {
        m_loaded = true;
        m_model->loadTunnels();
    }
}

void ContentView::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) {
        Q_EMIT quitRequested();
    }
}

void ContentView::scheduleUpdate()
{
    // The model announces before it writes; the update runs at the end of this turn of the
    // event loop, when the new values are in place, and once for any number of changes.
    if (m_updatePending) {
        return;
    }
    m_updatePending = true;
    QMetaObject::invokeMethod(this, &ContentView::updateFromModel, Qt::QueuedConnection);
}

void ContentView::updateFromModel()
{
    m_updatePending = false;
    updateForm();
    updateRows();
}

void ContentView::updateForm()
{
    const bool loading = m_model->loading();
    m_hostname->setEnabled(!loading);
    m_port->setEnabled(!loading);
    m_createButton->setEnabled(!loading);
    m_createButton->setText(loading ? QString() : tr("Create"));
    m_createSpinner->setVisible(loading);
}

void ContentView::updateRows()
{
    const TunnelList &tunnels = m_model->tunnels();
    const QSet<QUuid> dirty = std::exchange(m_dirty, {});

    // Reuse rows by id (in order, should two records share an id); rebuild only changed ones.
    // Most updates change records in place, so rows are matched by position while the ids
    // agree, and looked up by id only from the first difference on.
    size_t inPlace = 0;
    while (inPlace < m_rows.size() && inPlace < size_t(tunnels.size()) &&
           m_rows[inPlace].shown.id == tunnels[qsizetype(inPlace)].id) {
        ++inPlace;
    }
    QHash<QUuid, std::vector<RowEntry>> reusable;
    reusable.reserve(qsizetype(m_rows.size() - inPlace));
    for (auto it = m_rows.rbegin(); it != m_rows.rend() - qsizetype(inPlace); ++it) {
        reusable[it->shown.id].push_back(*it);
    }

    // A long list is not allowed to hold up the window: before its first frame, rows are made
    // only for a list of at most a page, and of a first list only those that fit in view; the
    // rest follow each time after the next frame.
    int room = std::numeric_limits<int>::max();
    if (isVisible() && m_rows.empty()) {
        const bool longList = size_t(tunnels.size()) > RowStack::rowsPerPage;
        room = !m_rowStack->hasPainted() && longList
                   ? 0
                   : static_cast<QScrollArea *>(centralWidget())->viewport()->height();
    }
    int madeHeight = 0;
    bool heldBack = false;

    std::vector<RowEntry> rows;
    rows.reserve(size_t(tunnels.size()));
    std::vector<TunnelRow *> made;
    int rebuilt = 0;
    bool moved = false;
    for (const Tunnel &tunnel : tunnels) {
        const size_t at = rows.size();
        const bool inItsPlace = at < inPlace;
        auto found = inItsPlace ? reusable.end() : reusable.find(tunnel.id);
        if (inItsPlace || (found != reusable.end() && !found->empty())) {
            if (inItsPlace) {
                rows.push_back(std::move(m_rows[at]));
            } else {
                rows.push_back(std::move(found->back()));
                found->pop_back();
            }
            RowEntry &entry = rows.back();
            // What the tool does and whether the service answers are looked up only for rows
            // the model said something about, and records are compared in this list rather
            // than in the rows: with a long list that was most of an update.
            if (dirty.contains(tunnel.id) || !sameRecord(entry.shown, tunnel)) {
                entry.shown = tunnel;
                if (entry.row->update(tunnel, m_model->activity(tunnel.id),
                                      m_model->serviceListening(tunnel.id))) {
                    ++rebuilt;
                }
            }
        } else if (madeHeight >= room) {
            heldBack = true;
            continue;
        } else {
            auto *row = new TunnelRow(tunnel, m_model, m_rowStack->pageFor(at));
            if (room != std::numeric_limits<int>::max()) {
                madeHeight += row->sizeHint().height();
            }
            rows.push_back(RowEntry{row, tunnel});
            made.push_back(row);
            ++rebuilt;
            moved = true;
        }
        // Rows moved out of the old list keep their pointer there.
        if (!moved && (at >= m_rows.size() || m_rows[at].row != rows.back().row)) {
            moved = true;
        }
    }
    for (const std::vector<RowEntry> &left : std::as_const(reusable)) {
        for (const RowEntry &entry : left) {
            delete entry.row;
            moved = true;
        }
    }
    if (moved || rows.size() != m_rows.size()) {
        // A row shown in a visible stack is placed, announced and repainted on its own; many
        // new rows are shown while the stack is hidden, so that happens once for them all.
        const bool hideWhileFilling = made.size() > 1 && m_rowStack->isVisible();
        if (hideWhileFilling) {
            m_rowStack->hide();
        }
        std::vector<QWidget *> widgets;
        widgets.reserve(rows.size());
        for (const RowEntry &entry : rows) {
            widgets.push_back(entry.row);
        }
        m_rowStack->setEntries(std::move(widgets));
        for (TunnelRow *row : made) {
            row->show();
        }
        if (hideWhileFilling) {
            m_rowStack->show();
        }
    }
    if (heldBack) {
        m_rowStack->callAfterPaint([this] { scheduleUpdate(); });
    }
    m_rows = std::move(rows);
    m_lastRebuilt = rebuilt;
}

} // namespace Velumo
