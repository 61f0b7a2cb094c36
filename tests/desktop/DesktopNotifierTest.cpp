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

void emitSignal(QDBusConnection from, const QString &member, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createSignal(serverPath, serverName, member);
    message.setArguments(arguments);
    from.send(message);
}

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

// Messages from one sender arrive in order: once a marker sent after them is back, they are
// all handled, which tells "nothing happened" apart from "not yet".
class Marker : public QObject
{
    Q_OBJECT

public:
    explicit Marker(QDBusConnection bus)
    {
        // QDBusConnection only connects to slots by name.
        bus.connect(QString(), serverPath, serverName, u"TestMarker"_s, this, SLOT(receive(uint)));
    }

    bool passAfter(QDBusConnection from)
    {
        const uint number = ++m_sent;
        emitSignal(from, u"TestMarker"_s, {number});
        QSignalSpy received(this, &Marker::received);
        while (m_received < number) {
            if (!received.wait()) {
                return false;
            }
        }
        return true;
    }

Q_SIGNALS:
    void received();

private Q_SLOTS:
    void receive(uint number)
    {
        m_received = std::max(m_received, number);
        Q_EMIT received();
    }

private:
    uint m_sent = 0;
    uint m_received = 0;
};

// A signal about the notification shown, from its server or from some other bus client.
struct Step {
    bool fromServer = true;
    QString member;
    bool sameId = true;
    QString text;
};
using Steps = QList<Step>;
Q_DECLARE_METATYPE(Steps)

class DesktopNotifierTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
        QVERIFY(m_serverBus.registerVirtualObject(serverPath, &m_server));
        QVERIFY(m_serverBus.registerService(serverName));
    }

    void notificationNamesTheTunnel_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("hostAndPort");
        QTest::addColumn<QString>("body");

        QTest::newRow("tunnel") << u"https://able-cedar.trycloudflare.com"_s << u"localhost:3000"_s
                                << QStringLiteral("https://able-cedar.trycloudflare.com\n"
                                                  "localhost:3000");
        // Servers may read the body as markup; it must still show what was typed.
        QTest::newRow("markup characters")
            << u"https://a.trycloudflare.com/?x=1&y=2"_s << QStringLiteral("<dev>&\"box\":8080")
            << QStringLiteral("https://a.trycloudflare.com/?x=1&amp;y=2\n"
                              "&lt;dev&gt;&amp;\"box\":8080");
    }

    void notificationNamesTheTunnel()
    {
        QFETCH(QString, address);
        QFETCH(QString, hostAndPort);
        QFETCH(QString, body);

        DesktopNotifier notifier;
        m_server.calls.clear();
        notifier.notifyTunnelReady(QUrl(address), hostAndPort);
        QTRY_COMPARE(m_server.calls.size(), 1);

        // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
        const QVariantList call = m_server.calls.first();
        QCOMPARE(call.size(), 8);
        QCOMPARE(call.at(0).toString(), u"Velumo"_s);
        QCOMPARE(call.at(1).toUInt(), 0U);
        QCOMPARE(call.at(2).toString(), u"org.velumo.Velumo"_s);
        QCOMPARE(call.at(3).toString(), u"Tunnel ready"_s);
        QCOMPARE(call.at(4).toString(), body);
        // Keys and labels alternate; a click on the notification itself invokes "default".
        const QStringList actions = call.at(5).toStringList();
        const qsizetype defaultAt = actions.indexOf(u"default"_s);
        QVERIFY(defaultAt >= 0 && defaultAt % 2 == 0 && defaultAt + 1 < actions.size());
        const QVariantMap hints = qdbus_cast<QVariantMap>(call.at(6));
        QCOMPARE(hints.value(u"desktop-entry"_s).toString(), u"org.velumo.Velumo"_s);
        QCOMPARE(call.at(7).toInt(), -1);
    }

    void clickActivates_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QStringList>("activations");

        const QString invoked = u"ActionInvoked"_s;
        const QString token = u"ActivationToken"_s;
        const QString dflt = u"default"_s;
        const Step click{true, invoked, true, dflt};
        const Step tokenFirst{true, token, true, u"wl-1"_s};

        QTest::newRow("click with token") << Steps{tokenFirst, click} << QStringList{u"wl-1"_s};
        // A token lets a window take focus once.
        QTest::newRow("two clicks, one token")
            << Steps{tokenFirst, click, click} << QStringList{u"wl-1"_s, QString()};
        QTest::newRow("other notification") << Steps{{true, invoked, false, dflt}} << QStringList{};
        QTest::newRow("not from the server")
            << Steps{{false, invoked, true, dflt}} << QStringList{};
        QTest::newRow("after closing")
            << Steps{{true, u"NotificationClosed"_s, true, {}}, click} << QStringList{};
    }

    void clickActivates()
    {
        QFETCH(Steps, steps);
        QFETCH(QStringList, activations);

        DesktopNotifier notifier;
        QSignalSpy activated(&notifier, &DesktopNotifier::activated);
        notifier.notifyTunnelReady(QUrl(u"https://a.trycloudflare.com"_s), u"localhost:80"_s);
        const uint before = m_server.lastId;
        QTRY_COMPARE(m_server.lastId, before + 1);
        // The reply with the id went out before the marker, so the notifier knows the id.
        QVERIFY(m_marker.passAfter(m_serverBus));

        for (const Step &step : steps) {
            const uint id = step.sameId ? m_server.lastId : m_server.lastId + 1000;
            const QVariant last = step.member == u"NotificationClosed" ? QVariant(2U) : step.text;
            emitSignal(step.fromServer ? m_serverBus : m_strangerBus, step.member, {id, last});
        }
        QVERIFY(m_marker.passAfter(m_serverBus));
        QVERIFY(m_marker.passAfter(m_strangerBus));

        QStringList tokens;
        for (const QVariantList &arguments : std::as_const(activated)) {
            tokens << arguments.at(0).toString();
        }
        QCOMPARE(tokens, activations);
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

        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
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
    QDBusConnection m_strangerBus =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"velumo-test-stranger"_s);
    Marker m_marker{QDBusConnection::sessionBus()};
};

QTEST_GUILESS_MAIN(DesktopNotifierTest)
#include "DesktopNotifierTest.moc"
