// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/SingleInstance.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Velumo;
using Transport = SingleInstance::Transport;

namespace {

// Ids of their own, so runs side by side or on a desktop's real bus never meet.
QString uniqueId()
{
    static int counter = 0;
    return QStringLiteral("org.velumo.Test.p%1_%2")
        .arg(QCoreApplication::applicationPid())
        .arg(counter++);
}

// Starts a second copy in its own process and returns what it decided.
QString runPeer(const QString &appId, Transport transport,
                const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess peer;
    peer.setProcessEnvironment(environment);
    QSignalSpy finished(&peer, &QProcess::finished);
    peer.start(QStringLiteral(VELUMO_SINGLE_INSTANCE_PEER),
               {appId, transport == Transport::LocalSocket ? QStringLiteral("local")
                                                           : QStringLiteral("automatic")});
    if (!finished.wait(20000)) {
        peer.kill();
        return QStringLiteral("peer did not finish");
    }
    return QString::fromUtf8(peer.readAllStandardOutput()).trimmed();
}

} // namespace

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // The bus run must not pass by quietly falling back to the socket.
        if (qEnvironmentVariableIsSet("VELUMO_EXPECT_SESSION_BUS")) {
            QVERIFY(SingleInstance::sessionBusAvailable());
        }
    }

    void secondCopyRaisesFirst_data()
    {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("token");

        const QString wayland = QStringLiteral("XDG_ACTIVATION_TOKEN");
        for (const Transport transport : {Transport::Automatic, Transport::LocalSocket}) {
            const char *name = transport == Transport::Automatic ? "automatic" : "local socket";
            QTest::addRow("%s, no token", name) << transport << QString() << QString() << QString();
            QTest::addRow("%s, wayland token", name)
                << transport << wayland << QStringLiteral("wl-7f3a") << QStringLiteral("wl-7f3a");
            QTest::addRow("%s, token with a line break is dropped", name)
                << transport << wayland << QStringLiteral("forged\nactivate x") << QString();
        }
    }

    void secondCopyRaisesFirst()
    {
        QFETCH(Transport, transport);
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(QString, token);

        const QString id = uniqueId();
        SingleInstance first(id, transport);
        QVERIFY(first.claim());
        if (transport == Transport::Automatic && SingleInstance::sessionBusAvailable()) {
            QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(id));
        }
        QSignalSpy activated(&first, &SingleInstance::activated);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("XDG_ACTIVATION_TOKEN"));
        environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
        if (!variable.isEmpty()) {
            environment.insert(variable, value);
        }
        QCOMPARE(runPeer(id, transport, environment), QStringLiteral("deferred"));
        QTRY_COMPARE(activated.count(), 1);
        QCOMPARE(activated.at(0).at(0).toString(), token);
    }

    void secondCopyGoesOnWhenIdIsFree_data()
    {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<bool>("otherAppRunning");

        QTest::newRow("automatic, first copy ended") << Transport::Automatic << false;
        QTest::newRow("local socket, first copy ended") << Transport::LocalSocket << false;
    }

    void secondCopyGoesOnWhenIdIsFree()
    {
        QFETCH(Transport, transport);
        QFETCH(bool, otherAppRunning);

        const QString id = uniqueId();
        auto first = std::make_unique<SingleInstance>(otherAppRunning ? uniqueId() : id, transport);
        QVERIFY(first->claim());
        QSignalSpy activated(first.get(), &SingleInstance::activated);
        if (!otherAppRunning) {
            first.reset();
        }
        QCOMPARE(runPeer(id, transport), QStringLiteral("claimed"));
        if (first) {
            QCOMPARE(activated.count(), 0);
        }
    }

    // What the desktop itself calls, e.g. a launcher or a dock, over org.freedesktop.Application.
    void desktopCallsReachTheApp_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<int>("activations");
        QTest::addColumn<QString>("token");

        const QVariantMap withToken{{QStringLiteral("activation-token"), QStringLiteral("wl-1")}};
        QTest::newRow("Activate") << QStringLiteral("Activate") << QVariantList{withToken} << 1
                                  << QStringLiteral("wl-1");
        QTest::newRow("ActivateAction")
            << QStringLiteral("ActivateAction")
            << QVariantList{QStringLiteral("quit"), QVariantList{}, QVariantMap{}} << 0
            << QString();
    }

    void desktopCallsReachTheApp()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        QFETCH(int, activations);
        QFETCH(QString, token);
        if (!SingleInstance::sessionBusAvailable()) {
            QSKIP("needs a session bus");
        }

        const QString id = uniqueId();
        SingleInstance app(id);
        QVERIFY(app.claim());
        QSignalSpy activated(&app, &SingleInstance::activated);

        // A connection of its own, so the call really travels through the bus.
        const QString name = QStringLiteral("desktop");
        QDBusConnection desktop = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        QDBusMessage call =
            QDBusMessage::createMethodCall(id, u'/' + QString(id).replace(u'.', u'/'),
                                           QStringLiteral("org.freedesktop.Application"), method);
        call.setArguments(arguments);
        QDBusPendingCallWatcher watcher(desktop.asyncCall(call));
        QSignalSpy answered(&watcher, &QDBusPendingCallWatcher::finished);
        QVERIFY(answered.wait(20000));
        QDBusConnection::disconnectFromBus(name);

        QVERIFY2(!watcher.isError(), qPrintable(watcher.error().message()));
        // The app answers only after it has acted, so the count is final here.
        QCOMPARE(activated.count(), activations);
        if (activations > 0) {
            QCOMPARE(activated.at(0).at(0).toString(), token);
        }
    }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
