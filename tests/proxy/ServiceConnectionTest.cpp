// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ProxyTestSupport.h"

#include <QNetworkInterface>
#include <QTest>

#include <memory>

#include <sys/socket.h>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

// The proxy's connections to the service: reached by name or address, kept for later visitors,
// and made afresh when the service closed one just as it was reused.
class ServiceConnectionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reachesTheService_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QHostAddress>("listenOn");
        QTest::newRow("name") << u"localhost"_s << QHostAddress(QHostAddress::LocalHost);
        if (QNetworkInterface::allAddresses().contains(QHostAddress(QHostAddress::LocalHostIPv6))) {
            QTest::newRow("IPv6 address") << u"::1"_s << QHostAddress(QHostAddress::LocalHostIPv6);
        }
    }

    void reachesTheService()
    {
        QFETCH(QString, host);
        QFETCH(QHostAddress, listenOn);
        Origin origin(listenOn);
        RunningProxy proxy(host, origin.port());
        for (int i = 0; i < 2; ++i) { // the second connection starts with what worked
            Visitor visitor(proxy.port());
            visitor.write("GET / HTTP/1.1\r\n\r\n");
            QTRY_VERIFY(origin.received.endsWith("\r\n\r\n"));
            origin.received.clear();
        }
    }

    void serviceConnection_servesTheNextVisitor()
    {
        Origin origin;
        ProxyTimeouts timeouts;
        timeouts.idle = std::chrono::milliseconds(100); // the proxy ends each visit itself
        RunningProxy proxy(u"127.0.0.1"_s, origin.port(), timeouts);
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        for (int visit = 0; visit < 3; ++visit) {
            if (visit == 2) {
                origin.last()->disconnectFromHost(); // closed while idle: not used again
            }
            Visitor visitor(proxy.port());
            visitor.write("GET / HTTP/1.1\r\n\r\n");
            QTRY_VERIFY(origin.received.endsWith("\r\n\r\n"));
            origin.received.clear();
            origin.last()->write(ok);
            QTRY_COMPARE(visitor.received, ok);
            QTRY_COMPARE(visitor.state(), QAbstractSocket::UnconnectedState);
        }
        QCOMPARE(origin.sockets.size(), 2);
    }

    // The service closes an idle connection as the proxy reuses it, for the visitor's next
    // request or from the pool for a new visitor: the request goes once more, on a fresh
    // connection, unless part of its body went already. A fresh connection that fails is a 502.
    // One the service closes while idle costs the visitor nothing either.
    void reusedConnection_closedByTheService_data()
    {
        QTest::addColumn<bool>("pooled");
        QTest::addColumn<QString>("close");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("freshAnswers");
        QTest::addColumn<int>("connections");
        QTest::addColumn<QByteArray>("status");
        const QByteArray get = "GET /next HTTP/1.1\r\nHost: h\r\n\r\n";
        const QByteArray ok = "HTTP/1.1 200"_ba;
        QTest::newRow("kept alive, closed") << false << u"on reuse"_s << get << true << 2 << ok;
        QTest::newRow("pooled, reset") << true << u"reset on reuse"_s << get << true << 2 << ok;
        QTest::newRow("kept alive, closed while idle")
            << false << u"while idle"_s << get << true << 2 << ok;
        QTest::newRow("body sent already")
            << false << u"on reuse"_s << "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi"_ba << true
            << 1 << "HTTP/1.1 502"_ba;
        QTest::newRow("fresh one closes too")
            << false << u"on reuse"_s << get << false << 2 << "HTTP/1.1 502"_ba;
    }

    void reusedConnection_closedByTheService()
    {
        QFETCH(bool, pooled);
        QFETCH(QString, close);
        QFETCH(QByteArray, request);
        QFETCH(bool, freshAnswers);
        QFETCH(int, connections);
        QFETCH(QByteArray, status);
        Origin origin;
        ProxyTimeouts timeouts;
        if (pooled) {
            timeouts.idle = std::chrono::milliseconds(100); // the first visit ends, pooling
        }
        RunningProxy proxy(u"127.0.0.1"_s, origin.port(), timeouts);
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        auto visitor = std::make_unique<Visitor>(proxy.port());
        visitor->write("GET / HTTP/1.1\r\n\r\n");
        QTRY_VERIFY(origin.received.endsWith("\r\n\r\n"));
        origin.last()->write(ok);
        QTRY_COMPARE(visitor->received, ok);
        if (pooled) {
            QTRY_COMPARE(visitor->state(), QAbstractSocket::UnconnectedState);
            visitor = std::make_unique<Visitor>(proxy.port());
        }
        origin.received.clear();
        visitor->received.clear();
        QTcpSocket *reused = origin.last();
        if (close == u"while idle") {
            reused->disconnectFromHost();
            QTest::qWait(200); // the proxy sees the end before the next request
        }

        visitor->write(request);
        QByteArray forwarded = request;
        forwarded.insert(request.indexOf("\r\n\r\n") + 2, xff);
        QByteArray atOrigin = forwarded;
        if (close != u"while idle") {
            QTRY_COMPARE(origin.received, forwarded);
            if (close == u"reset on reuse") {
                const linger now{1, 0};
                ::setsockopt(int(reused->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                             sizeof now);
                reused->abort();
            } else {
                reused->disconnectFromHost();
            }
            atOrigin += forwarded;
        }
        if (connections == 2) {
            QTRY_COMPARE(origin.sockets.size(), 2);
            QTRY_COMPARE(origin.received, atOrigin);
            if (freshAnswers) {
                origin.last()->write(ok);
            } else {
                origin.last()->disconnectFromHost();
            }
        }
        QTRY_VERIFY(visitor->received.startsWith(status));
        QCOMPARE(origin.sockets.size(), connections);
    }
};

QTEST_GUILESS_MAIN(ServiceConnectionTest)
#include "ServiceConnectionTest.moc"
