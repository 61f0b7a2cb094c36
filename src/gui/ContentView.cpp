// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/ContentView.h"

#include "core/ContentModel.h"
#include "core/Shell.h"
#include "gui/CloudflareMenu.h"
#include "gui/FirstPaint.h"
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
#include <QMultiHash>
#include <QPushButton>
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
                statusLine->setMessage(message);
                // A Create that did not find the tool, or found it after all.
                updateEmptyState();
            });
    connect(m_model, &ContentModel::objectWillChange, this, &ContentView::scheduleUpdate);
    auto markDirty = [this](const QUuid &id) {
        m_dirty.insert(id);
        scheduleUpdate();
    };
    connect(m_model, &ContentModel::activityChanged, this, markDirty);
    connect(m_model, &ContentModel::serviceListeningChanged, this, markDirty);
    NamedTunnelModel &named = m_model->named();
    connect(&named, &NamedTunnelModel::tunnelsChanged, this, &ContentView::scheduleUpdate);
    connect(&named, &NamedTunnelModel::activityChanged, this, markDirty);
    connect(&named, &NamedTunnelModel::serviceListeningChanged, this, markDirty);
    connect(m_actions, &TunnelActions::optionsChanged, this, markDirty);
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
    // Tab goes through the rows' controls; a click on one of their buttons leaves the focus
    // where it was rather than giving it to the list.
    scroll->setFocusPolicy(Qt::NoFocus);

    m_list = new QWidget(scroll);
    m_list->setObjectName(QStringLiteral("tunnelListContent"));
    afterFirstPaint(m_list, [this] {
        // Looking for the tool and making the rows wait for the first frame.
        m_listPainted = true;
        updateEmptyState();
        scheduleUpdate();
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
    m_emptyState->setVisible(m_model->tunnels().isEmpty() && m_model->named().tunnels().isEmpty());
    if (m_listPainted) {
        updateRows();
    }
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

TunnelList ContentView::shownTunnels() const
{
    TunnelList shown;
    shown.reserve(m_model->named().tunnels().size() + m_model->tunnels().size());
    for (const NamedTunnel &tunnel : m_model->named().tunnels()) {
        shown.append(TunnelActions::shown(tunnel));
    }
    shown.append(m_model->tunnels());
    return shown;
}

void ContentView::updateRows()
{
    const TunnelList tunnels = shownTunnels();
    const QSet<QUuid> dirty = std::exchange(m_dirty, {});
    // A row moved to another page, or in a list hidden while it fills, loses the focus; it
    // gets it back at the end.
    const QPointer<QWidget> focus = QApplication::focusWidget();

    // Most updates change records in place: rows are matched by position while the ids agree,
    // and by id from the first difference on.
    size_t inPlace = 0;
    while (inPlace < m_rows.size() && inPlace < size_t(tunnels.size()) &&
           m_rows[inPlace]->tunnel().id == tunnels[qsizetype(inPlace)].id) {
        ++inPlace;
    }
    QMultiHash<QUuid, TunnelRow *> spare;
    for (size_t i = inPlace; i < m_rows.size(); ++i) {
        spare.insert(m_rows[i]->tunnel().id, m_rows[i]);
    }
    std::vector<TunnelRow *> rows;
    rows.reserve(size_t(tunnels.size()));
    QSet<TunnelRow *> made;
    // Showing a widget in a visible list lays the list out at once: many new rows are placed
    // while it is hidden, and laid out together when it shows again.
    bool hidden = false;
    for (const Tunnel &tunnel : tunnels) {
        TunnelRow *row = rows.size() < inPlace ? m_rows[rows.size()] : spare.take(tunnel.id);
        if (!row) {
            if (made.size() == 1 && m_rowPages->isVisible()) {
                m_rowPages->hide();
                hidden = true;
            }
            row = makeRow(tunnel, m_rowPages->pageFor(rows.size()));
            made.insert(row);
        } else if (dirty.contains(tunnel.id) || !(row->tunnel() == tunnel)) {
            row->setState(tunnel, m_actions->activity(tunnel.id),
                          m_actions->serviceListening(tunnel.id), m_actions->extras(tunnel.id));
        }
        rows.push_back(row);
    }
    qDeleteAll(spare);

    m_rowPages->place(rows, inPlace, made);
    if (hidden) {
        // Painted as one, rather than row by row.
        m_rowPages->setUpdatesEnabled(false);
        m_rowPages->show();
        m_rowPages->setUpdatesEnabled(true);
    }
    if (focus && focus != QApplication::focusWidget() && focus->isVisible()) {
        focus->setFocus();
    }
    m_rows = std::move(rows);
}

TunnelRow *ContentView::makeRow(const Tunnel &tunnel, QWidget *parent)
{
    auto *row =
        new TunnelRow(tunnel, m_actions->activity(tunnel.id),
                      m_actions->serviceListening(tunnel.id), m_actions->extras(tunnel.id), parent);
    TunnelActions *actions = m_actions;
    connect(row, &TunnelRow::openRequested, actions, &TunnelActions::openAddress);
    connect(row, &TunnelRow::copyRequested, actions, &TunnelActions::copyAddress);
    connect(row, &TunnelRow::linkWithKeyRequested, actions, &TunnelActions::copyLinkWithKey);
    connect(row, &TunnelRow::qrCodeRequested, actions, &TunnelActions::showQrCode);
    connect(row, &TunnelRow::logRequested, actions, &TunnelActions::showLog);
    connect(row, &TunnelRow::requestsRequested, actions, &TunnelActions::showRequests);
    connect(row, &TunnelRow::restartRequested, actions, &TunnelActions::restart);
    connect(row, &TunnelRow::restartOverHttp2Requested, m_model, &ContentModel::restartOverHttp2);
    connect(row, &TunnelRow::stopRequested, actions, &TunnelActions::stop);
    connect(row, &TunnelRow::deleteRequested, actions, &TunnelActions::remove);
    connect(row, &TunnelRow::inspectToggled, actions, &TunnelActions::setInspected);
    connect(row, &TunnelRow::passwordToggled, actions, &TunnelActions::setPasswordRequired);
    return row;
}

} // namespace Velumo
