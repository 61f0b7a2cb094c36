// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RequestsWindow.h"

#include "gui/RequestListModel.h"
#include "proxy/Inspection.h"

#include <QLineEdit>
#include <QPlainTextEdit>
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
    made.responseSize = responseBody.size();
    made.responseBody = std::move(responseBody);
    made.durationMsecs = 12;
    made.finished = true;
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
        Inspection inspection;
        CaptureStore &store = inspection.captures();
        const QString tunnel = u"localhost:8080"_s;
        store.add(exchange(tunnel, "/index.html", "HTTP/1.1 200 OK\r\n\r\n", "<p>hi</p>"));
        RequestsWindow window(inspection, tunnel, u"Requests"_s, {u"127.0.0.1"_s, 8080});
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
        QCOMPARE(response->toPlainText(),
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
};

QTEST_MAIN(RequestsWindowTest)
#include "RequestsWindowTest.moc"
