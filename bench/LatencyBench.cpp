// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "core/ContentModel.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

// How long an announced address takes to reach the list: from the stand-in's write() of the
// line (it writes CLOCK_MONOTONIC into it) to the record being in ContentModel::tunnels, and on
// to the save that follows. The floor is a bare QProcess reading the same lines from the same
// tool: the pipe and one turn of the event loop, nothing else.

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
};

ModelSamples modelRun(const QString &standin, const QString &folder, int count)
{
    ModelSamples samples;
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

    model.createTunnel(QStringLiteral("localhost"), port);
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

    // Warm-up, so the first round does not pay for loading and first-use costs.
    floorRun(standin, 10);
    modelRun(standin, dir.filePath(QStringLiteral("warm-up")), 10);

    std::vector<double> floor;
    ModelSamples model;
    // Rounds alternate, so both see the same machine.
    for (int round = 0; round < rounds; ++round) {
        append(floor, floorRun(standin, announcements));
        const ModelSamples run =
            modelRun(standin, dir.filePath(QStringLiteral("round-%1").arg(round)), announcements);
        append(model.listed, run.listed);
        append(model.saved, run.saved);
    }
    if (floor.size() < size_t(rounds * announcements) ||
        model.listed.size() < size_t(rounds * announcements * 9 / 10)) {
        std::fprintf(stderr, "missing samples: %zu floor, %zu model\n", floor.size(),
                     model.listed.size());
        return 1;
    }

    const double floorMedian = Bench::percentile(floor, 0.5);
    const double floorP99 = Bench::percentile(floor, 0.99);
    const double listedMedian = Bench::percentile(model.listed, 0.5);
    const double listedP99 = Bench::percentile(model.listed, 0.99);
    const double savedMedian = Bench::percentile(model.saved, 0.5);
    const double savedP99 = Bench::percentile(model.saved, 0.99);
    std::printf("Floor, %zu lines: median %.3f ms, p99 %.3f ms, max %.3f ms\n", floor.size(),
                floorMedian, floorP99, Bench::percentile(floor, 1));
    std::printf("Listed, %zu records: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                model.listed.size(), listedMedian, listedP99, Bench::percentile(model.listed, 1));
    std::printf("Saved: median %.3f ms, p99 %.3f ms, max %.3f ms\n", savedMedian, savedP99,
                Bench::percentile(model.saved, 1));

    const double medianLimit = 1.5 * floorMedian + 0.5;
    const QString baseline = QStringLiteral("bare QProcess: median ") + milliseconds(floorMedian) +
                             QStringLiteral(", p99 ") + milliseconds(floorP99);
    Bench::report({QStringLiteral("2a"), QStringLiteral("Address line to record listed, median"),
                   baseline, milliseconds(listedMedian),
                   QStringLiteral("≤ 1.5 × floor + 0.5 ms = ") + milliseconds(medianLimit),
                   listedMedian <= medianLimit});
    Bench::report({QStringLiteral("2b"), QStringLiteral("Address line to record listed, p99"),
                   baseline, milliseconds(listedP99), QStringLiteral("≤ 5 ms"), listedP99 <= 5});
    Bench::report({QStringLiteral("2c"), QStringLiteral("Address line to list saved"), baseline,
                   QStringLiteral("median ") + milliseconds(savedMedian) +
                       QStringLiteral(", p99 ") + milliseconds(savedP99),
                   QStringLiteral("reported only"), true, true});
    return 0;
}
