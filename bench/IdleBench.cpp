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
#include <cstdio>
#include <sys/resource.h>

// The app at rest: 100 tunnels whose tools are up and silent, nothing loading, the window
// shown. Over ten seconds it should wake for nothing but the one shared local-service check
// every five seconds, and use next to no CPU. The count comes from every timer event the
// main thread delivers, by receiver; the CPU from getrusage, all threads included.

using namespace Velumo;

namespace {

constexpr int tunnelCount = 100;
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

    // Services that are not there: each check is refused at once, as for a stopped server.
    for (int i = 0; i < tunnelCount; ++i) {
        model->createTunnel(QStringLiteral("localhost"), QString::number(41000 + i));
    }
    const bool settled = Bench::waitUntil(
        [&] {
            if (model->tunnels().size() < tunnelCount || model->loading()) {
                return false;
            }
            for (const Tunnel &tunnel : model->tunnels()) {
                if (model->activity(tunnel.id).state != TunnelState::Connected ||
                    !model->serviceListening(tunnel.id).has_value()) {
                    return false;
                }
            }
            return true;
        },
        std::chrono::seconds(60));
    if (!settled || model->runningToolCount() != tunnelCount) {
        std::fprintf(stderr, "the tunnels did not all come up: %lld listed, %d tools running\n",
                     qint64(model->tunnels().size()), model->runningToolCount());
        return 1;
    }
    // The first checks, the rows' first frames and the tools' start are over. Qt's pixmap
    // cache looks for pixmaps to drop once, 30 s after the last new one (the rows' symbols),
    // then stops; the app is at rest after that.
    Bench::waitUntil([] { return false; }, std::chrono::seconds(32));

    int spinning = 0;
    for (const Spinner *spinner : view.findChildren<Spinner *>()) {
        spinning += spinner->isSpinning() ? 1 : 0;
    }

    // Three windows of ten seconds: the figure is the middle one, as a shared machine now and
    // then lends a window's worth of CPU time to something else.
    TimerCounter counter;
    app.installEventFilter(&counter);
    QTimer end;
    end.setSingleShot(true);
    std::vector<double> percents;
    double cpu = 0;
    double wall = 0;
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
        std::printf("Window %d: %.1f ms CPU in %.2f s (%.3f%%)\n", i + 1, windowCpu * 1000,
                    windowWall, 100 * windowCpu / windowWall);
        percents.push_back(100 * windowCpu / windowWall);
        cpu += windowCpu;
        wall += windowWall;
    }
    app.removeEventFilter(&counter);

    // The loop's own end is the one timer that is the benchmark's; the monitor's timer is a
    // plain QTimer with the check's interval.
    const QString ownEnd = QStringLiteral("QTimer every %1 ms").arg(end.interval());
    const QString check =
        QStringLiteral("QTimer every %1 ms").arg(LocalServiceMonitor::interval.count());
    int wakeups = 0;
    int checks = 0;
    QString others;
    for (auto it = counter.counts().cbegin(); it != counter.counts().cend(); ++it) {
        std::printf("Timer events: %4d  %s\n", it.value(), qPrintable(it.key()));
        if (it.key() == ownEnd) {
            continue;
        }
        if (it.key() == check) {
            checks += it.value();
        } else {
            wakeups += it.value();
            others += (others.isEmpty() ? QString() : QStringLiteral(", ")) + it.key();
        }
    }
    const double percent = Bench::percentile(percents, 0.5);
    std::printf("%d tools running, %d spinners spinning; %.1f ms CPU in %.2f s in all, median "
                "window %.3f%%\n",
                model->runningToolCount(), spinning, cpu * 1000, wall, percent);

    // What one round of the check costs by itself, on a monitor of its own watching the same
    // services: the part of the idle CPU that is the check's by design. Its first round also
    // looks the name up; the second is what every later round costs.
    double firstRoundMs = 0;
    double roundMs = 0;
    {
        LocalServiceMonitor monitor;
        QList<QUuid> keys;
        auto roundDone = [&] {
            return std::all_of(keys.cbegin(), keys.cend(), [&](const QUuid &key) {
                return monitor.isListening(key).has_value() && !monitor.isChecking(key);
            });
        };
        double before = cpuSeconds();
        for (int i = 0; i < tunnelCount; ++i) {
            keys.append(QUuid::createUuid());
            monitor.watch(keys.last(), QStringLiteral("localhost"), QString::number(41000 + i));
        }
        Bench::waitUntil(roundDone, std::chrono::seconds(10));
        firstRoundMs = (cpuSeconds() - before) * 1000;
        before = cpuSeconds();
        for (const QUuid &key : std::as_const(keys)) {
            monitor.checkNow(key);
        }
        Bench::waitUntil(roundDone, std::chrono::seconds(10));
        roundMs = (cpuSeconds() - before) * 1000;
    }
    std::printf("One round of %d service checks: %.1f ms CPU (the first, with the name lookup: "
                "%.1f ms)\n",
                tunnelCount, roundMs, firstRoundMs);

    model->stopAllTools(std::chrono::milliseconds(500));
    Bench::waitUntil([&] { return model->runningToolCount() == 0; }, std::chrono::seconds(10));

    const QString baseline =
        QString::number(tunnelCount) + QStringLiteral(" silent tools, 3 × 10 s");
    Bench::report({QStringLiteral("5a"), QStringLiteral("Idle timer wake-ups"), baseline,
                   QString::number(checks) + QStringLiteral(" of the shared 5 s check in 30 s, ") +
                       QString::number(wakeups) + QStringLiteral(" other") +
                       (others.isEmpty() ? QString() : QStringLiteral(" (") + others + u')'),
                   QStringLiteral("only the 5 s check (6 in 30 s)"),
                   wakeups == 0 && checks <= 2 * windows});
    Bench::report({QStringLiteral("5b"), QStringLiteral("Idle CPU"),
                   baseline + QStringLiteral("; one round of the checks alone: ") +
                       Bench::number(roundMs, 1) +
                       QStringLiteral(" ms (the first, with its name "
                                      "lookup: ") +
                       Bench::number(firstRoundMs, 1) + QStringLiteral(" ms)"),
                   Bench::number(percent, 3) + QStringLiteral("% (median 10 s window; ") +
                       Bench::number(cpu * 1000, 1) + QStringLiteral(" ms in ") +
                       Bench::number(wall, 1) + QStringLiteral(" s in all)"),
                   QStringLiteral("< 0.1%"), percent < 0.1});
    Bench::report({QStringLiteral("5c"), QStringLiteral("Spinners turning with nothing loading"),
                   baseline, QString::number(spinning), QStringLiteral("0"), spinning == 0});
    return 0;
}
