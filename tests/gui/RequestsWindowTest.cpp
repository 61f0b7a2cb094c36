// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RequestsWindow.h"

#include "gui/ReplayEditDialog.h"
#include "gui/RequestListModel.h"
#include "proxy/RequestRecorder.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

CapturedExchange exchange(const QString &tunnel, QByteArray target, QByteArray responseHead,
                          QByteArray responseBody = {})
{
    CapturedExchange made;
    made.tunnel = tunnel;
    made.request.bytes = "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    made.readRequest();
    made.response = CapturedHead::response(std::move(responseHead));
    made.responseBody = std::move(responseBody);
    return made;
}

} // namespace

class RequestsWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Most bodies come compressed (Cloudflare asks for br and gzip); the user reads them plain.
    void gzipJson_showsDecodedAndPretty_andThePathFilterHidesIt()
    {
        RequestRecorder recorder;
        CaptureStore &store = recorder.captures();
        const QString tunnel = u"localhost:8080"_s;
        store.add(exchange(tunnel, "/index.html", "HTTP/1.1 200 OK\r\n\r\n", "<p>hi</p>"));
        RequestsWindow window(recorder, tunnel, u"Requests"_s, {u"127.0.0.1"_s, 8080});
        auto *table = window.findChild<QTableView *>(u"requestsTable"_s);
        auto *response = window.findChild<QPlainTextEdit *>(u"responseText"_s);
        QVERIFY(table && response);
        QAbstractItemModel *rows = table->model();
        const auto path = [rows](int row) {
            return rows->index(row, RequestListModel::PathColumn).data().toString();
        };

        // gzip -n of {"id":7,"tags":["a","b"],"price":2.50}, as a service sends it.
        const QByteArray gzipped = QByteArray::fromHex(
            "1f8b0800000000000203ab56ca4c51b232d7512a494c2f56b28a564a54d2514a528ad5512a28ca4c4e"
            "55b232d23335a805007ba357af26000000");
        store.add(exchange(tunnel, "/api/items/7",
                           "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                           "Content-Encoding: gzip\r\nContent-Length: 58\r\n\r\n",
                           gzipped));
        QCOMPARE(rows->rowCount(), 2);
        QCOMPARE(path(0), u"/api/items/7"_s); // newest first
        table->selectRow(0);
        QCOMPARE(
            response->toPlainText(),
            u"HTTP/1.1 200 OK\nContent-Type: application/json\nContent-Encoding: gzip\n"
            u"Content-Length: 58\n\n"
            u"{\n  \"id\": 7,\n  \"tags\": [\n    \"a\",\n    \"b\"\n  ],\n  \"price\": 2.50\n}"_s);

        // A request arriving later goes on top and leaves the selection where it was.
        store.add(exchange(tunnel, "/favicon.ico", "HTTP/1.1 404 Not Found\r\n\r\n"));
        QCOMPARE(table->selectionModel()->selectedRows().value(0).row(), 1);
        QVERIFY(response->toPlainText().endsWith(u"\"price\": 2.50\n}"_s));

        auto *filter = window.findChild<QLineEdit *>(u"requestsPathFilter"_s);
        QVERIFY(filter);
        QTest::keyClicks(filter, u"INDEX"_s);
        QCOMPARE(rows->rowCount(), 1);
        QCOMPARE(path(0), u"/index.html"_s);
        filter->clear();
        QCOMPARE(rows->rowCount(), 3);
    }

    // A chunked request as the proxy hands it over, in two batches: read once, and the replay,
    // the decoder and the edit dialog each take that reading.
    void capturedRequest_replayDecoderAndDialogAgree()
    {
        RequestRecorder recorder;
        CaptureStore &store = recorder.captures();
        const QByteArray head = "POST /api/items?x=1 HTTP/1.1\r\nHost:  localhost \r\n"
                                "Transfer-Encoding: chunked\r\nContent-Type: text/plain\r\n\r\n";
        const QByteArray body[] = {"5;e=1\r\nhello\r\n", "6\r\n world\r\n0\r\nTail: 1\r\n\r\n"};
        const std::shared_ptr<ExchangeSink> sink = store.sinkFor(u"t"_s);
        using Kind = ExchangeEvent::Kind;
        sink->deliver({{1, Kind::Request, 0, head}, {1, Kind::RequestBody, 0, body[0]}});
        QTRY_COMPARE(store.exchanges(u"t"_s).size(), 1);
        const CapturedExchange *partial = store.exchange(store.exchanges(u"t"_s).first());
        QCOMPARE(RequestRecorder::requestBytes(*partial).reason(),
                 u"It had not arrived whole when it was captured."_s);
        sink->deliver({{1, Kind::RequestBody, 0, body[1]}});
        QTRY_VERIFY(store.exchange(partial->id)->requestWhole);
        const CapturedExchange &exchange = *store.exchange(partial->id);

        QCOMPARE(*RequestRecorder::requestBytes(exchange), head + body[0] + body[1]);
        QCOMPARE(BodyDecoder::request(exchange).text, u"hello world"_s);
        ReplayEditDialog dialog(exchange);
        const auto text = [&dialog](QLatin1StringView name) {
            auto *edit = dialog.findChild<QPlainTextEdit *>(name);
            return edit ? edit->toPlainText() : dialog.findChild<QLineEdit *>(name)->text();
        };
        QCOMPARE(text("replayMethod"_L1) + u' ' + text("replayPath"_L1), u"POST /api/items?x=1"_s);
        QCOMPARE(text("replayHeaders"_L1),
                 u"Host: localhost\nTransfer-Encoding: chunked\nContent-Type: text/plain"_s);
        QCOMPARE(text("replayBody"_L1), u"hello world"_s);
        QCOMPARE(*RequestRecorder::requestBytes(*dialog.edit()),
                 "POST /api/items?x=1 HTTP/1.1\r\nHost: localhost\r\nContent-Length: 11\r\n"
                 "Content-Type: text/plain\r\n\r\nhello world");
    }

    // The link a user hands out for one request leads to its path, the key added to its query.
    void copyLinkWithKey_leadsToTheRequestsPath()
    {
        RequestRecorder recorder;
        recorder.captures().add(exchange(u"t"_s, "/a%20b?x=1", "HTTP/1.1 401 \r\n\r\n"));
        RequestsWindow window(recorder, u"t"_s, u"Requests"_s, {u"127.0.0.1"_s, 8080});
        window.setLinkWithKey([] { return QUrl(u"https://a.trycloudflare.com/?velumo_key=k"_s); });
        window.findChild<QTableView *>(u"requestsTable"_s)->selectRow(0);
        window.findChild<QPushButton *>(u"requestsCopyLink"_s)->click();
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 u"https://a.trycloudflare.com/a%20b?x=1&velumo_key=k"_s);
    }
};

QTEST_MAIN(RequestsWindowTest)
#include "RequestsWindowTest.moc"
