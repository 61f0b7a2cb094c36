// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/HostCheckProbe.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Velumo;
using namespace Qt::StringLiterals;

using Server = std::optional<DevServer>;
Q_DECLARE_METATYPE(Server)

class HostCheckProbeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void probe_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<Server>("refusedBy");
        const QByteArray vite = "Blocked request. This host (\"a.trycloudflare.com\") is not "
                                "allowed.\nTo allow this host, add \"a.trycloudflare.com\" to "
                                "`server.allowedHosts` in vite.config.js.";
        QTest::newRow("vite refuses")
            << "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: " +
                   QByteArray::number(vite.size()) + "\r\n\r\n" + vite
            << Server(DevServer::Vite);
        QTest::newRow("page served")
            << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello") << Server();
        QTest::newRow("not http") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << Server();
    }

    // The service is asked as the tunnel's visitors reach it, and only its host check's
    // refusal is reported as one.
    void probe()
    {
        QFETCH(QByteArray, answer);
        QFETCH(Server, refusedBy);

        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        QByteArray request;
        connect(&service, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = service.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                request += socket->readAll();
                if (request.contains("\r\n\r\n")) {
                    socket->write(answer);
                    socket->disconnectFromHost();
                }
            });
        });

        HostCheckProbe probe;
        QSignalSpy checked(&probe, &HostCheckProbe::checked);
        const QUuid key = QUuid::createUuid();
        probe.probe(key, u"localhost"_s, QString::number(service.serverPort()),
                    QUrl(u"https://a.trycloudflare.com"_s));
        QVERIFY(checked.wait());
        QCOMPARE(checked.first().at(0).toUuid(), key);
        QCOMPARE(checked.first().at(1).value<Server>(), refusedBy);
        QVERIFY(request.startsWith("GET / HTTP/1.1\r\n"));
        QVERIFY(request.contains("\r\nHost: a.trycloudflare.com\r\n"));
        QVERIFY(request.contains("\r\nX-Forwarded-Proto: https\r\n"));
    }
};

QTEST_GUILESS_MAIN(HostCheckProbeTest)
#include "HostCheckProbeTest.moc"
