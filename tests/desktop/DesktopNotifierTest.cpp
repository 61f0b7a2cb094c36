// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/DesktopNotifier.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

const QString serverName = u"org.freedesktop.Notifications"_s;
const QString serverPath = u"/org/freedesktop/Notifications"_s;

// Records each Notify call's arguments and answers with a fresh id, as a desktop would.
class NotificationServer : public QDBusVirtualObject
{
public:
    QList<QVariantList> calls;
    uint lastId = 40;

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != u"Notify") {
            return false;
        }
        calls << message.arguments();
        connection.send(message.createReply(++lastId));
        return true;
    }
    QString introspect(const QString &) const override { return {}; }
};

} // namespace

// Runs on a private bus (dbus-run-session), where this test is the notification server.
class DesktopNotifierTest : public QObject
{
    Q_OBJECT

private:
    void emitSignal(const QString &member, const QVariantList &arguments)
    {
        QDBusMessage message = QDBusMessage::createSignal(serverPath, serverName, member);
        message.setArguments(arguments);
        m_serverBus.send(message);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        QVERIFY(m_serverBus.registerVirtualObject(serverPath, &m_server));
        QVERIFY(m_serverBus.registerService(serverName));
    }

    void notification_namesTheTunnel_andAClickBringsTheAppForward()
    {
        DesktopNotifier notifier;
        QSignalSpy activated(&notifier, &DesktopNotifier::activated);
        // Servers may read the body as markup; it must still show what was typed.
        notifier.notifyTunnelReady(QUrl(u"https://a.trycloudflare.com/?x=1&y=2"_s),
                                   u"<dev>&\"box\":8080"_s);
        QTRY_COMPARE(m_server.calls.size(), 1);
        // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
        const QVariantList call = m_server.calls.first();
        QCOMPARE(call.size(), 8);
        QCOMPARE(call.at(3).toString(), u"Tunnel ready"_s);
        QCOMPARE(call.at(4).toString(), u"https://a.trycloudflare.com/?x=1&amp;y=2\n"
                                        u"&lt;dev&gt;&amp;\"box\":8080"_s);
        // Keys and labels alternate; a click on the notification itself invokes "default".
        const QStringList actions = call.at(5).toStringList();
        QVERIFY(actions.indexOf(u"default"_s) % 2 == 0 && actions.size() % 2 == 0);
        QCOMPARE(qdbus_cast<QVariantMap>(call.at(6)).value(u"desktop-entry"_s).toString(),
                 u"org.velumo.Velumo"_s);

        // The token lets the window take focus on Wayland, once; after the notification is
        // closed, its clicks are no longer ours.
        const uint id = m_server.lastId;
        emitSignal(u"ActivationToken"_s, {id, u"wl-1"_s});
        emitSignal(u"ActionInvoked"_s, {id, u"default"_s});
        emitSignal(u"ActionInvoked"_s, {id, u"default"_s});
        emitSignal(u"NotificationClosed"_s, {id, 2U});
        emitSignal(u"ActionInvoked"_s, {id, u"default"_s});
        // A later notification's click arrives after all of these and must be the third.
        notifier.notifyTunnelReady(QUrl(u"https://b.trycloudflare.com"_s), u"localhost:1"_s);
        QTRY_COMPARE(m_server.calls.size(), 2);
        emitSignal(u"ActivationToken"_s, {m_server.lastId, u"wl-2"_s});
        emitSignal(u"ActionInvoked"_s, {m_server.lastId, u"default"_s});
        QTRY_COMPARE(activated.count(), 3);
        const QStringList tokens{activated.at(0).at(0).toString(), activated.at(1).at(0).toString(),
                                 activated.at(2).at(0).toString()};
        QCOMPARE(tokens, (QStringList{u"wl-1"_s, QString(), u"wl-2"_s}));
    }

    // A desktop without a notification server, or without a bus, is no error worth a word.
    void silentWithoutServer_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("no server") << true;
        QTest::newRow("no bus") << false;
    }
    void silentWithoutServer()
    {
        QFETCH(bool, connected);
        QVERIFY(m_serverBus.unregisterService(serverName));
        const auto restore = qScopeGuard([this] { m_serverBus.registerService(serverName); });
        const QString deadName = u"velumo-test-dead"_s;
        const auto disconnect = qScopeGuard([&] { QDBusConnection::disconnectFromBus(deadName); });
        QTest::failOnWarning(QRegularExpression(u".*"_s));
        DesktopNotifier notifier(connected ? QDBusConnection::sessionBus()
                                           : QDBusConnection::connectToBus(
                                                 u"unix:path=/nonexistent/velumo-bus"_s, deadName));
        notifier.notifyTunnelReady(QUrl(u"https://a.trycloudflare.com"_s), u"localhost:80"_s);
        // The bus answers in order: once it has answered this, it has refused the notification.
        QDBusPendingCallWatcher later(
            QDBusConnection::sessionBus().interface()->asyncCall(u"GetId"_s));
        QSignalSpy answered(&later, &QDBusPendingCallWatcher::finished);
        QVERIFY(answered.wait());
        QCoreApplication::processEvents();
    }

private:
    NotificationServer m_server;
    QDBusConnection m_serverBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"velumo-test-server"_s);
};

QTEST_GUILESS_MAIN(DesktopNotifierTest)
#include "DesktopNotifierTest.moc"
