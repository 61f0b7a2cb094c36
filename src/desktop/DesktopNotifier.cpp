// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <utility>

namespace Velumo {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString appId = QStringLiteral("org.velumo.Velumo");
const QString defaultAction = QStringLiteral("default");

// Servers that support body markup read these three as markup; quotes need no escaping in
// text and would show up literally on servers that take the body as plain text.
QString escapeBody(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&') {
            escaped += u"&amp;";
        } else if (c == u'<') {
            escaped += u"&lt;";
        } else if (c == u'>') {
            escaped += u"&gt;";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent)
    : DesktopNotifier(QDBusConnection::sessionBus(), parent)
{}

DesktopNotifier::DesktopNotifier(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    if (!m_bus.isConnected()) {
        return;
    }
    // No service name: with one, Qt asks the bus for its owner and blocks until it answers.
    // Senders are checked against the server that handed out each id instead.
    // QDBusConnection only connects to slots by name.
    m_bus.connect(QString(), path, interface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    m_bus.connect(QString(), path, interface, QStringLiteral("ActivationToken"), this,
                  SLOT(onActivationToken(uint, QString, QDBusMessage)));
    m_bus.connect(QString(), path, interface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::notifyTunnelReady(const QUrl &address, const QString &hostAndPort)
{
    notify(tr("Tunnel ready"), escapeBody(address.toString() + u'\n' + hostAndPort));
}

void DesktopNotifier::notifyStartedWithNewAddress(const QUrl &address, const QString &hostAndPort)
{
    notify(tr("%1 started with a new address").arg(hostAndPort),
           escapeBody(address.toString()));
}

void DesktopNotifier::notifyRunningInBackground()
{
    notify(tr("Velumo keeps your tunnels running"),
           tr("Find Velumo in the system tray to open it again, or choose Quit there to stop "
              "every tunnel."));
}

void DesktopNotifier::notify(const QString &summary, const QString &body)
{
    if (!m_bus.isConnected()) {
        return;
    }

    QDBusMessage message =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    const QStringList actions = {defaultAction, tr("Open Velumo")};
    const QVariantMap hints = {{QStringLiteral("desktop-entry"), appId}};
    message << QStringLiteral("Velumo") << 0U << appId << summary << body << actions << hints << -1;

    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                const QDBusPendingReply<uint> reply = *call;
                // No server, or one that refused: the tunnel works all the same.
                if (reply.isError()) {
                    return;
                }
                m_shown.insert(reply.value(), Shown{reply.reply().service(), {}});
            });
}

bool DesktopNotifier::isOurs(uint id, const QDBusMessage &message) const
{
    const auto shown = m_shown.constFind(id);
    return shown != m_shown.cend() && shown->server == message.service();
}

void DesktopNotifier::onActionInvoked(uint id, const QString &actionKey,
                                      const QDBusMessage &message)
{
    if (actionKey != defaultAction || !isOurs(id, message)) {
        return;
    }
    // A token is good for one activation only.
    Q_EMIT activated(std::exchange(m_shown[id].activationToken, QString()));
}

void DesktopNotifier::onActivationToken(uint id, const QString &activationToken,
                                        const QDBusMessage &message)
{
    if (isOurs(id, message)) {
        m_shown[id].activationToken = activationToken;
    }
}

void DesktopNotifier::onNotificationClosed(uint id, uint reason, const QDBusMessage &message)
{
    Q_UNUSED(reason)
    if (isOurs(id, message)) {
        m_shown.remove(id);
    }
}

} // namespace Velumo
