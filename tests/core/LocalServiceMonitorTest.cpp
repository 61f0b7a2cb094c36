// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/LocalServiceMonitor.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

// A port nothing listens on: the system hands out a free one, and we let it go again.
quint16 closedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost)) {
        qFatal("cannot listen on 127.0.0.1");
    }
    return server.serverPort();
}

QString text(quint16 port)
{
    return QString::number(port);
}

} // namespace

class LocalServiceMonitorTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(u".*"_s)); }

    void followsTheService_data()
    {
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QHostAddress>("serverAddress");

        QTest::newRow("address") << u"127.0.0.1"_s << QHostAddress(QHostAddress::LocalHost);
        // May resolve to ::1 first, where nothing listens; the IPv4 address must still count.
        QTest::newRow("name") << u"localhost"_s << QHostAddress(QHostAddress::LocalHost);
        QTest::newRow("IPv6 address") << u"::1"_s << QHostAddress(QHostAddress::Any);
    }

    void followsTheService()
    {
        QFETCH(QString, hostname);
        QFETCH(QHostAddress, serverAddress);

        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();
        const quint16 port = closedPort();

        monitor.watch(key, hostname, text(port));
        QCOMPARE(monitor.isListening(key), std::nullopt);
        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst(), (QVariantList{key, false}));
        QCOMPARE(monitor.isListening(key), false);

        QTcpServer server;
        QVERIFY(server.listen(serverAddress, port));
        monitor.checkNow(key);
        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst(), (QVariantList{key, true}));
        QCOMPARE(monitor.isListening(key), true);

        // The same answer again is no news.
        monitor.checkNow(key);
        QVERIFY(monitor.isChecking(key));
        QTRY_VERIFY(!monitor.isChecking(key));
        QCOMPARE(changed.size(), 0);

        server.close();
        monitor.checkNow(key);
        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst(), (QVariantList{key, false}));
    }

    // Nobody asks again: the shared timer's next round notices the service by name.
    void serviceComingUpIsNoticedByTheNextRound()
    {
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();
        const quint16 port = closedPort();
        monitor.watch(key, u"localhost"_s, text(port));
        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst(), (QVariantList{key, false}));

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, port));
        QVERIFY(changed.wait(int(LocalServiceMonitor::interval.count()) * 2));
        QCOMPARE(changed.takeFirst(), (QVariantList{key, true}));
    }

    void unknownHostIsNotListening()
    {
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();

        // .invalid never resolves.
        monitor.watch(key, u"velumo-test.invalid"_s, u"8080"_s);
        QVERIFY(changed.wait());
        QCOMPARE(changed.takeFirst(), (QVariantList{key, false}));
    }

#ifdef Q_OS_LINUX
    // A service that takes no more connections drops the handshake: the check gives up after
    // its timeout instead of waiting for ever.
    void unansweredConnectIsNotListening()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0);
        QVERIFY(::listen(listener, 0) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        // Nothing is accepted: one connection fills the queue, and later handshakes go
        // unanswered.
        QTcpSocket filler;
        filler.connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
        QTRY_COMPARE(filler.state(), QAbstractSocket::ConnectedState);

        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QString port = text(ntohs(address.sin_port));
        // A key that comes and goes before its check starts leaves the service to the next
        // one, which is started once and waits for the handshake.
        const QUuid gone = QUuid::createUuid();
        monitor.watch(gone, u"127.0.0.1"_s, port);
        monitor.unwatch(gone);
        const QUuid key = QUuid::createUuid();
        monitor.watch(key, u"127.0.0.1"_s, port);
        QCoreApplication::processEvents();
        QVERIFY(monitor.isChecking(key));
        QCOMPARE(changed.size(), 0);
        QVERIFY(changed.wait(int(LocalServiceMonitor::connectTimeout.count()) * 3));
        QCOMPARE(changed.takeFirst(), (QVariantList{key, false}));
        QCOMPARE(monitor.checksUnderWay(), 0);
        ::close(listener);
    }
#endif

    void changedTargetIsCheckedAfresh()
    {
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();
        monitor.watch(key, u"127.0.0.1"_s, text(closedPort()));
        QVERIFY(changed.wait());

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        monitor.watch(key, u"127.0.0.1"_s, text(server.serverPort()));
        QCOMPARE(monitor.isListening(key), std::nullopt);
        QVERIFY(changed.wait());
        QCOMPARE(changed.last(), (QVariantList{key, true}));
    }

    void portMustBeANumberInRange_data()
    {
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("checkable");

        const QString host = u"127.0.0.1"_s;
        QTest::newRow("lowest") << host << u"1"_s << true;
        QTest::newRow("highest") << host << u"65535"_s << true;
        QTest::newRow("empty") << host << QString() << false;
        QTest::newRow("zero") << host << u"0"_s << false;
        QTest::newRow("too high") << host << u"65536"_s << false;
        QTest::newRow("overflowing") << host << u"4294967377"_s << false;
        QTest::newRow("negative") << host << u"-80"_s << false;
        QTest::newRow("plus sign") << host << u"+80"_s << false;
        QTest::newRow("space") << host << u" 80"_s << false;
        QTest::newRow("letters") << host << u"80a"_s << false;
        QTest::newRow("other digits") << host << u"٨٠"_s << false;
        QTest::newRow("no hostname") << QString() << u"80"_s << false;
    }

    // While the user is still typing, a bad port is neither an error nor a warning.
    void portMustBeANumberInRange()
    {
        QFETCH(QString, hostname);
        QFETCH(QString, port);
        QFETCH(bool, checkable);

        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();
        monitor.watch(key, hostname, port);
        monitor.checkNow(key);

        QCOMPARE(monitor.isChecking(key), checkable);
        QCOMPARE(monitor.isTimerActive(), checkable);
        if (checkable) {
            QVERIFY(changed.wait());
            QVERIFY(monitor.isListening(key).has_value());
        } else {
            QCoreApplication::processEvents();
            QCOMPARE(changed.size(), 0);
            QCOMPARE(monitor.isListening(key), std::nullopt);
        }
    }

    void timerRunsOnlyWhileThereIsSomethingToCheck()
    {
        LocalServiceMonitor monitor;
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        const QString host = u"127.0.0.1"_s;
        const QString port = text(closedPort());
        QVERIFY(!monitor.isTimerActive());

        monitor.watch(first, host, port);
        monitor.watch(second, host, port);
        QVERIFY(monitor.isTimerActive());
        monitor.unwatch(first);
        QVERIFY(monitor.isTimerActive());
        monitor.watch(second, host, u"none"_s);
        QVERIFY(!monitor.isTimerActive());
        monitor.watch(second, host, port);
        QVERIFY(monitor.isTimerActive());
        monitor.unwatch(second);
        QVERIFY(!monitor.isTimerActive());
    }

    // Tunnels in front of the same service share one check, and each hears its answer.
    void oneCheckPerService()
    {
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QString port = text(closedPort());
        const QList<QUuid> keys{QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid()};
        for (const QUuid &key : keys) {
            monitor.watch(key, u"127.0.0.1"_s, port);
        }
        monitor.checkNow(keys.first());
        QCOMPARE(monitor.checksUnderWay(), 1);

        // One leaving does not cancel the others' check.
        monitor.unwatch(keys.first());
        QCOMPARE(monitor.checksUnderWay(), 1);
        QTRY_COMPARE(changed.size(), 2);
        QCOMPARE(changed.at(0), (QVariantList{keys.at(1), false}));
        QCOMPARE(changed.at(1), (QVariantList{keys.at(2), false}));
        QCOMPARE(monitor.checksUnderWay(), 0);
    }

    // A row that is gone must hear nothing more about its service.
    void unwatchDropsTheCheck()
    {
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();
        monitor.watch(key, u"127.0.0.1"_s, text(closedPort()));
        QVERIFY(monitor.isChecking(key));
        monitor.unwatch(key);
        QCOMPARE(monitor.checksUnderWay(), 0);
        QTest::qWait(50);
        QCOMPARE(changed.size(), 0);
        QCOMPARE(monitor.isListening(key), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(LocalServiceMonitorTest)
#include "LocalServiceMonitorTest.moc"
