// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelUrl.h"
#include "core/LinkDetector.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Velumo;

namespace {

const QString boxAddress = u"https://seasonal-deck-organisms-sf.trycloudflare.com"_s;

const QString boxTail = uR"(
2026-05-29T09:25:38Z INF +--------------------------------------------------------------------------------------------+
2026-05-29T09:25:38Z INF |  Your quick Tunnel has been created! Visit it at (it may take some time to be reachable):  |
2026-05-29T09:25:38Z INF |  https://seasonal-deck-organisms-sf.trycloudflare.com                                     |
2026-05-29T09:25:38Z INF +--------------------------------------------------------------------------------------------+
2026-05-29T09:25:38Z INF Version 2026.8.2
2026-05-29T09:25:38Z INF Settings: map[ha-connections:1 protocol:quic url:localhost:3000]
2026-05-29T09:25:38Z INF Generated Connector ID: 0c5e2f0a-3b1d-4b8e-9d7a-2f4c6e8a1b3d
2026-05-29T09:25:38Z INF Starting metrics server on 127.0.0.1:20241/metrics
2026-05-29T09:25:39Z INF Registered tunnel connection connIndex=0 connection=6f1e2d3c-4b5a-4978-8e9d-0a1b2c3d4e5f event=0 ip=198.41.200.13 location=lhr01 protocol=quic
)"_s;

// Text as a string, or empty for no address, so QCOMPARE shows both sides.
QString shown(const std::optional<QUrl> &url)
{
    return url ? url->toString() : QString();
}

// What detectTunnelURL must agree with: every link, first one ending with the suffix decides.
std::optional<QUrl> referenceTunnelURL(QStringView text)
{
    for (const LinkMatch &match : findLinks(text)) {
        const QStringView linkText = text.sliced(match.start, match.length);
        if (linkText.endsWith(tunnelDomainSuffix)) {
            QUrl url(linkText.toString(), QUrl::StrictMode);
            const bool web = url.scheme() == u"https"_s || url.scheme() == u"http"_s;
            return url.isValid() && web && !url.host().isEmpty() ? std::optional<QUrl>(url)
                                                                 : std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

class TunnelUrlTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void findLinks_findsLinksInOrder_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("scheme") << u"Visit https://a.example.com now"_s
                                << QStringList{u"https://a.example.com"_s};
        QTest::newRow("port, path, query, fragment")
            << u"GET http://a.example.com:8080/x/y?q=1&r=2#top ok"_s
            << QStringList{u"http://a.example.com:8080/x/y?q=1&r=2#top"_s};
        QTest::newRow("bare domain") << u"Requesting new quick Tunnel on trycloudflare.com..."_s
                                     << QStringList{u"trycloudflare.com"_s};
        QTest::newRow("ends at breaks")
            << u"|https://a.example.com|<b.example.com>\"c.example.com\""_s
            << QStringList{u"https://a.example.com"_s, u"b.example.com"_s, u"c.example.com"_s};
        QTest::newRow("unbalanced closers")
            << u"(https://a.example.com) [b.example.com] {c.example.com} 'd.example.com'"_s
            << QStringList{u"https://a.example.com"_s, u"b.example.com"_s, u"c.example.com"_s,
                           u"d.example.com"_s};
        QTest::newRow("balanced brackets kept")
            << u"https://en.wikipedia.org/wiki/Tunnel_(film)"_s
            << QStringList{u"https://en.wikipedia.org/wiki/Tunnel_(film)"_s};
        QTest::newRow("not links")
            << u"127.0.0.1:20241/metrics Version 2026.8.2 user@example.com localhost:3000 "
               u".trycloudflare.com https:// ip=198.41.200.13"_s
            << QStringList{};
        QTest::newRow("settings line")
            << u"INF Settings: map[ha-connections:1 protocol:quic url:localhost:3000]"_s
            << QStringList{};
        QTest::newRow("emoji glued before")
            << u"🚀https://a.example.com"_s << QStringList{u"https://a.example.com"_s};
    }

    void findLinks_findsLinksInOrder()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QStringList found;
        for (const LinkMatch &match : findLinks(text)) {
            found.append(text.sliced(match.start, match.length));
        }
        QCOMPARE(found, expected);
    }

    void detectTunnelURL_firstSuffixLinkDecides_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        const QString none;
        QTest::newRow("box line") << u"2026-05-29T09:25:38Z INF |  "_s + boxAddress +
                                         u"                                     |"_s
                                  << boxAddress;
        QTest::newRow("two addresses")
            << u"https://first-one.trycloudflare.com https://second-one.trycloudflare.com"_s
            << u"https://first-one.trycloudflare.com"_s;
        QTest::newRow("unrelated link first")
            << u"terms https://www.cloudflare.com/website-terms/ at https://a-b.trycloudflare.com"_s
            << u"https://a-b.trycloudflare.com"_s;
        QTest::newRow("first bad escape, later good")
            << u"https://x%zz.trycloudflare.com https://good-one.trycloudflare.com"_s << none;
        QTest::newRow("bare domain")
            << u"Requesting new quick Tunnel on trycloudflare.com..."_s << none;
        QTest::newRow("trailing slash") << u"https://a-b.trycloudflare.com/"_s << none;
        QTest::newRow("path") << u"https://a-b.trycloudflare.com/path"_s << none;
        QTest::newRow("other letter case") << u"https://a-b.TryCloudflare.com"_s << none;
        QTest::newRow("trailing period")
            << u"Visit https://a-b.trycloudflare.com."_s << u"https://a-b.trycloudflare.com"_s;
        QTest::newRow("failed request")
            << u"failed to request quick Tunnel: Post \"https://api.trycloudflare.com/tunnel\": "
               u"dial tcp 104.16.230.132:443: connect: network is unreachable"_s
            << none;
        QTest::newRow("failed name lookup")
            << u"failed to request quick Tunnel: Post \"https://api.trycloudflare.com/tunnel\": "
               u"dial tcp: lookup api.trycloudflare.com on 127.0.0.53:53: server misbehaving"_s
            << none;
        QTest::newRow("bare tunnel name decides, without an address")
            << u"x-y.trycloudflare.com https://good-one.trycloudflare.com"_s << none;
        QTest::newRow("settings line")
            << u"2026-05-29T09:25:38Z INF Settings: map[ha-connections:1 protocol:quic "
               u"url:localhost:3000]"_s
            << none;
        QTest::newRow("emoji glued before")
            << u"🚀https://a-b.trycloudflare.com"_s << u"https://a-b.trycloudflare.com"_s;
        QTest::newRow("non-ASCII around") << u"INF |  ✓ https://a-b.trycloudflare.com é🚀  |"_s
                                          << u"https://a-b.trycloudflare.com"_s;
        QTest::newRow("split, first chunk")
            << u"2026-05-29T09:25:38Z INF |  https://seasonal-deck-organisms-sf.trycloud"_s << none;
        QTest::newRow("split, second chunk")
            << u"flare.com                                     |"_s << none;
        // Versions differ in whether the disclaimer links to the terms of use.
        const QString thanks =
            u"2026-05-29T09:25:36Z INF Thank you for trying Cloudflare Tunnel. Doing so, without a "
            u"Cloudflare account, is a quick way to experiment and try it out. However, be aware "
            u"that these account-less Tunnels have no uptime guarantee"_s;
        const QString terms =
            u", are subject to the Cloudflare Online Services Terms of Use "
            u"(https://www.cloudflare.com/website-terms/), and Cloudflare reserves the right to "
            u"investigate your use of Tunnels for violations of such terms"_s;
        const QString rest =
            u". If you intend to use Tunnels in production you should use a pre-created named "
            u"tunnel by following: "
            u"https://developers.cloudflare.com/cloudflare-one/connections/connect-apps\n"
            u"2026-05-29T09:25:36Z INF Requesting new quick Tunnel on trycloudflare.com..."_s +
            boxTail;
        QTest::newRow("new banner transcript") << thanks + terms + rest << boxAddress;
        QTest::newRow("old banner transcript") << thanks + rest << boxAddress;
    }

    void detectTunnelURL_firstSuffixLinkDecides()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(shown(detectTunnelURL(text)), expected);
    }

    // detectTunnelURL only looks at words holding the suffix; it must still pick what a scan
    // of every link would.
    void detectTunnelURL_agreesWithFullScan_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("hasAddress");

        const QString good = u" https://good-one.trycloudflare.com"_s;
        QTest::newRow("identifier word first") << u"a_b.trycloudflare.com"_s + good << true;
        QTest::newRow("bare suffix first") << u".trycloudflare.com"_s + good << true;
        QTest::newRow("suffix inside query")
            << u"https://x.example.com/?q=y.trycloudflare.com"_s + good << true;
        QTest::newRow("unparsable first") << u"https://x%zz.trycloudflare.com"_s + good << false;
        QTest::newRow("two glued by comma")
            << u"https://a.trycloudflare.com,https://b.trycloudflare.com"_s << false;
        QTest::newRow("bare name first") << u"x.trycloudflare.com"_s + good << false;
        QTest::newRow("emoji glued") << u"🚀https://good-one.trycloudflare.com"_s << true;
        QTest::newRow("transcript") << boxTail << true;
        // Where the search for the suffix could go wrong: its ends, near misses, units that
        // share their low byte with one of the suffix's.
        QTest::newRow("suffix is the text") << u".trycloudflare.com"_s << false;
        QTest::newRow("near misses before")
            << u"x.trycloudflare.cox x.trycloudflare.con .trycloudflarr.com"_s + good << true;
        QTest::newRow("look-alike units") << u"https://a.trycŬoudflare.coŭ"_s << false;
    }

    void detectTunnelURL_agreesWithFullScan()
    {
        QFETCH(QString, text);
        QFETCH(bool, hasAddress);
        const std::optional<QUrl> expected = referenceTunnelURL(text);
        QCOMPARE(expected.has_value(), hasAddress);
        QCOMPARE(shown(detectTunnelURL(text)), shown(expected));
    }
};

QTEST_GUILESS_MAIN(TunnelUrlTest)
#include "TunnelUrlTest.moc"
