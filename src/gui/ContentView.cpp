// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentView.h"

#include "ContentModel.h"
#include "Spinner.h"
#include "TunnelRow.h"

#include <QAction>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>

namespace Velumo {

ContentView::ContentView(QWidget *parent) : ContentView(new ContentModel, parent) {}

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
    connect(m_model, &ContentModel::activityChanged, this, &ContentView::scheduleUpdate);
    connect(m_model, &ContentModel::serviceListeningChanged, this, &ContentView::scheduleUpdate);

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
    connect(m_createButton, &QPushButton::clicked, this, [this] {
        m_model->createTunnel(m_hostname->text(), m_port->text());
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

    auto *list = new QWidget(scroll);
    list->setObjectName(QStringLiteral("tunnelListContent"));
    m_listLayout = new QVBoxLayout(list);
    m_listLayout->setSpacing(0);
    m_listLayout->setContentsMargins(8, 8, 8, 8);

    auto *header = new QLabel(tr("Tunnels"), list);
    header->setObjectName(QStringLiteral("tunnelsHeader"));
    header->setAccessibleName(tr("Tunnels"));
    QFont font = header->font();
    font.setBold(true);
    header->setFont(font);
    header->setContentsMargins(8, 4, 8, 6);
    m_listLayout->addWidget(header);
    m_listLayout->addStretch(1);

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
    QWidget *list = m_listLayout->parentWidget();

    // Reuse rows by id (in order, should two records share an id); rebuild only changed ones.
    QHash<QUuid, std::vector<RowEntry>> reusable;
    reusable.reserve(qsizetype(m_rows.size()));
    for (auto it = m_rows.rbegin(); it != m_rows.rend(); ++it) {
        reusable[it->row->tunnel().id].push_back(*it);
    }

    std::vector<RowEntry> rows;
    rows.reserve(size_t(tunnels.size()));
    int rebuilt = 0;
    bool moved = false;
    for (const Tunnel &tunnel : tunnels) {
        RowEntry entry;
        auto found = reusable.find(tunnel.id);
        if (found != reusable.end() && !found->empty()) {
            entry = found->back();
            found->pop_back();
            if (entry.row->update(tunnel, m_model->activity(tunnel.id),
                                  m_model->serviceListening(tunnel.id))) {
                ++rebuilt;
            }
        } else {
            entry.row = new TunnelRow(tunnel, m_model, list);
            entry.row->update(tunnel, m_model->activity(tunnel.id),
                              m_model->serviceListening(tunnel.id));
            entry.divider = new QFrame(list);
            entry.divider->setObjectName(QStringLiteral("divider"));
            entry.divider->setFrameShape(QFrame::HLine);
            entry.divider->setFrameShadow(QFrame::Sunken);
            ++rebuilt;
            moved = true;
        }
        const size_t at = rows.size();
        if (!moved && (at >= m_rows.size() || m_rows[at].row != entry.row)) {
            moved = true;
        }
        rows.push_back(entry);
    }
    for (const std::vector<RowEntry> &left : std::as_const(reusable)) {
        for (const RowEntry &entry : left) {
            delete entry.row;
            delete entry.divider;
            moved = true;
        }
    }
    if (moved || rows.size() != m_rows.size()) {
        // Header first, then row and divider per tunnel, then the stretch.
        for (size_t i = 0; i < rows.size(); ++i) {
            const int at = 1 + int(i) * 2;
            if (m_listLayout->indexOf(rows[i].row) != at) {
                m_listLayout->removeWidget(rows[i].row);
                m_listLayout->removeWidget(rows[i].divider);
                m_listLayout->insertWidget(at, rows[i].row);
                m_listLayout->insertWidget(at + 1, rows[i].divider);
            }
            rows[i].row->show();
            rows[i].divider->show();
        }
    }
    m_rows = std::move(rows);
    m_lastRebuilt = rebuilt;
}

} // namespace Velumo
