// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/LocalServiceMonitor.h"

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslServer>
#include <QTcpServer>
#include <QTest>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

class LocalServiceMonitorTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(u".*"_s)); }

    void reportsWhetherTheServiceListens_data()
    {
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("port"); // none: the test server's, up when it should listen
        QTest::addColumn<std::optional<bool>>("listening");
        const QString ip = u"127.0.0.1"_s;
        QTest::newRow("down") << ip << QString() << std::optional(false);
        QTest::newRow("up") << ip << QString() << std::optional(true);
        // May resolve to ::1 first, where nothing listens; the IPv4 address must still count.
        QTest::newRow("up, by name") << u"localhost"_s << QString() << std::optional(true);
        // .invalid never resolves.
        QTest::newRow("unknown name") << u"velumo.invalid"_s << QString() << std::optional(false);
        // While the user is still typing, a bad target is neither an error nor a warning.
        QTest::newRow("no hostname") << QString() << u"80"_s << std::optional<bool>();
        QTest::newRow("not a port") << ip << u"+80"_s << std::optional<bool>();
    }

    void reportsWhetherTheServiceListens()
    {
        QFETCH(QString, hostname);
        QFETCH(QString, port);
        QFETCH(std::optional<bool>, listening);
        QTcpServer server;
        if (listening == true) {
            QVERIFY(server.listen(QHostAddress::LocalHost));
            port = QString::number(server.serverPort());
        } else if (port.isNull()) {
            port = QString::number(closedPort());
        }
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QUuid key = QUuid::createUuid();

        monitor.watch(key, hostname, port);
        monitor.checkNow(key);
        QCOMPARE(monitor.isListening(key), std::nullopt);
        // Started later, so its answer tells that the key's check would be over too.
        const QUuid reference = QUuid::createUuid();
        monitor.watch(reference, u"127.0.0.1"_s, QString::number(closedPort()));
        QTRY_VERIFY(monitor.isListening(reference).has_value());
        QTRY_COMPARE(monitor.isListening(key), listening);
        QCOMPARE(changed.size(), listening ? 2 : 1);
        QVERIFY(!listening || changed.contains(QVariantList{key, *listening}));
    }

    // A service given with https:// is checked with a handshake: one that listens without
    // speaking TLS, or with a certificate nobody vouches for, is still listening.
    void httpsService_data()
    {
        QTest::addColumn<QString>("server"); // tls, plain or none
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("speaksTls");
        QTest::newRow("self-signed") << u"tls"_s << true << true;
        QTest::newRow("plain http on https") << u"plain"_s << true << false;
        QTest::newRow("nothing") << u"none"_s << false << false;
    }
    void httpsService()
    {
        QFETCH(QString, server);
        QFETCH(bool, listening);
        QFETCH(bool, speaksTls);
        const QSslCertificate certificate = serviceCertificate();
        QVERIFY(!certificate.isNull());
        QSslServer tls;
        QTcpServer plain;
        tls.setSslConfiguration(serviceTlsConfiguration());
        quint16 port = closedPort();
        if (server == u"tls") {
            QVERIFY(tls.listen(QHostAddress::LocalHost));
            port = tls.serverPort();
        } else if (server == u"plain") {
            QVERIFY(plain.listen(QHostAddress::LocalHost));
            port = plain.serverPort();
        }

        LocalServiceMonitor monitor;
        const QUuid key = QUuid::createUuid();
        monitor.watch(key, u"https://localhost"_s, QString::number(port));
        QTRY_VERIFY(monitor.isListening(key).has_value());
        QCOMPARE(*monitor.isListening(key), listening);
        const std::optional<ServiceTls> handshake = monitor.tls(key);
        QCOMPARE(handshake.has_value(), listening);
        if (handshake) {
            QCOMPARE(handshake->speaksTls, speaksTls);
            QVERIFY(!handshake->trusted);
            QCOMPARE(handshake->fingerprint,
                     speaksTls ? certificate.digest(QCryptographicHash::Sha256) : QByteArray());
        }
    }

    // Tunnels in front of one service share its check, and the shared timer's rounds notice a
    // change nobody asked about; a tunnel that leaves hears nothing more.
    void keysOnOneServiceShareItsCheck()
    {
        LocalServiceMonitor monitor;
        QSignalSpy changed(&monitor, &LocalServiceMonitor::listeningChanged);
        const QString port = QString::number(closedPort());
        const QUuid alone = QUuid::createUuid(), gone = QUuid::createUuid();
        const QUuid first = QUuid::createUuid(), second = QUuid::createUuid();
        monitor.watch(alone, u"127.0.0.1"_s, QString::number(closedPort()));
        monitor.unwatch(alone);
        for (const QUuid &key : {gone, first, second}) {
            monitor.watch(key, u"127.0.0.1"_s, port);
        }
        monitor.unwatch(gone);
        // Both in one go, as one check answers for both.
        const auto bothHeard = [&](bool listening) {
            const bool both = changed.size() == 2 &&
                              changed.contains(QVariantList{first, listening}) &&
                              changed.contains(QVariantList{second, listening});
            changed.clear();
            return both;
        };
        QVERIFY(changed.wait());
        QVERIFY(bothHeard(false));

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, port.toUShort()));
        QVERIFY(changed.wait(int(LocalServiceMonitor::interval.count()) * 2));
        QVERIFY(bothHeard(true));

        server.close();
        monitor.checkNow(first);
        QVERIFY(changed.wait());
        QVERIFY(bothHeard(false));
        QCOMPARE(monitor.isListening(alone), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(LocalServiceMonitorTest)
#include "LocalServiceMonitorTest.moc"
