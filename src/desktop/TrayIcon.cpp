// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/TrayIcon.h"

#include <QMenu>

// The resource sits in a static library: naming it here pulls it into every program that
// shows the icon. The macro must be used outside any namespace.
static void initTrayResource()
{
    Q_INIT_RESOURCE(tray);
}

namespace Velumo {

TrayIcon::TrayIcon(QObject *parent)
    : QSystemTrayIcon(parent)
    , m_menu(std::make_unique<QMenu>())
{
    initTrayResource();
    // The app's own icon says a tunnel is live; its greyed form that none is.
    m_liveIcon = QIcon(QStringLiteral(":/tray/org.velumo.Velumo.svg"));
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        m_idleIcon.addPixmap(m_liveIcon.pixmap(size, QIcon::Disabled));
    }
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    setContextMenu(m_menu.get());
    connect(this, &QSystemTrayIcon::activated, this, [this](ActivationReason reason) {
        if (reason != Context) {
            Q_EMIT showRequested();
        }
    });
    setTunnels({}, 0);
}

TrayIcon::~TrayIcon()
{
    // Leaves the tray while the menu it shows there still exists.
    hide();
}

void TrayIcon::setTunnels(const QList<Entry> &entries, int runningTools)
{
    if (runningTools != m_runningTools) {
        m_runningTools = runningTools;
        setIcon(runningTools > 0 ? m_liveIcon : m_idleIcon);
        setToolTip(runningTools == 0   ? tr("Velumo: no tunnel running")
                   : runningTools == 1 ? tr("Velumo: 1 tunnel running")
                                       : tr("Velumo: %1 tunnels running").arg(runningTools));
    }
    // Tools report often, and every rebuild goes to the tray host: only when something shown
    // changed.
    if (entries != m_entries || m_menu->isEmpty()) {
        m_entries = entries;
        rebuildMenu();
    }
}

void TrayIcon::rebuildMenu()
{
    m_menu->clear();
    qDeleteAll(m_menu->findChildren<QMenu *>(Qt::FindDirectChildrenOnly));
    for (const Entry &entry : std::as_const(m_entries)) {
        m_menu->addMenu(entry.title)->addActions(entry.actions);
    }
    if (!m_entries.isEmpty()) {
        m_menu->addSeparator();
    }
    m_menu->addAction(tr("Show Velumo"), this, &TrayIcon::showRequested);
    m_menu->addAction(tr("Quit"), this, &TrayIcon::quitRequested);
}

} // namespace Velumo
