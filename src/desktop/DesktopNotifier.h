// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>

class QDBusMessage;

namespace Velumo {

// Tells the desktop's notification server that a tunnel has its public address or that the
// tunnels run on with the window closed, and reports when the user clicks such a notification.
// Without a session bus or a notification server it stays silent: a missing notification is no
// reason to bother the user.
class DesktopNotifier : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopNotifier)

public:
    explicit DesktopNotifier(QObject *parent = nullptr);
    explicit DesktopNotifier(const QDBusConnection &bus, QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // Both return at once; the server answers in its own time.
    void notifyTunnelReady(const QUrl &address, const QString &hostAndPort);
    // A quick tunnel started with Velumo answers, at an address it did not have before.
    void notifyStartedWithNewAddress(const QUrl &address, const QString &hostAndPort);
    // The window was closed while tunnels run: they keep running, and the tray leads back.
    void notifyRunningInBackground();

Q_SIGNALS:
    // The user clicked one of our notifications. The token lets the window take focus on
    // Wayland; it is empty when the server sent none.
    void activated(const QString &activationToken);

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message);
    void onActivationToken(uint id, const QString &activationToken, const QDBusMessage &message);
    void onNotificationClosed(uint id, uint reason, const QDBusMessage &message);

private:
    struct Shown {
        QString server; // unique bus name of the server that handed out the id
        QString activationToken;
    };

    void notify(const QString &summary, const QString &body);
    bool isOurs(uint id, const QDBusMessage &message) const;

    QDBusConnection m_bus;
    QHash<uint, Shown> m_shown;
};

} // namespace Velumo
