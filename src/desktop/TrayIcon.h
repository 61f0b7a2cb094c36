// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QIcon>
#include <QList>
#include <QString>
#include <QSystemTrayIcon>

#include <memory>

class QAction;
class QMenu;

namespace Velumo {

// Velumo in the desktop's tray: whether a tunnel is live, and a menu to reach, stop and restart
// each listed tunnel with the window closed. It knows tunnels only as the entries it is given,
// each a title and the tunnel's own actions, which show and hide themselves.
class TrayIcon : public QSystemTrayIcon
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayIcon)

public:
    struct Entry {
        // The address, or without one what names the tunnel, such as hostname:port.
        QString title;
        QList<QAction *> actions;

        friend bool operator==(const Entry &, const Entry &) = default;
    };

    explicit TrayIcon(QObject *parent = nullptr);
    ~TrayIcon() override;

    // The listed tunnels in menu order, and how many tools run (a tool still waiting for its
    // address has no entry yet, but counts).
    void setTunnels(const QList<Entry> &entries, int runningTools);

Q_SIGNALS:
    void showRequested();
    void quitRequested();

private:
    void rebuildMenu();

    std::unique_ptr<QMenu> m_menu;
    QIcon m_liveIcon;
    QIcon m_idleIcon;
    QList<Entry> m_entries;
    int m_runningTools = -1;
};

} // namespace Velumo
