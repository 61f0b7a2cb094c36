// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "core/Tunnel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

// Start-up of the real velumo executable, unchanged and offscreen, against a bare Qt program
// with the same window furniture. A probe preloaded into both notes the first painted frame
// handed to the platform, and the peak resident size then; the clock starts just before the
// process is spawned.

using namespace Velumo;

namespace {

constexpr int rounds = 40;

struct Launch {
    double ms = 0;
    double rssMiB = 0;
    // The next frame, if one came soon after.
    std::optional<double> secondMs;
};

struct Program {
    Program(QString name, QString path, QString configHome)
        : name(std::move(name))
        , path(std::move(path))
        , configHome(std::move(configHome))
    {}

    QString name;
    QString path;
    QString configHome;
    // Whether a second frame, the stored rows', is to be waited for.
    bool rowsFollow = false;
    std::vector<double> ms;
    std::vector<double> rssMiB;
    std::vector<double> secondMs;
};

bool waitForExit(pid_t pid, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return true;
        }
        ::usleep(5000);
    }
    return false;
}

std::optional<Launch> launch(const Program &program, const QString &probe, const QString &runtime)
{
    int probePipe[2];
    if (::pipe(probePipe) != 0) {
        return std::nullopt;
    }
    ::fcntl(probePipe[0], F_SETFD, FD_CLOEXEC);

    QList<QByteArray> variables;
    for (char **variable = environ; *variable; ++variable) {
        variables.append(*variable);
    }
    const QList<QByteArray> ours{
        "QT_QPA_PLATFORM=offscreen",
        "LD_PRELOAD=" + QFile::encodeName(probe),
        "VELUMO_BENCH_PROBE_FD=" + QByteArray::number(probePipe[1]),
        "XDG_CONFIG_HOME=" + QFile::encodeName(program.configHome),
        "XDG_RUNTIME_DIR=" + QFile::encodeName(runtime),
    };
    for (const QByteArray &mine : ours) {
        const QByteArray name = mine.left(mine.indexOf('=') + 1);
        variables.removeIf([&name](const QByteArray &v) { return v.startsWith(name); });
        variables.append(mine);
    }
    std::vector<char *> envp;
    for (QByteArray &variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    QByteArray path = QFile::encodeName(program.path);
    char *argv[] = {path.data(), nullptr};

    // The programs' own chatter (Qt's notes about the offscreen platform) is not ours to show.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const qint64 start = Bench::monotonicNs();
    const int spawned = ::posix_spawn(&pid, path.constData(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(probePipe[1]);
    if (spawned != 0) {
        ::close(probePipe[0]);
        std::fprintf(stderr, "cannot start %s: %s\n", path.constData(), std::strerror(spawned));
        return std::nullopt;
    }

    // The first frame, then the second when the stored rows are to follow.
    QByteArray report;
    pollfd readable{probePipe[0], POLLIN, 0};
    const qsizetype expected = program.rowsFollow ? 2 : 1;
    while (report.count('\n') < expected && ::poll(&readable, 1, 20000) > 0) {
        char buffer[128];
        const ssize_t got = ::read(probePipe[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        report.append(buffer, got);
    }
    ::close(probePipe[0]);
    ::kill(pid, SIGTERM);
    if (!waitForExit(pid, 5000)) {
        ::kill(pid, SIGKILL);
        waitForExit(pid, 5000);
    }

    const QList<QByteArray> frames = report.trimmed().split('\n');
    const QList<QByteArray> fields = frames.first().split(' ');
    if (fields.size() != 2) {
        std::fprintf(stderr, "%s showed no window\n", path.constData());
        return std::nullopt;
    }
    Launch result{double(fields[0].toLongLong() - start) / 1e6, fields[1].toDouble() / 1024, {}};
    if (frames.size() > 1) {
        result.secondMs = double(frames[1].split(' ').first().toLongLong() - start) / 1e6;
    }
    return result;
}

bool storeTunnels(const QString &configHome, int count)
{
    TunnelList tunnels;
    for (int i = 0; i < count; ++i) {
        Tunnel tunnel;
        tunnel.hostname = QStringLiteral("service-%1.local").arg(i);
        tunnel.port = QString::number(3000 + i);
        tunnels.append(tunnel);
    }
    QDir().mkpath(configHome + QStringLiteral("/velumo"));
    QFile file(configHome + QStringLiteral("/velumo/storedTunnels.json"));
    const QByteArray bytes = encodeTunnels(tunnels);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString summary(double ms, double rssMiB)
{
    return Bench::number(ms, 1) + QStringLiteral(" ms, ") + Bench::number(rssMiB, 1) +
           QStringLiteral(" MiB");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString runtime = dir.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    Program bare{QStringLiteral("bare"), QStringLiteral(VELUMO_BENCH_BARE_WINDOW),
                 dir.filePath(QStringLiteral("bare"))};
    Program empty{QStringLiteral("velumo, empty list"), QStringLiteral(VELUMO_EXECUTABLE),
                  dir.filePath(QStringLiteral("empty"))};
    Program stored{QStringLiteral("velumo, 100 stored"), QStringLiteral(VELUMO_EXECUTABLE),
                   dir.filePath(QStringLiteral("stored"))};
    stored.rowsFollow = true;
    if (!storeTunnels(stored.configHome, 100)) {
        std::fprintf(stderr, "cannot write the stored list\n");
        return 1;
    }

    std::vector<Program *> programs{&bare, &empty, &stored};
    // One launch each to warm the page cache, then rounds in a rotating order.
    for (int round = -1; round < rounds; ++round) {
        for (size_t i = 0; i < programs.size(); ++i) {
            Program &program = *programs[(i + size_t(std::max(round, 0))) % programs.size()];
            const std::optional<Launch> result =
                launch(program, QStringLiteral(VELUMO_PROBE), runtime);
            if (!result) {
                return 1;
            }
            if (round >= 0) {
                program.ms.push_back(result->ms);
                program.rssMiB.push_back(result->rssMiB);
                if (result->secondMs) {
                    program.secondMs.push_back(*result->secondMs);
                }
            }
        }
    }

    for (const Program *program : programs) {
        std::printf("%-20s first frame median %5.1f ms (quartiles %5.1f, %5.1f), peak RSS median "
                    "%5.1f MiB\n",
                    qPrintable(program->name), Bench::percentile(program->ms, 0.5),
                    Bench::percentile(program->ms, 0.25), Bench::percentile(program->ms, 0.75),
                    Bench::percentile(program->rssMiB, 0.5));
    }
    // Each round runs the three one after another, so the verdicts go by the median of the
    // rounds' own ratios and differences, which a machine busy with something else now and then
    // disturbs least.
    std::vector<double> timeRatios;
    std::vector<double> rssRatios;
    std::vector<double> loadCosts;
    for (int round = 0; round < rounds; ++round) {
        timeRatios.push_back(stored.ms[size_t(round)] / bare.ms[size_t(round)]);
        rssRatios.push_back(stored.rssMiB[size_t(round)] / bare.rssMiB[size_t(round)]);
        loadCosts.push_back(stored.ms[size_t(round)] - empty.ms[size_t(round)]);
    }
    const double bareMs = Bench::percentile(bare.ms, 0.5);
    const double bareRss = Bench::percentile(bare.rssMiB, 0.5);
    const double emptyMs = Bench::percentile(empty.ms, 0.5);
    const double storedMs = Bench::percentile(stored.ms, 0.5);
    const double storedRss = Bench::percentile(stored.rssMiB, 0.5);
    const double timeRatio = Bench::percentile(timeRatios, 0.5);
    const double rssRatio = Bench::percentile(rssRatios, 0.5);
    const double loadCost = Bench::percentile(loadCosts, 0.5);
    std::printf("Per round, 100 stored over empty: median %.1f ms (quartiles %.1f, %.1f); over "
                "bare: median %.2f×\n",
                loadCost, Bench::percentile(loadCosts, 0.25), Bench::percentile(loadCosts, 0.75),
                timeRatio);
    const QString baseline = QStringLiteral("bare QMainWindow: ") + summary(bareMs, bareRss);

    Bench::report({QStringLiteral("3a"),
                   QStringLiteral("Start-up to first frame, 100 stored tunnels"), baseline,
                   Bench::number(storedMs, 1) + QStringLiteral(" ms (") +
                       Bench::number(timeRatio, 2) + QStringLiteral("×)"),
                   QStringLiteral("≤ 1.15×"), timeRatio <= 1.15});
    Bench::report({QStringLiteral("3b"), QStringLiteral("Peak RSS at first frame"), baseline,
                   Bench::number(storedRss, 1) + QStringLiteral(" MiB (") +
                       Bench::number(rssRatio, 2) + QStringLiteral("×)"),
                   QStringLiteral("≤ 1.15×"), rssRatio <= 1.15});
    // Loading must not show: the stored list may cost no more than a twentieth of the bare
    // program's start-up.
    Bench::report({QStringLiteral("3c"),
                   QStringLiteral("Start-up cost of 100 stored tunnels over an empty list"),
                   QStringLiteral("velumo with an empty list: ") + Bench::number(emptyMs, 1) +
                       QStringLiteral(" ms"),
                   Bench::number(loadCost, 1) + QStringLiteral(" ms"),
                   QStringLiteral("≤ 5% of the bare start-up = ") +
                       Bench::number(0.05 * bareMs, 1) + QStringLiteral(" ms"),
                   loadCost <= 0.05 * bareMs});
    // The stored rows in view are made right after the first frame and shown in the next.
    if (stored.secondMs.size() == size_t(rounds)) {
        const double rowsMs = Bench::percentile(stored.secondMs, 0.5);
        Bench::report({QStringLiteral("3d"),
                       QStringLiteral("Start-up to the stored rows in view (second frame)"),
                       baseline,
                       Bench::number(rowsMs, 1) + QStringLiteral(" ms (") +
                           Bench::number(rowsMs / bareMs, 2) + QStringLiteral("×)"),
                       QStringLiteral("reported only"), true, true});
    }
    return 0;
}
