// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/PasswordGate.h"
#include "ProxyTestSupport.h"

#include <QTest>
#include <QUrlQuery>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray basic(const QString &userAndPassword)
{
    return "Basic " + userAndPassword.toUtf8().toBase64();
}

// Sends a request through the proxy; true once it reaches the service, false once the proxy
// answers it itself (and then `answer` holds what the visitor got).
bool reaches(quint16 port, Origin &origin, const QByteArray &request, QByteArray *answer = nullptr)
{
    const qsizetype before = origin.received.size();
    Visitor visitor(port);
    visitor.write(request);
    if (!QTest::qWaitFor([&] {
            return origin.received.size() > before ||
                   visitor.state() == QAbstractSocket::UnconnectedState;
        })) {
        QTest::qFail("the request was neither forwarded nor answered", __FILE__, __LINE__);
    }
    if (answer) {
        *answer = visitor.received;
    }
    return origin.received.size() > before;
}

} // namespace

class PasswordGateTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void visitor_data()
    {
        QTest::addColumn<QByteArray>("request");    // PASSWORD, WRONG, KEY, COOKIE stand in
        QTest::addColumn<QByteArray>("forwarded");  // empty: nothing may reach the service
        QTest::addColumn<QByteArrayList>("answer"); // what the proxy's own answer contains

        const QByteArrayList refused{"HTTP/1.1 401 Unauthorized\r\n",
                                     "\r\nWWW-Authenticate: Basic realm=\"Velumo\"\r\n"};
        const QByteArrayList passed;
        const QByteArray get = "GET / HTTP/1.1\r\nHost: h\r\n";
        QTest::newRow("no credentials") << get + "\r\n" << QByteArray() << refused;
        QTest::newRow("wrong password, key and cookie")
            << QByteArray("GET /?velumo_key=nope HTTP/1.1\r\nAuthorization: WRONG\r\n"
                          "Cookie: __Host-velumo=nope\r\n\r\n")
            << QByteArray() << refused;
        QTest::newRow("right password, any user: forwarded without Authorization")
            << get + "Authorization: PASSWORD\r\nAccept: */*\r\n\r\n"
            << get + "Accept: */*\r\n" + xff + "\r\n"
            << passed;
        QTest::newRow("link with key: 302 to the same path and query, with the cookie")
            << QByteArray("GET /a?x=1&velumo_key=KEY&y=2 HTTP/1.1\r\nHost: h\r\n\r\n")
            << QByteArray()
            << QByteArrayList{"HTTP/1.1 302 Found\r\n", "\r\nLocation: /a?x=1&y=2\r\n",
                              "\r\nSet-Cookie: __Host-velumo=",
                              "; Path=/; Max-Age=2592000; Secure; HttpOnly; SameSite=Lax\r\n"};
        QTest::newRow("cookie: its pair and any key leave; the rest stays, in order")
            << QByteArray("GET /k?velumo_key=nope&z=1 HTTP/1.1\r\nCookie: a=1; "
                          "__Host-velumo=COOKIE; b=2\r\nAuthorization: Bearer t\r\n\r\n")
            << "GET /k?z=1 HTTP/1.1\r\nCookie: a=1; b=2\r\nAuthorization: Bearer t\r\n" + xff +
                   "\r\n"
            << passed;
        const QByteArray upgrade =
            "GET /ws HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n";
        QTest::newRow("WebSocket upgrade with the cookie")
            << upgrade + "Cookie: __Host-velumo=COOKIE\r\n\r\n"
            << upgrade + xff + "\r\n"
            << passed;
    }

    void visitor()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, forwarded);
        QFETCH(QByteArrayList, answer);

        Origin origin;
        RunningProxy proxy(u"127.0.0.1"_s, origin.port());
        const QString password = PasswordGate::generatePassword();
        auto gate = std::make_shared<PasswordGate>(password);
        proxy.proxy.setGate(gate);
        const QUrl link = gate->linkWithKey(QUrl(u"https://a.trycloudflare.com"_s));
        const QByteArray key = QUrlQuery(link).queryItemValue(u"velumo_key"_s).toLatin1();
        QCOMPARE(link.toString(),
                 u"https://a.trycloudflare.com/?velumo_key="_s + QString::fromLatin1(key));

        QByteArray redirect;
        QVERIFY(!reaches(proxy.port(), origin, "GET /?velumo_key=" + key + " HTTP/1.1\r\n\r\n",
                         &redirect));
        const qsizetype at = redirect.indexOf("__Host-velumo=") + 14;
        const QByteArray cookie = redirect.mid(at, redirect.indexOf(';', at) - at);
        QVERIFY(cookie.size() >= 22); // 128 bits or more

        request.replace("PASSWORD", basic(u"anyone:"_s + password))
            .replace("WRONG", basic(u"anyone:not it"_s))
            .replace("KEY", key)
            .replace("COOKIE", cookie);
        QByteArray got;
        QCOMPARE(reaches(proxy.port(), origin, request, &got), !forwarded.isEmpty());
        QTRY_COMPARE(origin.received, forwarded);
        for (const QByteArray &part : answer) {
            QVERIFY2(got.contains(part), got);
        }
    }

    void guessing_locksOut_data()
    {
        QTest::addColumn<int>("failures");
        QTest::addColumn<QByteArray>("guesser"); // N stands for the attempt's number, mod 20
        QTest::addColumn<QByteArray>("later");   // who then comes with the right password
        QTest::addColumn<bool>("locked");

        const QByteArray cf = "Cf-Connecting-Ip: ";
        QTest::newRow("the peer") << 10 << QByteArray() << QByteArray() << true;
        QTest::newRow("the same IPv6 /64 through Cloudflare") << 10 << cf + "2001:db8:1:2::1\r\n"
                                                              << cf + "2001:db8:1:2:ffff::9\r\n"
                                                              << true;
        QTest::newRow("another /64") << 10 << cf + "2001:db8:1:2::1\r\n"
                                     << cf + "2001:db8:1:3::1\r\n"
                                     << false;
        QTest::newRow("another IPv4 address") << 10 << cf + "203.0.113.7\r\n"
                                              << cf + "203.0.113.8\r\n"
                                              << false;
        QTest::newRow("nine failures") << 9 << QByteArray() << QByteArray() << false;
        QTest::newRow("100 failures on the tunnel from 20 addresses")
            << 100 << cf + "198.51.100.N\r\n"
            << cf + "192.0.2.1\r\n"
            << true;
    }

    void guessing_locksOut()
    {
        QFETCH(int, failures);
        QFETCH(QByteArray, guesser);
        QFETCH(QByteArray, later);
        QFETCH(bool, locked);

        Origin origin;
        RunningProxy proxy(u"127.0.0.1"_s, origin.port());
        auto gate = std::make_shared<PasswordGate>(u"right password"_s);
        proxy.proxy.setGate(gate);
        const QUrl link = gate->linkWithKey(QUrl(u"https://a.example"_s));
        QByteArray redirect;
        QVERIFY(!reaches(proxy.port(), origin,
                         "GET /?" + link.query().toLatin1() + " HTTP/1.1\r\n\r\n", &redirect));
        const qsizetype at = redirect.indexOf("__Host-velumo=") + 14;
        const QByteArray cookie =
            "Cookie: " + redirect.mid(at - 14, redirect.indexOf(';', at) - at + 14);

        for (int i = 0; i < failures; ++i) {
            QByteArray got;
            const QByteArray who = QByteArray(guesser).replace("N", QByteArray::number(i % 20));
            QVERIFY(!reaches(proxy.port(), origin,
                             "GET / HTTP/1.1\r\n" + who + "Authorization: " + basic(u"u:wrong"_s) +
                                 "\r\n\r\n",
                             &got));
            QVERIFY2(got.startsWith("HTTP/1.1 401 "), got);
        }
        QByteArray got;
        QCOMPARE(reaches(proxy.port(), origin,
                         "GET / HTTP/1.1\r\n" + later +
                             "Authorization: " + basic(u"u:right password"_s) + "\r\n\r\n",
                         &got),
                 !locked);
        if (locked) {
            QVERIFY2(got.startsWith("HTTP/1.1 429 Too Many Requests\r\n"), got);
            const qsizetype retry = got.indexOf("\r\nRetry-After: ") + 15;
            const int seconds = got.mid(retry, got.indexOf('\r', retry) - retry).toInt();
            QVERIFY2(seconds > 0 && seconds <= 60, got);
        }
        // Whoever comes with the cookie passes.
        QVERIFY(reaches(proxy.port(), origin, "GET / HTTP/1.1\r\n" + later + cookie + "\r\n\r\n"));
    }

    void changes_takeEffectAtOnce()
    {
        Origin origin;
        RunningProxy proxy(u"127.0.0.1"_s, origin.port());
        auto gate = std::make_shared<PasswordGate>(u"first"_s);
        proxy.proxy.setGate(gate);
        const QByteArray with = "GET / HTTP/1.1\r\nAuthorization: ";
        QVERIFY(reaches(proxy.port(), origin, with + basic(u"u:first"_s) + "\r\n\r\n"));
        const QUrl link = gate->linkWithKey(QUrl(u"https://a.example"_s));
        gate->setPassword(u"second"_s);
        QVERIFY(gate->linkWithKey(QUrl(u"https://a.example"_s)) != link);
        QVERIFY(!reaches(proxy.port(), origin, with + basic(u"u:first"_s) + "\r\n\r\n"));
        QVERIFY(reaches(proxy.port(), origin, with + basic(u"u:second"_s) + "\r\n\r\n"));
        proxy.proxy.setGate(nullptr);
        QVERIFY(reaches(proxy.port(), origin, "GET / HTTP/1.1\r\n\r\n"));
    }
};

QTEST_GUILESS_MAIN(PasswordGateTest)
#include "PasswordGateTest.moc"
