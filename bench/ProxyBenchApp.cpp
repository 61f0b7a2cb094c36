// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/CaptureStore.h"
#include "proxy/ProxyHost.h"
#include "proxy/ReverseProxy.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

using namespace Velumo;

// The proxy as the app runs it, on its own host thread, in a process of its own so that its
// memory can be read apart from the service and the visitors. Prints its port; answers "rss"
// on stdin with VmRSS and VmHWM in KiB; ends when stdin closes. With "capture", it keeps what
// passes in a request list as the app does when inspection is on.
// Usage: bench_proxy_app <service port> [capture]
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        return 2;
    }
    CaptureStore store;
    ProxyHost host;
    ReverseProxy proxy(host, {QStringLiteral("127.0.0.1"), quint16(QByteArray(argv[1]).toUInt())});
    if (argc == 3 && qstrcmp(argv[2], "capture") == 0) {
        proxy.setSink(store.sinkFor(QStringLiteral("bench")));
    }
    QObject::connect(&proxy, &ReverseProxy::listening, &app, [](quint16 port) {
        std::printf("%u\n", unsigned(port));
        std::fflush(stdout);
    });
    QObject::connect(&proxy, &ReverseProxy::failed, &app, [] { QCoreApplication::exit(1); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [] {
        char line[64];
        if (::read(STDIN_FILENO, line, sizeof line) <= 0) {
            QCoreApplication::quit();
            return;
        }
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        QByteArray rss;
        QByteArray peak;
        for (const QByteArray &entry : status.readAll().split('\n')) {
            if (entry.startsWith("VmRSS:") || entry.startsWith("VmHWM:")) {
                (entry.startsWith("VmRSS:") ? rss : peak) = entry.mid(6).trimmed().split(' ')[0];
            }
        }
        std::printf("%s %s\n", rss.constData(), peak.constData());
        std::fflush(stdout);
    });
    proxy.start();
    return app.exec();
}
