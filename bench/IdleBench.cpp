// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "core/ContentModel.h"
#include "gui/ContentView.h"
#include "core/LocalServiceMonitor.h"
#include "gui/Spinner.h"

#include <QApplication>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTimerEvent>
#include <QWindow>

#include <algorithm>
#include <array>
#include <cstdio>
#include <sys/resource.h>

// The app at rest: tunnels whose tools are up and silent, each for its own local port with its
// service check, nothing loading, the window shown; first 10, then 100. Over ten seconds it
// should wake for nothing but the one shared local-service check every five seconds, and use
// next to no CPU. The count comes from every timer event the main thread delivers, by
// receiver; the CPU from getrusage, all threads included.

using namespace Velumo;

namespace {

// 5b's target is for the first; the second is reported only.
constexpr std::array<int, 2> tunnelCounts{10, 100};
constexpr std::chrono::seconds window{10};
constexpr int windows = 3;

// Counts timer events by what receives them.
class TimerCounter : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (m_counting && event->type() == QEvent::Timer) {
            QString receiver = QString::fromLatin1(watched->metaObject()->className());
            if (const auto *timer = qobject_cast<const QTimer *>(watched)) {
                receiver += QStringLiteral(" every %1 ms").arg(timer->interval());
            }
            if (const QObject *parent = watched->parent()) {
                receiver +=
                    QStringLiteral(" in ") + QString::fromLatin1(parent->metaObject()->className());
            }
            ++m_counts[receiver];
        }
        return false;
    }

    void start() { m_counting = true; }
    void stop() { m_counting = false; }
    const QMap<QString, int> &counts() const { return m_counts; }

private:
    bool m_counting = false;
    QMap<QString, int> m_counts;
};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What the app does at rest, over three windows of ten seconds.
struct Idle {
    int tunnels = 0;
    // Events of the monitor's shared timer, and of every other timer but the windows' own end.
    int checks = 0;
    int wakeups = 0;
    QString others;
    double percent = 0; // the median window
    double cpuMs = 0;
    double wallS = 0;
    int spinning = 0;
    double roundMs = 0;
};

// Creates tunnels up to `count`, each for a local service on a port where nothing listens, so
// each check is refused at once, as for a stopped server. True once every tool is up and every
// service checked.
bool addTunnels(ContentModel *model, int count)
{
    for (int i = int(model->tunnels().size()); i < count; ++i) {
        model->createTunnel(QStringLiteral("localhost"), QString::number(41000 + i));
    }
    const bool settled = Bench::waitUntil(
        [&] {
            if (model->tunnels().size() < count || model->loading()) {
                return false;
            }
            return std::all_of(
                model->tunnels().cbegin(), model->tunnels().cend(), [&](const Tunnel &tunnel) {
                    return model->activity(tunnel.id).state == TunnelState::Connected &&
                           model->serviceListening(tunnel.id).has_value();
                });
        },
        std::chrono::seconds(60));
    return settled && model->runningToolCount() == count;
}

void measureIdle(QApplication &app, Idle &idle)
{
    // Three windows: the figure is the middle one, as a shared machine now and then lends a
    // window's worth of CPU time to something else.
    TimerCounter counter;
    app.installEventFilter(&counter);
    QTimer end;
    end.setSingleShot(true);
    std::vector<double> percents;
    for (int i = 0; i < windows; ++i) {
        QEventLoop loop;
        QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
        const double cpuBefore = cpuSeconds();
        const qint64 wallBefore = Bench::monotonicNs();
        counter.start();
        end.start(window);
        loop.exec();
        counter.stop();
        const double windowCpu = cpuSeconds() - cpuBefore;
        const double windowWall = double(Bench::monotonicNs() - wallBefore) / 1e9;
        std::printf("%d tunnels, window %d: %.1f ms CPU in %.2f s (%.3f%%)\n", idle.tunnels, i + 1,
                    windowCpu * 1000, windowWall, 100 * windowCpu / windowWall);
        percents.push_back(100 * windowCpu / windowWall);
        idle.cpuMs += windowCpu * 1000;
        idle.wallS += windowWall;
    }
    app.removeEventFilter(&counter);
    idle.percent = Bench::percentile(percents, 0.5);

    // The loop's own end is the one timer that is the benchmark's; the monitor's timer is a
    // plain QTimer with the check's interval.
    const QString ownEnd = QStringLiteral("QTimer every %1 ms").arg(end.interval());
    const QString check =
        QStringLiteral("QTimer every %1 ms").arg(LocalServiceMonitor::interval.count());
    for (auto it = counter.counts().cbegin(); it != counter.counts().cend(); ++it) {
        std::printf("Timer events: %4d  %s\n", it.value(), qPrintable(it.key()));
        if (it.key() == ownEnd) {
            continue;
        }
        if (it.key() == check) {
            idle.checks += it.value();
        } else {
            idle.wakeups += it.value();
            idle.others += (idle.others.isEmpty() ? QString() : QStringLiteral(", ")) + it.key();
        }
    }
}

// What one round of checks costs by itself, on a monitor of its own watching the same services:
// the part of the idle CPU that is the check's by design. Qt keeps the name's addresses from the
// app's own checks, as it does for the timer's rounds. The median of five rounds.
double roundMs(int count)
{
    std::vector<double> rounds;
    for (int round = 0; round < 5; ++round) {
        LocalServiceMonitor monitor;
        QList<QUuid> keys;
        const double before = cpuSeconds();
        for (int i = 0; i < count; ++i) {
            keys.append(QUuid::createUuid());
            monitor.watch(keys.last(), QStringLiteral("localhost"), QString::number(41000 + i));
        }
        Bench::waitUntil(
            [&] {
                return std::all_of(keys.cbegin(), keys.cend(), [&](const QUuid &key) {
                    return monitor.isListening(key).has_value();
                });
            },
            std::chrono::seconds(10));
        rounds.push_back((cpuSeconds() - before) * 1000);
    }
    return Bench::percentile(rounds, 0.5);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QTemporaryDir dir;
    // Each tool announces its address, connects, then stays up without a word.
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(QStringLiteral(VELUMO_TRANSCRIPTS) +
                                                       QStringLiteral("/quick-tunnel.script")));

    auto *model = new ContentModel(TunnelStore(dir.filePath(QStringLiteral("list.json"))));
    model->setToolPath(QStringLiteral(VELUMO_STANDIN));
    ContentView view(model);
    view.show();
    Bench::waitUntil([&] { return view.windowHandle()->isExposed(); }, std::chrono::seconds(10));

    std::array<Idle, tunnelCounts.size()> idles;
    for (size_t i = 0; i < tunnelCounts.size(); ++i) {
        Idle &idle = idles.at(i);
        idle.tunnels = tunnelCounts.at(i);
        if (!addTunnels(model, idle.tunnels)) {
            std::fprintf(stderr, "the tunnels did not all come up: %lld listed, %d tools running\n",
                         qint64(model->tunnels().size()), model->runningToolCount());
            return 1;
        }
        // The first checks, the rows' first frames and the tools' start are over. Qt's pixmap
        // cache looks for pixmaps to drop once, 30 s after the last new one (the rows' symbols),
        // then stops; the app is at rest after that.
        Bench::waitUntil([] { return false; }, std::chrono::seconds(32));
        for (const Spinner *spinner : view.findChildren<Spinner *>()) {
            idle.spinning += spinner->isSpinning() ? 1 : 0;
        }
        measureIdle(app, idle);
        idle.roundMs = roundMs(idle.tunnels);
        std::printf("%d tools running, %d spinners spinning; %.1f ms CPU in %.2f s in all, median "
                    "window %.3f%%; one round of the checks alone %.2f ms\n",
                    model->runningToolCount(), idle.spinning, idle.cpuMs, idle.wallS, idle.percent,
                    idle.roundMs);
    }

    model->stopAllTools(std::chrono::milliseconds(500));
    Bench::waitUntil([&] { return model->runningToolCount() == 0; }, std::chrono::seconds(10));

    const auto cpu = [&](const QString &id, const Idle &idle, const QString &target, bool pass,
                         bool info) -> Bench::Row {
        return {id,
                QStringLiteral("Idle CPU, %1 tools").arg(idle.tunnels),
                QStringLiteral("%1 silent tools on %1 local ports, 3 × 10 s; one round of the "
                               "checks alone: %2 ms")
                    .arg(idle.tunnels)
                    .arg(Bench::number(idle.roundMs, 2)),
                QStringLiteral("%1% (median 10 s window; %2 ms in %3 s in all)")
                    .arg(Bench::number(idle.percent, 3), Bench::number(idle.cpuMs, 1),
                         Bench::number(idle.wallS, 1)),
                target,
                pass,
                info};
    };
    QStringList wakeups;
    bool quiet = true;
    int spinning = 0;
    for (const Idle &idle : idles) {
        wakeups.append(
            QStringLiteral("%1 tools: %2 of the shared 5 s check in 30 s, %3 other")
                .arg(idle.tunnels)
                .arg(idle.checks)
                .arg(idle.wakeups) +
            (idle.others.isEmpty() ? QString() : QStringLiteral(" (") + idle.others + u')'));
        quiet = quiet && idle.wakeups == 0 && idle.checks <= 2 * windows;
        spinning += idle.spinning;
    }
    const QString both = QStringLiteral("10, then 100 silent tools, 3 × 10 s each");
    Bench::report({QStringLiteral("5a"), QStringLiteral("Idle timer wake-ups"), both,
                   wakeups.join(QStringLiteral("; ")),
                   QStringLiteral("only the 5 s check (6 in 30 s)"), quiet});
    Bench::report(cpu(QStringLiteral("5b"), idles.at(0), QStringLiteral("< 0.1%"),
                      idles.at(0).percent < 0.1, false));
    Bench::report({QStringLiteral("5c"), QStringLiteral("Spinners turning with nothing loading"),
                   both, QString::number(spinning), QStringLiteral("0"), spinning == 0});
    Bench::report(
        cpu(QStringLiteral("5d"), idles.at(1), QStringLiteral("reported only"), true, true));
    return 0;
}
