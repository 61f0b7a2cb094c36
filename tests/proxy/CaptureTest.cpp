// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ProxyTestSupport.h"
#include "proxy/RequestRecorder.h"

#include <QRandomGenerator>
#include <QTest>

#include <numeric>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

namespace {

using Kind = ExchangeEvent::Kind;

// Hands a batch over as a proxy does: its bytes reserved first.
void deliver(ExchangeSink &sink, std::vector<ExchangeEvent> batch)
{
    for (const ExchangeEvent &event : batch) {
        sink.reserve(event.bytes.size(), false);
    }
    sink.deliver(std::move(batch));
    QCoreApplication::processEvents(); // taken before the next, as from a proxy's batches
}

} // namespace

Q_DECLARE_METATYPE(Velumo::ReplayEdit)

class CaptureTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void store_staysWithinItsBoundAcrossTunnels()
    {
        CaptureStore store;
        QList<quint64> removed;
        connect(&store, &CaptureStore::changed, this,
                [&](const QString &, const CaptureChange &change) { removed += change.removed; });
        const std::shared_ptr<ExchangeSink> sinks[] = {store.sinkFor(u"a"_s),
                                                       store.sinkFor(u"b"_s)};
        const QByteArray big(sinks[0]->bodyBytesWanted(), 'x');
        constexpr int count = 60; // about two bodies of 1 MiB each: far over 50 MiB
        for (quint64 i = 1; i <= count; ++i) {
            ExchangeEvent finished{i, Kind::Finished, 0, {}, 3 * big.size(), big.size()};
            deliver(*sinks[i % 2], {{i, Kind::Request, 0, "POST /up HTTP/1.1\r\n\r\n"},
                                    {i, Kind::RequestBody, 0, big},
                                    {i, Kind::Response, 0, "HTTP/1.1 200 OK\r\n\r\n"},
                                    {i, Kind::ResponseBody, 0, big},
                                    finished});
        }
        deliver(*sinks[0], {{99, Kind::Request, 0, "GET /small HTTP/1.1\r\n\r\n"},
                            {99, Kind::Response, 0, "HTTP/1.1 200 OK\r\n\r\n"},
                            {99, Kind::ResponseBody, 0, "ok"}});
        QTRY_COMPARE(store.exchanges(u"a"_s).size() + store.exchanges(u"b"_s).size() +
                         removed.size(),
                     count + 1);
        QVERIFY(store.bytes() <= CaptureStore::capacity);
        QVERIFY(store.bytes() > CaptureStore::capacity - 3 * CaptureStore::bodyLimit);
        // The oldest went first, whichever tunnel they belonged to.
        const QList<quint64> a = store.exchanges(u"a"_s);
        const QList<quint64> b = store.exchanges(u"b"_s);
        const quint64 oldestKept = std::min(a.first(), b.first());
        QVERIFY(oldestKept > 2);
        QList<quint64> oldest(qsizetype(oldestKept - 1));
        std::iota(oldest.begin(), oldest.end(), 1);
        QCOMPARE(removed, oldest);
        const CapturedExchange *large = store.exchange(b.last());
        QCOMPARE(large->requestBody.size(), CaptureStore::bodyLimit);
        QCOMPARE(large->responseBody.size(), CaptureStore::bodyLimit);
        QVERIFY(large->requestTruncated && large->responseTruncated);
        QCOMPARE(large->requestSize, 3 * big.size());
        QVERIFY(!store.exchange(a.last())->responseTruncated);

        store.clear(u"a"_s);
        QVERIFY(store.exchanges(u"a"_s).isEmpty());
        QCOMPARE(store.exchanges(u"b"_s), b);
        QTRY_VERIFY(removed.contains(a.last()));
    }

    // Distinct bodies through a real proxy, so that every copy would show in resident memory.
    void store_boundHoldsForTheProcess()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("AddressSanitizer holds freed memory in its quarantine: resident size says nothing here");
#endif
        CaptureStore store;
        Origin origin;
        RunningProxy proxy(u"127.0.0.1"_s, origin.port());
        proxy.proxy.setSink(store.sinkFor(u"t"_s));
        Visitor visitor(proxy.port());
        QByteArray body(1536 * 1024, Qt::Uninitialized);
        const QByteArray head =
            "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
        peakGrowthKiB();
        for (int i = 0; i < 60; ++i) { // 90 MiB, of which 60 MiB are offered to the store
            visitor.write("GET / HTTP/1.1\r\n\r\n");
            QTRY_VERIFY(origin.received.endsWith("\r\n\r\n"));
            origin.received.clear();
            QRandomGenerator(i).fillRange(reinterpret_cast<quint32 *>(body.data()),
                                          body.size() / 4);
            origin.last()->write(head + body);
            QTRY_COMPARE(visitor.received.size(), head.size() + body.size());
            visitor.received.clear();
        }
        QTRY_VERIFY(store.bytes() > CaptureStore::capacity - 3 * CaptureStore::bodyLimit);
        const qint64 grownMiB = peakGrowthKiB() / 1024;
        QVERIFY2(grownMiB < CaptureStore::capacity / 1024 / 1024 + 32,
                 qPrintable(QString::number(grownMiB)));
    }

    void replay_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<QString>("refusal"); // empty: the replay must go out

        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
        QTest::newRow("body with a length")
            << QByteArray("POST /p?q=1 HTTP/1.1\r\nhOsT: h\r\nContent-Length: 5\r\n\r\nhello") << ok
            << QString();
        QTest::newRow("chunked body with a trailer")
            << QByteArray("PUT /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "5;x=1\r\nhello\r\n0\r\nTail: 1\r\n\r\n")
            << QByteArray(
                   "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n")
            << QString();
        QTest::newRow("WebSocket upgrade: the 101, never the frames")
            << QByteArray("GET /ws HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n"
                          "\x81\x02hi")
            << QByteArray(
                   "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x02yo")
            << QString();
        QTest::newRow("body over 1 MiB: cut, marked, not sent again")
            << "POST /big HTTP/1.1\r\nContent-Length: 1500000\r\n\r\n" + QByteArray(1'500'000, 'b')
            << ok << u"cut at 1 MiB"_s;
    }

    void replay()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, response);
        QFETCH(QString, refusal);

        Origin origin;
        RunningProxy proxy(u"127.0.0.1"_s, origin.port());
        RequestRecorder recorder;
        CaptureStore &store = recorder.captures();
        proxy.proxy.setSink(store.sinkFor(u"t"_s));
        Visitor visitor(proxy.port());
        visitor.write(request);
        const qsizetype headEnd = request.indexOf("\r\n\r\n") + 4;
        const bool upgrade = request.contains("Upgrade");
        QTRY_COMPARE(origin.received.size(), (upgrade ? headEnd : request.size()) + xff.size());
        origin.last()->write(response);
        QTRY_VERIFY(store.exchanges(u"t"_s).size() == 1 &&
                    store.exchange(store.exchanges(u"t"_s).first())->finished);
        const quint64 id = store.exchanges(u"t"_s).first();
        const CapturedExchange *captured = store.exchange(id);
        QCOMPARE(captured->requestSize, request.size() - headEnd - (upgrade ? 4 : 0));
        QCOMPARE(captured->responseBody, upgrade ? QByteArray() : QByteArray("ok"));
        QTRY_COMPARE(origin.received.size(), request.size() + xff.size());
        const QByteArray forwarded = origin.received;
        origin.received.clear();

        QSignalSpy replayed(&recorder, &RequestRecorder::replayed);
        const QString why = recorder.replay(id, {{u"127.0.0.1"_s, origin.port()}, {}}).reason();
        if (!refusal.isEmpty()) {
            QVERIFY2(why.contains(refusal), qPrintable(why));
            QVERIFY(captured->requestTruncated);
            QCOMPARE(captured->requestBody.size(), CaptureStore::bodyLimit);
            return;
        }
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QTRY_COMPARE(origin.received,
                     forwarded.first(upgrade ? headEnd + xff.size() : forwarded.size()));
        origin.last()->write(response);
        QTRY_COMPARE(replayed.size(), 1);
        const CapturedExchange *again = store.exchange(replayed[0][1].toULongLong());
        QVERIFY(again->replay && again->finished);
        QCOMPARE(again->response.status, captured->response.status);
        QCOMPARE(store.exchanges(u"t"_s), QList<quint64>({id, again->id}));
    }

    void editedReplay_data()
    {
        QTest::addColumn<ReplayEdit>("edit");
        QTest::addColumn<QByteArray>("bytes"); // empty: refused

        QTest::newRow("body added") << ReplayEdit{"POST", "/", {}, "b"}
                                    << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nb");
        QTest::newRow("value with a line break")
            << ReplayEdit{"GET", "/", {{"X", "1\r\nEvil: 1"}}, {}} << QByteArray();
    }

    void editedReplay()
    {
        QFETCH(ReplayEdit, edit);
        QFETCH(QByteArray, bytes);
        const Result<QByteArray> sent = RequestRecorder::requestBytes(edit);
        QCOMPARE(sent.toOptional().value_or(QByteArray()), bytes);
        QCOMPARE(sent.reason().isEmpty(), !bytes.isEmpty());
    }
};

QTEST_GUILESS_MAIN(CaptureTest)
#include "CaptureTest.moc"
