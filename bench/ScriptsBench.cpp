// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
//
// `velumo list --json` against a running Velumo, beside `gdbus call` asking it for the same
// List(), in turns, so that both see the same machine. Run on a private session bus.
#include "BenchReport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

constexpr int rounds = 40;

// Wall time of one run, in milliseconds; negative when it failed.
double timed(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     process.readAllStandardError().constData());
        return -1;
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString velumo = QStringLiteral(VELUMO_EXECUTABLE);

    QProcess running;
    running.start(velumo, {u"--background"_s});
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    if (!bus || !Bench::waitUntil([&] { return bus->isServiceRegistered(u"org.velumo.Velumo"_s)
                                                   .value(); },
                                  std::chrono::seconds(10))) {
        std::fprintf(stderr, "velumo --background never appeared on the session bus\n");
        return 1;
    }

    const QStringList gdbus{u"call"_s,        u"--session"_s,
                            u"--dest"_s,      u"org.velumo.Velumo"_s,
                            u"--object-path"_s, u"/org/velumo/Velumo"_s,
                            u"--method"_s,    u"org.velumo.Velumo1.List"_s};
    std::vector<double> viaCommand;
    std::vector<double> viaGdbus;
    for (int round = 0; round < rounds; ++round) {
        const double command = timed(velumo, {u"list"_s, u"--json"_s});
        const double call = timed(u"gdbus"_s, gdbus);
        if (command < 0 || call < 0) {
            return 1;
        }
        viaCommand.push_back(command);
        viaGdbus.push_back(call);
    }
    running.terminate();
    running.waitForFinished(10000);

    const double command = Bench::percentile(viaCommand, 0.5);
    const double call = Bench::percentile(viaGdbus, 0.5);
    std::printf("velumo list --json: median %.1f ms; gdbus call List: median %.1f ms (%d rounds)\n",
                command, call, rounds);
    Bench::report({u"7a"_s, u"velumo list --json against a running Velumo, median wall time"_s,
                   u"gdbus call for List: %1 ms"_s.arg(Bench::number(call, 1)),
                   u"%1 ms"_s.arg(Bench::number(command, 1)),
                   u"≤ gdbus + 50 ms = %1 ms"_s.arg(Bench::number(call + 50, 1)),
                   command <= call + 50});
    return 0;
}
