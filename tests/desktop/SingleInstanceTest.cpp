// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/SingleInstance.h"

#include <QCoreApplication>
#include <QDBusConnection>
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
QString runPeer(const QString &appId, Transport transport, const QString &token = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DESKTOP_STARTUP_ID"));
    environment.insert(QStringLiteral("XDG_ACTIVATION_TOKEN"), token);
    QProcess peer;
    peer.setProcessEnvironment(environment);
    QSignalSpy finished(&peer, &QProcess::finished);
    peer.start(QStringLiteral(VELUMO_SINGLE_INSTANCE_PEER),
               {appId, transport == Transport::LocalSocket ? QStringLiteral("local")
                                                           : QStringLiteral("automatic")});
    return finished.wait(20000) ? QString::fromUtf8(peer.readAllStandardOutput()).trimmed()
                                : QStringLiteral("peer did not finish");
}

} // namespace

// Runs twice: without a session bus (local socket) and on a private one.
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

    void secondCopy_raisesTheFirstOrGoesOn_data()
    {
        QTest::addColumn<Transport>("transport");
        QTest::addColumn<bool>("firstRunning");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("passed");
        for (const Transport transport : {Transport::Automatic, Transport::LocalSocket}) {
            const char *name = transport == Transport::Automatic ? "automatic" : "local socket";
            QTest::addRow("%s, first running", name) << transport << true << QString() << QString();
            QTest::addRow("%s, activation token", name)
                << transport << true << QStringLiteral("wl-7f3a") << QStringLiteral("wl-7f3a");
            QTest::addRow("%s, token with a line break dropped", name)
                << transport << true << QStringLiteral("forged\nactivate x") << QString();
            QTest::addRow("%s, first copy ended", name)
                << transport << false << QString() << QString();
        }
    }
    void secondCopy_raisesTheFirstOrGoesOn()
    {
        QFETCH(Transport, transport);
        QFETCH(bool, firstRunning);
        QFETCH(QString, token);
        QFETCH(QString, passed);
        const QString id = uniqueId();
        auto first = std::make_unique<SingleInstance>(id, transport);
        QVERIFY(first->claim());
        QSignalSpy activated(first.get(), &SingleInstance::activated);
        if (!firstRunning) {
            first.reset();
        }
        QCOMPARE(runPeer(id, transport, token),
                 firstRunning ? QStringLiteral("deferred") : QStringLiteral("claimed"));
        if (firstRunning) {
            QTRY_COMPARE(activated.count(), 1);
            QCOMPARE(activated.at(0).at(0).toString(), passed);
        }
    }

    // What the desktop itself calls (a launcher, a dock) over org.freedesktop.Application.
    void desktopCallsReachTheApp_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<int>("activations");
        QTest::newRow("Activate") << QStringLiteral("Activate")
                                  << QVariantList{QVariantMap{{QStringLiteral("activation-token"),
                                                               QStringLiteral("wl-1")}}}
                                  << 1;
        QTest::newRow("ActivateAction")
            << QStringLiteral("ActivateAction")
            << QVariantList{QStringLiteral("quit"), QVariantList{}, QVariantMap{}} << 0;
    }
    void desktopCallsReachTheApp()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        QFETCH(int, activations);
        if (!SingleInstance::sessionBusAvailable()) {
            QSKIP("needs a session bus");
        }
        const QString id = uniqueId();
        SingleInstance app(id);
        QVERIFY(app.claim());
        QSignalSpy activated(&app, &SingleInstance::activated);
        // A connection of its own, so the call really travels through the bus.
        QDBusConnection desktop =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("desktop"));
        QDBusMessage call =
            QDBusMessage::createMethodCall(id, u'/' + QString(id).replace(u'.', u'/'),
                                           QStringLiteral("org.freedesktop.Application"), method);
        call.setArguments(arguments);
        QDBusPendingCallWatcher watcher(desktop.asyncCall(call));
        QSignalSpy answered(&watcher, &QDBusPendingCallWatcher::finished);
        QVERIFY(answered.wait(20000));
        QDBusConnection::disconnectFromBus(QStringLiteral("desktop"));
        QVERIFY2(!watcher.isError(), qPrintable(watcher.error().message()));
        // The app answers only after it has acted, so the count is final here.
        QCOMPARE(activated.count(), activations);
    }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
