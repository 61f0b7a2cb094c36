// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ProxyTestSupport.h"

#include <QCryptographicHash>
#include <QSslServer>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

namespace {

// A service on 127.0.0.1 that answers whatever comes first with "ok", as a plain HTTP server
// answers a TLS greeting: over TLS with the self-signed test certificate, or in plain HTTP.
class Service : public QObject
{
public:
    explicit Service(bool tls)
    {
        if (tls) {
            auto *server = new QSslServer(this);
            server->setSslConfiguration(serviceTlsConfiguration());
            m_server = server;
        } else {
            m_server = new QTcpServer(this);
        }
        connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                connect(
                    socket, &QTcpSocket::readyRead, socket,
                    [socket] { socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"); },
                    Qt::SingleShotConnection);
            }
        });
        m_server->listen(QHostAddress::LocalHost);
    }
    quint16 port() const { return m_server->serverPort(); }

private:
    QTcpServer *m_server = nullptr;
};

} // namespace

class ServiceTlsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A service's certificate that this system does not trust passes only when it is the one
    // trusted for it; a hostname that says the wrong protocol is named in the 502.
    void serviceCertificate_data()
    {
        QTest::addColumn<bool>("serviceTls");
        QTest::addColumn<bool>("https");      // the hostname has https://
        QTest::addColumn<QString>("trusted"); // none, own or other
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("not trusted yet")
            << true << true << u"none"_s << QByteArray("that this system does not trust");
        QTest::newRow("trusted") << true << true << u"own"_s << QByteArray("200 OK");
        QTest::newRow("certificate changed")
            << true << true << u"other"_s << QByteArray("other than the one trusted for it");
        QTest::newRow("tls service, plain hostname")
            << true << false << u"none"_s << QByteArray("speaks TLS (HTTPS), not plain HTTP");
        QTest::newRow("plain service, https hostname")
            << false << true << u"none"_s << QByteArray("could not complete a TLS handshake");
    }
    void serviceCertificate()
    {
        QFETCH(bool, serviceTls);
        QFETCH(bool, https);
        QFETCH(QString, trusted);
        QFETCH(QByteArray, answer);
        Service service(serviceTls);
        ProxyHost host;
        ReverseProxy proxy(host, {u"localhost"_s, service.port(), https});
        const QByteArray own = Testing::serviceCertificate().digest(QCryptographicHash::Sha256);
        QVERIFY(!own.isEmpty());
        proxy.setTrustedCertificate(trusted == u"own"_s     ? own
                                    : trusted == u"other"_s ? QByteArray(own).replace(0, 1, "x")
                                                            : QByteArray());
        QSignalSpy listening(&proxy, &ReverseProxy::listening);
        proxy.start();
        QVERIFY(listening.wait());

        Visitor visitor(proxy.port());
        visitor.write("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QTRY_VERIFY(visitor.received.contains("\r\n\r\n"));
        QVERIFY2(visitor.received.contains(answer), visitor.received.constData());
        QCOMPARE(visitor.received.startsWith("HTTP/1.1 200"), answer == "200 OK");
    }
};

QTEST_GUILESS_MAIN(ServiceTlsTest)
#include "ServiceTlsTest.moc"
