// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// Copied next to an installed velumo by the deb-smoke test, so the tool lookup runs from the
// installed layout: prints where it found cloudflared, creates one tunnel through the controller
// with the default store, prints the address it recorded, stops the tool and exits 0. Exits 1
// when no tool is found, or when no address is recorded within 20 seconds.

#include "core/ContentModel.h"
#include "core/Shell.h"

#include <QCoreApplication>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    const QString tool = Velumo::cloudflaredPath();
    say(QStringLiteral("tool: ") + tool);
    if (tool.isEmpty()) {
        return 1;
    }
    say(QStringLiteral("store: ") + Velumo::TunnelStore::defaultFilePath());

    Velumo::ContentModel model;
    int exitCode = 1;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        for (const Velumo::Tunnel &tunnel : model.tunnels()) {
            if (tunnel.url) {
                poll.stop();
                say(QStringLiteral("address: ") + tunnel.url->toString());
                exitCode = 0;
                model.stopAllTools();
                return;
            }
        }
    });
    // What the status line would say, for the log; the address is what counts.
    QObject::connect(&model, &Velumo::ContentModel::statusMessageChanged, &app,
                     [](const QString &message) { say(QStringLiteral("status: ") + message); });
    QTimer::singleShot(std::chrono::seconds(20), &app, [] {
        say(QStringLiteral("timed out"));
        QCoreApplication::exit(1);
    });

    poll.start();
    // The creation runs until its tool has ended and it has read the last of its output; only
    // then is everything it started finished with.
    QCoro::connect(model.createTunnel(QStringLiteral("localhost"), QStringLiteral("8080")), &app,
                   [&exitCode] { QCoreApplication::exit(exitCode); });
    return QCoreApplication::exec();
}
