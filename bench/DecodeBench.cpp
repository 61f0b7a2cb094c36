// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "MedianCollector.h"
#include "core/Tunnel.h"

#include <QJsonDocument>

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Reading a stored list of 10,000 tunnels, against Qt parsing the same bytes and nothing more:
// the floor of any decoder built on QJsonDocument.

using namespace Velumo;

namespace {

constexpr int tunnelCount = 10'000;

// As a long-used list looks: every record saved while its tool ran has its address.
QByteArray storedList()
{
    TunnelList tunnels;
    for (int i = 0; i < tunnelCount; ++i) {
        Tunnel tunnel;
        tunnel.hostname = i % 3 ? QStringLiteral("localhost") : QStringLiteral("dev-box.lan");
        tunnel.port = QString::number(3000 + i % 6000);
        if (i % 2) {
            tunnel.url =
                QUrl(QStringLiteral("https://word-%1-other-words.trycloudflare.com").arg(i));
        }
        tunnels.append(tunnel);
    }
    return encodeTunnels(tunnels);
}

void parseOnly(benchmark::State &state, const QByteArray *bytes)
{
    for (auto _ : state) {
        QJsonDocument document = QJsonDocument::fromJson(*bytes);
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(state.iterations() * bytes->size());
}

void decode(benchmark::State &state, const QByteArray *bytes)
{
    for (auto _ : state) {
        Result<TunnelList> tunnels = decodeTunnels(*bytes);
        benchmark::DoNotOptimize(tunnels);
    }
    state.SetBytesProcessed(state.iterations() * bytes->size());
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string repetitions = "--benchmark_repetitions=9";
    args.insert(args.begin() + 1, {interleave.data(), repetitions.data()});
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());

    const QByteArray bytes = storedList();
    const Result<TunnelList> check = decodeTunnels(bytes);
    if (!check || check->size() != tunnelCount) {
        std::fprintf(stderr, "the stored list does not read back\n");
        return 1;
    }
    std::printf("Stored list: %d tunnels, %lld bytes\n", tunnelCount, qint64(bytes.size()));

    benchmark::RegisterBenchmark("QJsonDocument::fromJson", parseOnly, &bytes)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("decodeTunnels", decode, &bytes)->Unit(benchmark::kMillisecond);
    Velumo::Bench::MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const auto floor = collector.medianSeconds.find("QJsonDocument::fromJson");
    const auto ours = collector.medianSeconds.find("decodeTunnels");
    if (floor == collector.medianSeconds.end() || ours == collector.medianSeconds.end()) {
        return 0;
    }
    const double ratio = ours->second / floor->second;
    Bench::report({QStringLiteral("4a"), QStringLiteral("Decode 10,000 stored tunnels"),
                   QStringLiteral("QJsonDocument::fromJson alone: ") +
                       Bench::number(floor->second * 1000, 2) + QStringLiteral(" ms"),
                   QStringLiteral("decodeTunnels: ") + Bench::number(ours->second * 1000, 2) +
                       QStringLiteral(" ms (") + Bench::number(ratio, 2) + QStringLiteral("×)"),
                   QStringLiteral("≤ 3×"), ratio <= 3});
    return 0;
}
