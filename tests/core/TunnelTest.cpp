// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Tunnel.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Velumo;

namespace Velumo {
// Lets QCOMPARE show the records that differ.
char *toString(const Tunnel &tunnel)
{
    return qstrdup(encodeTunnels({tunnel}).constData());
}
} // namespace Velumo

namespace {

Tunnel record(const char *id, const char *url, const QString &hostname, const char *port,
              bool loading)
{
    Tunnel tunnel;
    tunnel.id = QUuid::fromString(QLatin1StringView(id));
    if (url) {
        tunnel.url = QUrl(QString::fromLatin1(url), QUrl::StrictMode);
    }
    tunnel.hostname = hostname;
    tunnel.port = QString::fromLatin1(port);
    tunnel.loading = loading;
    return tunnel;
}

const char *const knownId = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

// A stored list of one element with the known id followed by `fields`.
QByteArray withKnownId(const QByteArray &fields)
{
    return R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)" + fields + "}]";
}

// A stored list of one element with the usual fields after the given id.
QByteArray withId(const QByteArray &id)
{
    return QByteArray(R"([{"id":"ID","hostname":"localhost","port":"3000","loading":false}])")
        .replace("ID", id);
}

} // namespace

class TunnelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodeTunnels_writesStoredByteForm_data()
    {
        QTest::addColumn<TunnelList>("tunnels");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("empty") << TunnelList{} << QByteArray("[]");
        QTest::newRow("address")
            << TunnelList{record(knownId, "https://seasonal-deck-organisms-sf.trycloudflare.com",
                                 u"localhost"_s, "3000", false)}
            << QByteArray(
                   R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","url":"https:\/\/seasonal-deck-organisms-sf.trycloudflare.com","hostname":"localhost","port":"3000","loading":false}])");
        QTest::newRow("no address, escapes")
            << TunnelList{record("e621e1f8-c36c-495a-93fc-0c247a3e6e5f", nullptr,
                                 u"a/b\\\n\t\x01\x1f Zürich 🚀"_s, "8080", true)}
            << QByteArray(R"([{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F",)"
                          R"("hostname":"a\/b\\\n\t\u0001\u001f Zürich 🚀",)"
                          R"("port":"8080","loading":true}])");
    }

    void encodeTunnels_writesStoredByteForm()
    {
        QFETCH(TunnelList, tunnels);
        QFETCH(QByteArray, expected);
        QCOMPARE(encodeTunnels(tunnels), expected);
    }

    void encodeThenDecode_givesEqualList_data()
    {
        QTest::addColumn<TunnelList>("tunnels");

        QTest::newRow("several") << TunnelList{
            record(knownId, "https://a-b.trycloudflare.com", u"localhost"_s, "3000", false),
            record("00000000-0000-4000-8000-000000000001", nullptr, u"127.0.0.1"_s, "80", true)};
        const std::pair<const char *, QString> hostnames[] = {
            {"quotes", u"say \"hi\""_s},
            {"control characters", u"\x01\x02\x1f\x7f"_s},
            {"non-ASCII", u"münchen.例え.jp"_s},
            {"empty", QString()},
        };
        for (const auto &[name, hostname] : hostnames) {
            Tunnel tunnel;
            tunnel.hostname = hostname;
            QTest::newRow(name) << TunnelList{tunnel};
        }
    }

    void encodeThenDecode_givesEqualList()
    {
        QFETCH(TunnelList, tunnels);
        const Result<TunnelList> decoded = decodeTunnels(encodeTunnels(tunnels));
        QVERIFY2(decoded, qPrintable(decoded.reason()));
        QCOMPARE(*decoded, tunnels);
    }

    void decodeTunnels_acceptsStoredVariants_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<Tunnel>("expected");

        const Tunnel plain = record(knownId, nullptr, u"localhost"_s, "3000", false);
        QTest::newRow("url missing")
            << withKnownId(R"("hostname":"localhost","port":"3000","loading":false)") << plain;
        QTest::newRow("url null")
            << withKnownId(R"("url":null,"hostname":"localhost","port":"3000","loading":false)")
            << plain;
        QTest::newRow("keys reordered, extra key")
            << QByteArray(R"([{"loading":true,"port":"3000","color":[1],"hostname":"localhost",)"
                          R"("url":"https:\/\/a.trycloudflare.com",)"
                          R"("id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}])")
            << record(knownId, "https://a.trycloudflare.com", u"localhost"_s, "3000", true);
        QTest::newRow("lower-case id")
            << QByteArray(R"([{"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f",)"
                          R"("hostname":"localhost","port":"3000","loading":false}])")
            << plain;
    }

    void decodeTunnels_acceptsStoredVariants()
    {
        QFETCH(QByteArray, json);
        QFETCH(Tunnel, expected);
        const Result<TunnelList> decoded = decodeTunnels(json);
        QVERIFY2(decoded, qPrintable(decoded.reason()));
        QCOMPARE(*decoded, TunnelList{expected});
        // Whatever was read is written back in the stored form.
        QCOMPARE(encodeTunnels(*decoded), encodeTunnels({expected}));
    }

    void decodeTunnels_badInput_fails_data()
    {
        QTest::addColumn<QByteArray>("json");

        const QByteArray rest = R"("hostname":"localhost","port":"3000","loading":false)";
        QTest::newRow("not JSON") << QByteArray("[{");
        QTest::newRow("object, not array") << QByteArray(R"({"id":"x"})");
        QTest::newRow("loading missing") << withKnownId(R"("hostname":"localhost","port":"3000")");
        QTest::newRow("port as number")
            << withKnownId(R"("hostname":"localhost","port":3000,"loading":false)");
        QTest::newRow("hostname missing") << withKnownId(R"("port":"3000","loading":false)");
        QTest::newRow("url not a URL")
            << withKnownId(R"("url":"https:\/\/x%zz.example.com",)" + rest);
        QTest::newRow("id missing") << QByteArray("[{" + rest + "}]");
        QTest::newRow("id with braces") << withId("{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}");
        QTest::newRow("id without hyphens") << withId("E621E1F8C36C495A93FC0C247A3E6E5F");
        QTest::newRow("id too long") << withId("E621E1F8-C36C-495A-93FC-0C247A3E6E5F0");
        QTest::newRow("one bad among good") << QByteArray(
            withId(knownId).chopped(1) + R"(,{"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F"}])");
    }

    void decodeTunnels_badInput_fails()
    {
        QFETCH(QByteArray, json);
        const Result<TunnelList> decoded = decodeTunnels(json);
        QVERIFY(!decoded);
        QVERIFY(!decoded.reason().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TunnelTest)
#include "TunnelTest.moc"
