// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "LoopbackService.h"
#include "core/ContentModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <vector>

// How long an announced address takes to reach the list: from the stand-in's write() of the
// line (it writes CLOCK_MONOTONIC into it) to the record being in ContentModel::tunnels, and on
// to the save that follows. The floor is a bare QProcess reading the same lines from the same
// tool: the pipe and one turn of the event loop, nothing else. Each record's service is a
// development server that refuses the tunnel's address, so the app's whole path runs: the
// probe that asks it once the address is listed, its answer recognised and the row marked.
// Rounds without the probe (a tunnel with no host to ask) run beside them for comparison.

using namespace Velumo;

namespace {

constexpr int announcements = 100;
constexpr int rounds = 5;
constexpr int spacingMs = 10;
const QString port = QStringLiteral("9");

// A quick tunnel's start, then the address box line again and again, each time with the
// moment of its write() after the box's right edge.
QByteArray script(int count)
{
    QByteArray text = "err {now} INF Requesting new quick Tunnel on trycloudflare.com...\n"
                      "on-term {now} INF Initiating graceful shutdown due to signal {signal} ...\n";
    for (int i = 0; i < count; ++i) {
        text += "sleep " + QByteArray::number(spacingMs) +
                "\nerr {now} INF |  https://seasonal-deck-organisms-sf.trycloudflare.com"
                "                                      | {mono}\n";
    }
    return text + "err {now} INF Metrics over\nwait\n";
}

// Answers every request as Vite's host check does, one connection at a time, on its own thread.
class RefusingService
{
public:
    RefusingService()
    {
        const int fd = Bench::tcpSocket();
        sockaddr_in address = Bench::loopback(0);
        socklen_t length = sizeof address;
        ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        ::listen(fd, 64);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        std::thread([fd, this] {
            const std::string body = "Blocked request. This host (\"a.trycloudflare.com\") is "
                                     "not allowed.\nTo allow this host, add it to "
                                     "`server.allowedHosts` in vite.config.js.";
            const std::string answer = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n"
                                       "Connection: close\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body;
            for (int client; (client = ::accept(fd, nullptr, nullptr)) >= 0; ::close(client)) {
                std::string head;
                char chunk[4096];
                ssize_t got = 1;
                while (head.find("\r\n\r\n") == std::string::npos &&
                       (got = ::recv(client, chunk, sizeof chunk, 0)) > 0) {
                    head.append(chunk, size_t(got));
                }
                if (got > 0 && Bench::sendAll(client, answer)) {
                    ++answered;
                }
            }
        }).detach();
    }
    quint16 port = 0;
    std::atomic<int> answered = 0;
};

// The monotonic time written at the end of an address line, or -1.
qint64 writtenAt(QByteArrayView line)
{
    if (!line.contains(".trycloudflare.com")) {
        return -1;
    }
    const qsizetype bar = line.lastIndexOf('|');
    bool ok = false;
    const qint64 mono = line.sliced(bar + 1).trimmed().toLongLong(&ok);
    return bar >= 0 && ok ? mono : -1;
}

std::vector<double> floorRun(const QString &standin, int count)
{
    std::vector<double> latencies;
    QProcess process;
    process.setProgram(standin);
    process.setArguments(
        {QStringLiteral("tunnel"), QStringLiteral("--url"), QStringLiteral("localhost:") + port});
    process.setReadChannel(QProcess::StandardError);
    QByteArray pending;
    QObject::connect(&process, &QProcess::readyReadStandardError, &process, [&] {
        const qint64 now = Bench::monotonicNs();
        pending += process.readAllStandardError();
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            if (const qint64 mono = writtenAt(QByteArrayView(pending).first(newline)); mono > 0) {
                latencies.push_back(double(now - mono) / 1e6);
            }
            pending.remove(0, newline + 1);
        }
    });
    process.start();
    Bench::waitUntil([&] { return latencies.size() >= size_t(count); }, std::chrono::seconds(30));
    process.kill();
    process.waitForFinished();
    return latencies;
}

struct ModelSamples {
    std::vector<double> listed;
    std::vector<double> saved;
    double cpuMs = 0; // the model's thread, over the whole run
};

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// `hostname` empty: the tunnel has no host for the probe to ask.
ModelSamples modelRun(const QString &standin, const QString &folder, int count,
                      const QString &hostname, const QString &servicePort)
{
    ModelSamples samples;
    const double cpuAtStart = threadCpuMs();
    ContentModel model(TunnelStore(folder + QStringLiteral("/storedTunnels.json")));
    model.setToolPath(standin);

    // The model announces each write of its list; the record is appended right after the
    // announcement returns, and the save runs after that, before the next announcement.
    struct Stamp {
        qint64 at;
        qsizetype size;
    };
    std::vector<Stamp> stamps;
    QObject::connect(&model, &ContentModel::objectWillChange, &model, [&] {
        stamps.push_back({Bench::monotonicNs(), model.tunnels().size()});
    });
    QObject::connect(&model, &ContentModel::tunnelReady, &model, [&](const Tunnel &tunnel) {
        const qsizetype size = model.tunnels().size();
        // The check after the fact: the announced record is the one now listed last.
        if (size == 0 || model.tunnels().last().id != tunnel.id) {
            qFatal("the announced tunnel is not in the list");
        }
        qint64 listedAt = 0;
        qint64 savedAt = 0;
        for (const Stamp &stamp : stamps) {
            if (stamp.size == size - 1) {
                listedAt = stamp.at;
            } else if (stamp.size == size && listedAt) {
                savedAt = stamp.at;
            }
        }
        stamps.clear();
        qint64 mono = -1;
        const QStringList lines = model.activity(tunnel.id).log->lines();
        for (auto line = lines.crbegin(); line != lines.crend() && mono < 0; ++line) {
            mono = writtenAt(line->toUtf8());
        }
        if (mono < 0 || !listedAt || !savedAt) {
            qFatal("an announcement was not observed whole");
        }
        samples.listed.push_back(double(listedAt - mono) / 1e6);
        samples.saved.push_back(double(savedAt - mono) / 1e6);
    });

    model.createTunnel(hostname, servicePort);
    // Two lines read at once make one record, as the scanner takes the first address in a
    // chunk; so the run ends with the tool's last line, not with a count of records.
    Bench::waitUntil(
        [&] {
            if (model.tunnels().isEmpty()) {
                return false;
            }
            const std::shared_ptr<ToolLog> log = model.activity(model.tunnels()[0].id).log;
            return log && log->totalLines() >= count + 2;
        },
        std::chrono::seconds(30));
    model.stopAllTools(std::chrono::milliseconds(200));
    Bench::waitUntil([&] { return model.runningToolCount() == 0; }, std::chrono::seconds(5));
    samples.cpuMs = threadCpuMs() - cpuAtStart;
    return samples;
}

void append(std::vector<double> &to, const std::vector<double> &from)
{
    to.insert(to.end(), from.begin(), from.end());
}

QString milliseconds(double value)
{
    return Bench::number(value, 3) + QStringLiteral(" ms");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString standin = QStringLiteral(VELUMO_STANDIN);
    QTemporaryDir dir;
    const QString scriptPath = dir.filePath(QStringLiteral("announce.script"));
    QFile file(scriptPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(script(announcements)) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(scriptPath));
        return 1;
    }
    file.close();
    // Both the bare process and the model's tools inherit it.
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(scriptPath));

    RefusingService service;
    const QString localhost = QStringLiteral("localhost");
    const QString servicePort = QString::number(service.port);
    // Warm-up, so the first round does not pay for loading and first-use costs.
    floorRun(standin, 10);
    modelRun(standin, dir.filePath(QStringLiteral("warm-up")), 10, localhost, servicePort);
    modelRun(standin, dir.filePath(QStringLiteral("warm-up-bare")), 10, QString(), port);
    const int warmUpProbes = service.answered;

    std::vector<double> floor;
    ModelSamples model;
    ModelSamples unprobed;
    // Rounds alternate, so all three see the same machine.
    for (int round = 0; round < rounds; ++round) {
        append(floor, floorRun(standin, announcements));
        const ModelSamples run =
            modelRun(standin, dir.filePath(QStringLiteral("round-%1").arg(round)), announcements,
                     localhost, servicePort);
        append(model.listed, run.listed);
        append(model.saved, run.saved);
        model.cpuMs += run.cpuMs;
        const ModelSamples bare =
            modelRun(standin, dir.filePath(QStringLiteral("bare-%1").arg(round)), announcements,
                     QString(), port);
        append(unprobed.listed, bare.listed);
        append(unprobed.saved, bare.saved);
        unprobed.cpuMs += bare.cpuMs;
    }
    const int probes = service.answered - warmUpProbes;
    if (floor.size() < size_t(rounds * announcements) ||
        model.listed.size() < size_t(rounds * announcements * 9 / 10) ||
        unprobed.listed.size() < size_t(rounds * announcements * 9 / 10)) {
        std::fprintf(stderr, "missing samples: %zu floor, %zu model, %zu without the probe\n",
                     floor.size(), model.listed.size(), unprobed.listed.size());
        return 1;
    }
    // Every record asks its service once; a probe cancelled by the run's end is not answered.
    if (probes < int(model.listed.size() * 9 / 10)) {
        std::fprintf(stderr, "the probe ran %d times for %zu records\n", probes,
                     model.listed.size());
        return 1;
    }

    const double floorMedian = Bench::percentile(floor, 0.5);
    const double floorP99 = Bench::percentile(floor, 0.99);
    const double listedMedian = Bench::percentile(model.listed, 0.5);
    const double listedP99 = Bench::percentile(model.listed, 0.99);
    const double savedMedian = Bench::percentile(model.saved, 0.5);
    const double savedP99 = Bench::percentile(model.saved, 0.99);
    const double bareListedMedian = Bench::percentile(unprobed.listed, 0.5);
    const double bareListedP99 = Bench::percentile(unprobed.listed, 0.99);
    const double bareSavedMedian = Bench::percentile(unprobed.saved, 0.5);
    const double bareSavedP99 = Bench::percentile(unprobed.saved, 0.99);
    std::printf("Floor, %zu lines: median %.3f ms, p99 %.3f ms, max %.3f ms\n", floor.size(),
                floorMedian, floorP99, Bench::percentile(floor, 1));
    std::printf("Listed, %zu records, %d probes answered: median %.3f ms, p99 %.3f ms, "
                "max %.3f ms\n",
                model.listed.size(), probes, listedMedian, listedP99,
                Bench::percentile(model.listed, 1));
    std::printf("Saved: median %.3f ms, p99 %.3f ms, max %.3f ms\n", savedMedian, savedP99,
                Bench::percentile(model.saved, 1));
    std::printf("Without the probe, %zu records: listed median %.3f ms, p99 %.3f ms; saved "
                "median %.3f ms, p99 %.3f ms\n",
                unprobed.listed.size(), bareListedMedian, bareListedP99, bareSavedMedian,
                bareSavedP99);
    std::printf("Model thread's CPU per record: %.3f ms with the probe, %.3f ms without\n",
                model.cpuMs / double(model.listed.size()),
                unprobed.cpuMs / double(unprobed.listed.size()));

    const double medianLimit = 1.5 * floorMedian + 0.5;
    const QString baseline = QStringLiteral("bare QProcess: median ") + milliseconds(floorMedian) +
                             QStringLiteral(", p99 ") + milliseconds(floorP99);
    const QString without = QStringLiteral(" (without the probe: ");
    Bench::report({QStringLiteral("2a"), QStringLiteral("Address line to record listed, median"),
                   baseline,
                   milliseconds(listedMedian) + without + milliseconds(bareListedMedian) + u')',
                   QStringLiteral("≤ 1.5 × floor + 0.5 ms = ") + milliseconds(medianLimit),
                   listedMedian <= medianLimit});
    Bench::report({QStringLiteral("2b"), QStringLiteral("Address line to record listed, p99"),
                   baseline, milliseconds(listedP99) + without + milliseconds(bareListedP99) + u')',
                   QStringLiteral("≤ 5 ms"), listedP99 <= 5});
    Bench::report({QStringLiteral("2c"), QStringLiteral("Address line to list saved"), baseline,
                   QStringLiteral("median ") + milliseconds(savedMedian) +
                       QStringLiteral(", p99 ") + milliseconds(savedP99) + without +
                       QStringLiteral("median ") + milliseconds(bareSavedMedian) +
                       QStringLiteral(", p99 ") + milliseconds(bareSavedP99) + u')',
                   QStringLiteral("reported only"), true, true});
    return 0;
}
