// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ProxyTestSupport.h"
#include "proxy/RequestRecorder.h"

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
    // trusted for it, for the proxy and for a replay alike; a hostname that says the wrong
    // protocol is named in the 502.
    void serviceCertificate_data()
    {
        QTest::addColumn<bool>("serviceTls");
        QTest::addColumn<bool>("https");      // the hostname has https://
        QTest::addColumn<QString>("trusted"); // none, own or other
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("replayed"); // in the replay's response or failure
        const QByteArray notTrusted = "that this system does not trust";
        const QByteArray changed = "other than the one trusted for it";
        const QByteArray noHandshake = "could not complete a TLS handshake";
        QTest::newRow("not trusted yet") << true << true << u"none"_s << notTrusted << notTrusted;
        QTest::newRow("trusted") << true << true << u"own"_s << QByteArray("200 OK")
                                 << QByteArray("200 OK");
        QTest::newRow("certificate changed") << true << true << u"other"_s << changed << changed;
        const QByteArray speaksTls = "speaks TLS (HTTPS), not plain HTTP";
        QTest::newRow("tls service, plain hostname")
            << true << false << u"none"_s << speaksTls << speaksTls;
        QTest::newRow("plain service, https hostname")
            << false << true << u"none"_s << noHandshake << noHandshake;
    }
    void serviceCertificate()
    {
        QFETCH(bool, serviceTls);
        QFETCH(bool, https);
        QFETCH(QString, trusted);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, replayed);
        Service service(serviceTls);
        ProxyHost host;
        const ProxyTarget target{u"localhost"_s, service.port(), https};
        ReverseProxy proxy(host, target);
        RequestRecorder recorder;
        proxy.setSink(recorder.captures().sinkFor(u"t"_s));
        const QByteArray own = Testing::serviceCertificate().digest(QCryptographicHash::Sha256);
        QVERIFY(!own.isEmpty());
        const QByteArray fingerprint = trusted == u"own"_s     ? own
                                       : trusted == u"other"_s ? QByteArray(own).replace(0, 1, "x")
                                                               : QByteArray();
        proxy.setTrustedCertificate(fingerprint);
        QSignalSpy listening(&proxy, &ReverseProxy::listening);
        proxy.start();
        QVERIFY(listening.wait());

        Visitor visitor(proxy.port());
        visitor.write("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QTRY_VERIFY(visitor.received.contains("\r\n\r\n"));
        QVERIFY2(visitor.received.contains(answer), visitor.received.constData());
        QCOMPARE(visitor.received.startsWith("HTTP/1.1 200"), answer == "200 OK");

        // The captured request sent again, past the proxy, with the same certificate trusted.
        QTRY_COMPARE(recorder.captures().exchanges(u"t"_s).size(), 1);
        QByteArray outcome;
        connect(&recorder, &RequestRecorder::replayed, this, [&](quint64, quint64 id) {
            outcome = recorder.captures().exchange(id)->response.bytes;
        });
        connect(&recorder, &RequestRecorder::failed, this,
                [&](quint64, const QString &message) { outcome = message.toUtf8(); });
        QVERIFY(
            recorder.replay(recorder.captures().exchanges(u"t"_s).first(), {target, fingerprint}));
        QTRY_VERIFY(!outcome.isEmpty());
        QVERIFY2(outcome.contains(replayed), outcome.constData());
    }
};

QTEST_GUILESS_MAIN(ServiceTlsTest)
#include "ServiceTlsTest.moc"
