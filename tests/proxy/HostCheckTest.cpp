// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/HostCheck.h"

#include <QTest>

using namespace Velumo;

using Server = std::optional<DevServer>;
Q_DECLARE_METATYPE(Server)

class HostCheckTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Answers as the servers write them (Vite 7.x, webpack-dev-server 5.x and 3.x, Django 5.x
    // with DEBUG on, Rails 7.x and 6.0), beside ordinary refusals that must not be taken for one.
    void refusedBy_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Server>("server");

        QTest::newRow("vite") << 403
                              << QByteArray("Blocked request. This host (\"a-b.trycloudflare.com\") "
                                            "is not allowed.\nTo allow this host, add "
                                            "\"a-b.trycloudflare.com\" to `server.allowedHosts` in "
                                            "vite.config.js.")
                              << Server(DevServer::Vite);
        QTest::newRow("webpack-dev-server 5")
            << 403 << QByteArray("Invalid Host header") << Server(DevServer::Webpack);
        QTest::newRow("webpack-dev-server 3")
            << 200 << QByteArray("Invalid Host header\n") << Server(DevServer::Webpack);
        QTest::newRow("django debug")
            << 400
            << QByteArray("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n  <title>DisallowedHost\n"
                          "          at /</title>\n</head><body><div id=\"summary\">\n  "
                          "<h1>DisallowedHost\n       at /</h1>\n  <pre class=\"exception_value\">"
                          "Invalid HTTP_HOST header: &#x27;a-b.trycloudflare.com&#x27;. You may "
                          "need to add &#x27;a-b.trycloudflare.com&#x27; to ALLOWED_HOSTS.</pre>")
            << Server(DevServer::Django);
        QTest::newRow("rails 7")
            << 403
            << QByteArray("<!DOCTYPE html><html><head><title>Action Controller: Exception caught"
                          "</title></head><body><header><h1>Blocked hosts: a-b.trycloudflare.com"
                          "</h1></header><main><h2>To allow requests to these hosts, make sure "
                          "they are valid hostnames (containing only numbers, letters, dashes and "
                          "dots), then add the following to your environment configuration:</h2>"
                          "<pre>config.hosts &lt;&lt; \"a-b.trycloudflare.com\"</pre>")
            << Server(DevServer::Rails);
        QTest::newRow("rails 6.0 plain")
            << 403 << QByteArray("Blocked host: a-b.trycloudflare.com") << Server(DevServer::Rails);

        QTest::newRow("ordinary 403") << 403 << QByteArray("<h1>Forbidden</h1>") << Server();
        QTest::newRow("django without debug")
            << 400 << QByteArray("<h1>Bad Request (400)</h1>") << Server();
        QTest::newRow("ordinary 400 naming a host")
            << 400 << QByteArray("Invalid Host header") << Server();
        QTest::newRow("a page quoting the words")
            << 200 << QByteArray("<p>Why you see Invalid Host header</p>") << Server();
        QTest::newRow("empty 403") << 403 << QByteArray() << Server();
    }
    void refusedBy()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Server, server);
        QCOMPARE(HostCheck::refusedBy(status, body), server);
    }

    // Next.js 16 answers a cross-origin request for its own resources with 403 "Unauthorized"
    // and closes its hot-reload socket without an answer.
    void refusedOrigin_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<bool>("crossOrigin");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");

        QTest::newRow("script refused") << QByteArray("/_next/static/chunks/main.js") << true
                                        << 403 << QByteArray("Unauthorized") << true;
        QTest::newRow("socket closed")
            << QByteArray("/_next/webpack-hmr") << true << 0 << QByteArray() << true;
        QTest::newRow("same origin") << QByteArray("/_next/webpack-hmr") << false << 0
                                     << QByteArray() << false;
        QTest::newRow("the app's own 403")
            << QByteArray("/admin") << true << 403 << QByteArray("Unauthorized") << false;
        QTest::newRow("served") << QByteArray("/_next/static/chunks/main.js") << true << 200
                                << QByteArray("Unauthorized") << false;
    }
    void refusedOrigin()
    {
        QFETCH(QByteArray, path);
        QFETCH(bool, crossOrigin);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QCOMPARE(HostCheck::refusedOrigin(path, crossOrigin, status, body), refused);
    }

    // A quick tunnel's name changes at each start: its setting must allow them all.
    void allowSetting_coversEveryQuickTunnel()
    {
        QCOMPARE(HostCheck::allowSetting(DevServer::Vite),
                 QStringLiteral("server.allowedHosts: ['.trycloudflare.com']"));
        QCOMPARE(HostCheck::allowSetting(DevServer::NextJs, QStringLiteral("app.example.com")),
                 QStringLiteral("allowedDevOrigins: ['app.example.com']"));
    }
};

QTEST_GUILESS_MAIN(HostCheckTest)
#include "HostCheckTest.moc"
