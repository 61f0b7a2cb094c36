// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ProxyHost.h"
#include "proxy/RequestRecorder.h"
#include "proxy/ReverseProxy.h"

#ifdef VELUMO_BENCH_WINDOW
#include "gui/RequestsWindow.h"

#include <QApplication>
using Application = QApplication;
#else
#include <QCoreApplication>
using Application = QCoreApplication;
#endif
#include <QFile>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

using namespace Velumo;

// The proxy as the app runs it, on its own host thread, in a process of its own so that its
// memory can be read apart from the service and the visitors. Prints its port; answers "rss"
// on stdin with VmRSS and VmHWM in KiB; ends when stdin closes. With "capture", it keeps what
// passes in a request list as the app does when inspection is on. Built as
// bench_proxy_window_app, it also shows the requests window on that list.
// Usage: bench_proxy_app <service port> [capture]
int main(int argc, char **argv)
{
    Application app(argc, argv);
    if (argc != 2 && argc != 3) {
        return 2;
    }
    RequestRecorder recorder;
    ProxyHost host;
    const ProxyTarget service{QStringLiteral("127.0.0.1"), quint16(QByteArray(argv[1]).toUInt())};
    ReverseProxy proxy(host, service);
    if (argc == 3 && qstrcmp(argv[2], "capture") == 0) {
        proxy.setSink(recorder.captures().sinkFor(QStringLiteral("bench")));
    }
#ifdef VELUMO_BENCH_WINDOW
    RequestsWindow window(recorder, QStringLiteral("bench"), QStringLiteral("Requests"), service);
    window.show();
    QCoreApplication::processEvents(); // painted before the memory at rest is read
#endif
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
