// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/ContentView.h"

#include "core/ContentModel.h"
#include "core/Coroutine.h"
#include "core/Shell.h"
#include "gui/CloudflareMenu.h"
#include "gui/FirstPaint.h"
#include "gui/RowAccessibility.h"
#include "gui/RowPages.h"
#include "gui/Spinner.h"
#include "gui/StatusLine.h"
#include "gui/TunnelActions.h"
#include "gui/TunnelRow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

namespace Velumo {

ContentView::ContentView(QWidget *parent)
    : ContentView(new ContentModel, parent)
{}

ContentView::ContentView(ContentModel *model, QWidget *parent)
    : QMainWindow(parent)
    , m_model(model)
{
    m_model->setParent(this);
    m_actions = new TunnelActions(*m_model, this);
    installRowAccessibility();
    setObjectName(QStringLiteral("contentView"));
    setWindowTitle(QStringLiteral("Velumo"));
    buildMenus();
    buildToolbar();
    buildBody();

    statusBar()->setObjectName(QStringLiteral("statusBar"));
    auto *statusLine = new StatusLine(statusBar());
    statusBar()->addWidget(statusLine, 1);
    connect(m_model, &ContentModel::statusMessageChanged, this,
            [this, statusLine](const QString &message) {
                statusLine->setMessage(message, m_model->failedRunLog());
                // A Create that did not find the tool, or found it after all.
                updateEmptyState();
            });
    connect(m_model, &ContentModel::objectWillChange, this, &ContentView::scheduleUpdate);
    // Rows follow the registry as it changes: one row's change is applied to that row alone.
    TunnelRegistry *registry = &m_model->registry();
    connect(registry, &TunnelRegistry::modelReset, this, &ContentView::rebuildRows);
    connect(registry, &TunnelRegistry::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { insertRows(first, last); });
    connect(registry, &TunnelRegistry::rowsRemoved, this,
            [this](const QModelIndex &, int first, int last) { removeRows(first, last); });
    connect(registry, &TunnelRegistry::dataChanged, this,
            [this](const QModelIndex &first, const QModelIndex &last) {
                for (int row = first.row(); row <= last.row() && row < int(m_rows.size()); ++row) {
                    m_rows[size_t(row)]->setState(first.siblingAtRow(row));
                }
            });
    resize(720, 420);
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
    QAction *preferences =
        file->addAction(tr("Preferences…"), this, &ContentView::preferencesRequested);
    preferences->setObjectName(QStringLiteral("preferencesAction"));
    preferences->setMenuRole(QAction::PreferencesRole);
    file->addSeparator();
    QAction *quit = file->addAction(tr("&Quit"), this, &ContentView::quitRequested);
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);

    menuBar()->addMenu(new CloudflareMenu(m_model->named(), this));

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
    // Its text gives way to a spinner while a tunnel is created.
    m_createButton->setAccessibleName(tr("Create"));
    m_createButton->setAutoDefault(false);
    m_createButton->setFixedWidth(60);
    m_createSpinner = new Spinner(m_createButton);
    m_createSpinner->setScale(0.5);
    auto *buttonLayout = new QHBoxLayout(m_createButton);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    buttonLayout->addWidget(m_createSpinner, 0, Qt::AlignCenter);
    m_createSpinner->hide();
    connect(m_createButton, &QPushButton::clicked, this, [this] {
        startOwned(m_model, m_model->createTunnel(m_hostname->text(), m_port->text()));
    });

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
    // Tab goes through the rows' controls; a click on one of their buttons leaves the focus
    // where it was rather than giving it to the list.
    scroll->setFocusPolicy(Qt::NoFocus);

    m_list = new QWidget(scroll);
    m_list->setObjectName(QStringLiteral("tunnelListContent"));
    afterFirstPaint(m_list, [this] {
        // Looking for the tool and making the rows wait for the first frame.
        m_listPainted = true;
        updateEmptyState();
        rebuildRows();
    });
    auto *listLayout = new QVBoxLayout(m_list);
    listLayout->setSpacing(0);
    listLayout->setContentsMargins(8, 8, 8, 8);

    auto *header = new QLabel(tr("Tunnels"), m_list);
    header->setObjectName(QStringLiteral("tunnelsHeader"));
    QFont font = header->font();
    font.setBold(true);
    header->setFont(font);
    header->setContentsMargins(8, 4, 8, 6);
    listLayout->addWidget(header);

    m_emptyState = new QLabel(m_list);
    m_emptyState->setObjectName(QStringLiteral("emptyState"));
    m_emptyState->setTextFormat(Qt::PlainText);
    m_emptyState->setWordWrap(true);
    m_emptyState->setContentsMargins(8, 4, 8, 4);
    // Shown once the list has been read and found empty.
    m_emptyState->hide();
    listLayout->addWidget(m_emptyState);

    m_rowPages = new RowPages(m_list);
    listLayout->addWidget(m_rowPages);
    listLayout->addStretch(1);

    scroll->setWidget(m_list);
    setCentralWidget(scroll);
    updateEmptyState();
}

void ContentView::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Once per window: loading again on a later show (after minimising, say) would wipe the
    // addresses of tunnels that are running.
    if (!m_loaded) {
        m_loaded = true;
        m_model->loadTunnels();
        // In the first frame already: the empty state, or room for the rows.
        updateFromModel();
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
    const bool loading = m_model->loading();
    QWidget *focus = focusWidget();
    if (loading && !m_formFocus &&
        (focus == m_hostname || focus == m_port || focus == m_createButton)) {
        m_formFocus = focus;
    }
    m_hostname->setEnabled(!loading);
    m_port->setEnabled(!loading);
    m_createButton->setEnabled(!loading);
    if (loading && m_formFocus && m_formFocus == focus) {
        m_focusParked = focusWidget();
    } else if (!loading && m_formFocus) {
        // Disabling the form passed the keyboard focus on; it comes back with the form, unless
        // the user has moved it since.
        if (focusWidget() == m_focusParked) {
            m_formFocus->setFocus();
        }
        m_formFocus = nullptr;
        m_focusParked = nullptr;
    }
    m_createButton->setText(loading ? QString() : tr("Create"));
    m_createSpinner->setVisible(loading);
    m_emptyState->setVisible(m_model->registry().rowCount() == 0);
}

void ContentView::updateEmptyState()
{
    QString text = tr("No tunnels yet. Type the hostname and port of a service running on this "
                      "computer, then press Create: Velumo lists the public address that "
                      "reaches it here.");
    // The tool is looked for once the window is on screen.
    if (m_listPainted && m_model->toolPath().isEmpty()) {
        text = tr("Velumo makes tunnels with Cloudflare's tool cloudflared, which was not found. "
                  "Velumo looked in: %1.")
                   .arg(cloudflaredSearchPlaces().join(QStringLiteral(", "))) +
               u"\n\n" +
               tr("Install Cloudflare's Debian package (cloudflared, from pkg.cloudflare.com or "
                  "as the .deb from github.com/cloudflare/cloudflared/releases), or Velumo's "
                  "package built with the tool bundled (see \"Install\" in Velumo's README). "
                  "No restart is needed: Create looks for it again.") +
               u"\n\n" + text;
    }
    m_emptyState->setText(text);
}

void ContentView::rebuildRows()
{
    m_emptyState->setVisible(m_model->registry().rowCount() == 0);
    if (!m_listPainted) {
        return;
    }
    qDeleteAll(std::exchange(m_rows, {}));
    insertRows(0, m_model->registry().rowCount() - 1);
}

void ContentView::insertRows(int first, int last)
{
    m_emptyState->hide();
    if (!m_listPainted || last < first) {
        return;
    }
    // A row moved to another page loses the focus; it gets it back at the end.
    const QPointer<QWidget> focus = QApplication::focusWidget();
    // Showing a widget in a visible list lays the list out at once: many new rows are placed
    // while it is hidden, and laid out together when it shows again.
    const bool hide = last > first && m_rowPages->isVisible();
    if (hide) {
        m_rowPages->hide();
    }
    QSet<TunnelRow *> made;
    const TunnelRegistry &registry = m_model->registry();
    for (int row = first; row <= last; ++row) {
        auto *tunnelRow =
            new TunnelRow(registry.index(row), *m_actions, m_rowPages->pageFor(size_t(row)));
        m_rows.insert(m_rows.begin() + row, tunnelRow);
        made.insert(tunnelRow);
    }
    m_rowPages->place(m_rows, size_t(first), made);
    if (!std::exchange(m_widened, true)) {
        widenForRows();
    }
    if (hide) {
        // Painted as one, rather than row by row.
        m_rowPages->setUpdatesEnabled(false);
        m_rowPages->show();
        m_rowPages->setUpdatesEnabled(true);
    }
    if (focus && focus != QApplication::focusWidget() && focus->isVisible()) {
        focus->setFocus();
    }
}

void ContentView::widenForRows()
{
    // Once, at the first row: a window that opens narrower than a row scrolls the list
    // sideways from the start and hides Stop and Delete. It grows as far as the screen allows.
    auto *scroll = findChild<QScrollArea *>(QStringLiteral("tunnelList"));
    const QMargins margins = m_list->layout()->contentsMargins();
    const int wanted = m_rowPages->minimumSizeHint().width() + margins.left() + margins.right() -
                       scroll->viewport()->width();
    if (wanted <= 0 || isMaximized() || isFullScreen()) {
        return;
    }
    const int room = screen() ? screen()->availableGeometry().width() - frameGeometry().width() +
                                    width()
                              : width() + wanted;
    resize(std::max(width(), std::min(width() + wanted, room)), height());
}

void ContentView::removeRows(int first, int last)
{
    m_emptyState->setVisible(m_model->registry().rowCount() == 0);
    if (!m_listPainted || size_t(last) >= m_rows.size()) {
        return;
    }
    const QPointer<QWidget> focus = QApplication::focusWidget();
    const auto begin = m_rows.begin() + first;
    const auto end = m_rows.begin() + last + 1;
    // The row may hold the button whose action removed it: it goes once that is over.
    std::for_each(begin, end, [](TunnelRow *row) {
        row->hide();
        row->deleteLater();
        row->parentWidget()->layout()->removeWidget(row);
    });
    m_rows.erase(begin, end);
    m_rowPages->place(m_rows, size_t(first), {});
    if (focus && focus != QApplication::focusWidget() && focus->isVisible()) {
        focus->setFocus();
    }
}

} // namespace Velumo
