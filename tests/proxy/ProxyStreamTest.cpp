// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ProxyTestSupport.h"
#include "proxy/PasswordGate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <memory>

#include <sys/resource.h>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

// Freed blocks held by ASan would read as growth in the memory check.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=8";
}

namespace {

constexpr qint64 hundredMiB = 100 * 1024 * 1024;

// Writes `total` bytes as the socket takes them, never more than 1 MiB ahead of it.
class Sender : public QObject
{
public:
    Sender(QTcpSocket *socket, QByteArray head, qint64 total)
        : m_socket(socket)
        , m_left(total)
        , m_chunk(64 * 1024, Qt::Uninitialized)
    {
        QRandomGenerator(17).fillRange(reinterpret_cast<quint32 *>(m_chunk.data()),
                                       m_chunk.size() / 4);
        socket->write(head);
        connect(socket, &QTcpSocket::bytesWritten, this, &Sender::pump);
        pump();
    }
    QCryptographicHash hash{QCryptographicHash::Sha1};

private:
    void pump()
    {
        while (m_left > 0 && m_socket->bytesToWrite() < 1024 * 1024) {
            const QByteArrayView part =
                QByteArrayView(m_chunk).first(std::min(m_left, qint64(m_chunk.size())));
            m_socket->write(part.data(), part.size());
            hash.addData(part);
            m_left -= part.size();
        }
    }
    QTcpSocket *m_socket;
    qint64 m_left;
    QByteArray m_chunk;
};

// Reads a message from a socket, keeping its head and only a digest of its body.
class Receiver : public QObject
{
public:
    explicit Receiver(QTcpSocket *socket)
    {
        const auto read = [this, socket] {
            QByteArray bytes = socket->readAll();
            if (!head.endsWith("\r\n\r\n")) {
                const qsizetype end = QByteArray(head + bytes).indexOf("\r\n\r\n");
                const qsizetype taken = end < 0 ? bytes.size() : end + 4 - head.size();
                head += bytes.first(taken);
                bytes.remove(0, taken);
            }
            hash.addData(bytes);
            body += bytes.size();
        };
        connect(socket, &QTcpSocket::readyRead, this, read);
        read();
    }
    QByteArray head;
    qint64 body = 0;
    QCryptographicHash hash{QCryptographicHash::Sha1};
};

// Sends back every WebSocket message it gets.
class EchoService : public QWebSocketServer
{
public:
    EchoService()
        : QWebSocketServer(u"echo"_s, QWebSocketServer::NonSecureMode)
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QWebSocketServer::newConnection, this, [this] {
            QWebSocket *socket = nextPendingConnection();
            socket->setParent(this);
            connect(socket, &QWebSocket::textMessageReceived, socket, &QWebSocket::sendTextMessage);
            connect(socket, &QWebSocket::binaryMessageReceived, socket,
                    &QWebSocket::sendBinaryMessage);
        });
    }
};

} // namespace

class ProxyStreamTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void hundredMiB_streamedNotHeld_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::newRow("download") << false;
        QTest::newRow("upload") << true;
    }

    void hundredMiB_streamedNotHeld()
    {
        QFETCH(bool, upload);
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        RunningProxy proxy(u"127.0.0.1"_s, service.serverPort());
        peakGrowthKiB();

        QTcpSocket visitor;
        visitor.connectToHost(QHostAddress::LocalHost, proxy.port());
        const QByteArray length = "Content-Length: " + QByteArray::number(hundredMiB) + "\r\n";
        std::unique_ptr<Sender> sender;
        std::unique_ptr<Receiver> receiver;
        if (upload) {
            sender = std::make_unique<Sender>(&visitor, "PUT /file HTTP/1.1\r\n" + length + "\r\n",
                                              hundredMiB);
            QTRY_VERIFY(service.hasPendingConnections());
            receiver = std::make_unique<Receiver>(service.nextPendingConnection());
        } else {
            visitor.write("GET /file HTTP/1.1\r\nHost: h\r\n\r\n");
            QTRY_VERIFY(service.hasPendingConnections());
            QTcpSocket *origin = service.nextPendingConnection();
            QTRY_VERIFY(origin->bytesAvailable() > 0);
            receiver = std::make_unique<Receiver>(&visitor);
            sender = std::make_unique<Sender>(origin, "HTTP/1.1 200 OK\r\n" + length + "\r\n",
                                              hundredMiB);
        }
        // A deadline for a stuck transfer, not a speed check (that is in bench/).
        QTRY_COMPARE_WITH_TIMEOUT(receiver->body, hundredMiB, 300'000);
        QCOMPARE(receiver->hash.result(), sender->hash.result());
        QVERIFY(receiver->head.contains(length));
        const qint64 grownMiB = peakGrowthKiB() / 1024;
        QVERIFY2(grownMiB < 40, qPrintable(QString::number(grownMiB)));
    }

    void webSocket_passesThroughWithoutIdleTimeout()
    {
        EchoService echo;
        ProxyTimeouts timeouts;
        timeouts.head = std::chrono::milliseconds(50);
        RunningProxy proxy(u"127.0.0.1"_s, echo.serverPort(), timeouts);

        QWebSocket client;
        QSignalSpy texts(&client, &QWebSocket::textMessageReceived);
        QSignalSpy binaries(&client, &QWebSocket::binaryMessageReceived);
        client.open(QUrl(u"ws://127.0.0.1:%1/echo"_s.arg(proxy.port())));
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
        client.sendTextMessage(u"hello"_s);
        QTRY_COMPARE(texts.size(), 1);
        QCOMPARE(texts[0][0].toString(), u"hello"_s);
        // Quiet for longer than any timeout the proxy has: the connection stays.
        QTest::qWait(300);
        QByteArray big(300 * 1024, Qt::Uninitialized);
        QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
        client.sendBinaryMessage(big);
        QTRY_COMPARE(binaries.size(), 1);
        QCOMPARE(binaries[0][0].toByteArray(), big);
    }

    void webSocket_endsWhenThePasswordChanges_data()
    {
        QTest::addColumn<bool>("gatedBefore");
        QTest::newRow("password turned on") << false;
        QTest::newRow("password changed") << true;
    }

    void webSocket_endsWhenThePasswordChanges()
    {
        QFETCH(bool, gatedBefore);
        EchoService echo;
        RunningProxy proxy(u"127.0.0.1"_s, echo.serverPort());
        auto gate = std::make_shared<PasswordGate>(u"first password"_s);
        if (gatedBefore) {
            proxy.proxy.setGate(gate);
        }
        QNetworkRequest request(QUrl(u"ws://127.0.0.1:%1/echo"_s.arg(proxy.port())));
        request.setRawHeader("Authorization", "Basic " + QByteArray("u:first password").toBase64());
        QWebSocket client;
        QSignalSpy texts(&client, &QWebSocket::textMessageReceived);
        client.open(request);
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
        client.sendTextMessage(u"hello"_s);
        QTRY_COMPARE(texts.size(), 1);
        if (gatedBefore) {
            gate->setPassword(u"second password"_s);
        } else {
            proxy.proxy.setGate(gate);
        }
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    }

    // Without the cap the 1,100 would take both ends' descriptors (2,200, over the limit set
    // here): the second proxy could then accept no one.
    void flood_ofSilentConnections_stopsNoOtherProxy()
    {
        rlimit usual{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &usual) == 0);
        if (usual.rlim_max < 2000) {
            QSKIP("the hard descriptor limit is under 2,000");
        }
        const rlimit lowered{2000, usual.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        const auto restore = qScopeGuard([&usual] { ::setrlimit(RLIMIT_NOFILE, &usual); });

        Origin origin;
        ProxyTimeouts timeouts;
        // Longer than every connection takes to be accepted (or refused), even on a loaded machine
        // under the sanitizers, where a full backlog makes the kernel retry SYNs for up to 31 s: a
        // silent one closed early would free a place for a later one.
        timeouts.head = std::chrono::seconds(75);
        RunningProxy flooded(u"127.0.0.1"_s, origin.port(), timeouts);
        RunningProxy other(u"127.0.0.1"_s, origin.port());
        std::vector<std::unique_ptr<Visitor>> flood;
        for (int i = 0; i < 1100; ++i) {
            flood.push_back(std::make_unique<Visitor>(flooded.port()));
        }
        const auto count = [&flood](const auto &holds) {
            return std::count_if(flood.begin(), flood.end(),
                                 [&holds](const auto &visitor) { return holds(*visitor); });
        };
        const auto refused = [](const Visitor &visitor) {
            return visitor.received.startsWith("HTTP/1.1 503 Service Unavailable\r\n") &&
                   visitor.state() == QAbstractSocket::UnconnectedState;
        };
        QTRY_COMPARE_WITH_TIMEOUT(count(refused), 1100 - ProxyServer::connectionLimit, 60'000);

        Visitor visitor(other.port());
        visitor.write("GET / HTTP/1.1\r\n\r\n");
        QTRY_VERIFY(origin.received.endsWith("\r\n\r\n"));
        // The first proxy closes the silent ones, with no answer, once their time is up.
        const auto closedSilently = [](const Visitor &visitor) {
            return visitor.received.isEmpty() &&
                   visitor.state() == QAbstractSocket::UnconnectedState;
        };
        QTRY_COMPARE_WITH_TIMEOUT(count(closedSilently), ProxyServer::connectionLimit, 120'000);
    }

    void ending_closesEveryConnection_data()
    {
        QTest::addColumn<bool>("hostFirst");
        QTest::newRow("proxy destroyed") << false;
        QTest::newRow("host destroyed with the proxy still there") << true;
    }

    void ending_closesEveryConnection()
    {
        QFETCH(bool, hostFirst);
        Origin origin;
        auto host = std::make_unique<ProxyHost>();
        auto proxy =
            std::make_unique<ReverseProxy>(*host, ProxyTarget{u"127.0.0.1"_s, origin.port()});
        QSignalSpy listening(proxy.get(), &ReverseProxy::listening);
        proxy->start();
        QVERIFY(listening.wait());
        Visitor visitor(proxy->port());
        visitor.write("GET / HTTP/1.1\r\n\r\n");
        QTRY_VERIFY(!origin.received.isEmpty());
        if (hostFirst) {
            host.reset();
        }
        proxy.reset();
        QTRY_COMPARE(visitor.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(origin.last()->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_GUILESS_MAIN(ProxyStreamTest)
#include "ProxyStreamTest.moc"
