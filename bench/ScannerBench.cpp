// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "MedianCollector.h"
#include "core/TunnelUrl.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

// The scanner's input is what the runner hands it: each chunk the pipe delivered, decoded from
// UTF-8 into a QString. The floor is glibc's memmem looking for the suffix in the same chunks'
// UTF-8 bytes: no scanner can find the suffix without reading every byte at least this fast.

using namespace Velumo;

namespace {

constexpr qsizetype transcriptSize = 64 * 1024 * 1024;
constexpr qsizetype pipeChunkSize = 64 * 1024;
constexpr char suffix[] = ".trycloudflare.com";
constexpr const char *address = "https://seasonal-deck-organisms-sf.trycloudflare.com";

class Transcript
{
public:
    // A quick tunnel's start-up, then what a long-running one logs at its default level while
    // the local service is down and the edge connection comes and goes: mostly failed visitor
    // requests, half of which name the address again with a path.
    static QByteArray make(qsizetype size)
    {
        Transcript t;
        t.startUp();
        while (t.m_out.size() < size) {
            t.event();
        }
        t.m_out.truncate(size);
        // The last line stays whole, as the tool writes them.
        t.m_out.truncate(t.m_out.lastIndexOf('\n') + 1);
        return t.m_out;
    }

private:
    quint32 next()
    {
        m_seed = m_seed * 1664525u + 1013904223u;
        return m_seed >> 8;
    }

    void line(const char *level, const std::string &message)
    {
        const qint64 s = m_clock / 8;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "2026-05-29T%02d:%02d:%02dZ ", int(9 + s / 3600 % 14),
                      int(s / 60 % 60), int(s % 60));
        m_out.append(stamp).append(level).append(' ').append(message.c_str()).append('\n');
        m_clock += 1 + next() % 3;
    }

    void startUp()
    {
        line("INF", "Thank you for trying Cloudflare Tunnel. Doing so, without a Cloudflare "
                    "account, is a quick way to experiment and try it out. However, be aware "
                    "that these account-less Tunnels have no uptime guarantee, are subject to the "
                    "Cloudflare Online Services Terms of Use "
                    "(https://www.cloudflare.com/website-terms/), and Cloudflare reserves the "
                    "right to investigate your use of Tunnels for violations of such terms. If "
                    "you intend to use Tunnels in production you should use a pre-created named "
                    "tunnel by following: "
                    "https://developers.cloudflare.com/cloudflare-one/connections/connect-apps");
        line("INF", "Requesting new quick Tunnel on trycloudflare.com...");
        const std::string rule(92, '-');
        line("INF", "+" + rule + "+");
        line("INF", "|  Your quick Tunnel has been created! Visit it at (it may take some time to "
                    "be reachable):  |");
        line("INF", std::string("|  ") + address + std::string(38, ' ') + "|");
        line("INF", "+" + rule + "+");
        line("INF", "Version 2026.8.2");
        line("INF", "GOOS: linux, GOVersion: go1.26.4, GoArch: amd64");
        line("INF", "Settings: map[ha-connections:1 protocol:quic url:localhost:3000]");
        line("INF", "Generated Connector ID: 7c1e5a2b-94d3-4f60-8b2e-3a9d51c07f46");
        line("INF", "Initial protocol quic");
        line("INF", "ICMP proxy will use 192.168.1.23 as source for IPv4");
        line("INF", "Starting metrics server on 127.0.0.1:20241/metrics");
        line("INF", "Registered tunnel connection connIndex=0 "
                    "connection=3b9f0e6d-2c41-4a87-9e15-b0d7a4c8f263 event=0 ip=198.41.192.7 "
                    "location=fra08 protocol=quic");
    }

    std::string path()
    {
        static const char *const paths[] = {"/",
                                            "/favicon.ico",
                                            "/api/items?page=",
                                            "/assets/app-",
                                            "/ws",
                                            "/login?next=%2Fdashboard",
                                            "/images/header.webp",
                                            "/robots.txt"};
        const quint32 pick = next() % 8;
        std::string p = paths[pick];
        if (pick == 2) {
            p += std::to_string(next() % 500);
        } else if (pick == 3) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%08x.js", next());
            p += hex;
        }
        return p;
    }

    void event()
    {
        const quint32 kind = next() % 20;
        const std::string refused =
            "error=\"Unable to reach the origin service. The service may be down or it may not "
            "be responding to traffic from cloudflared: dial tcp 127.0.0.1:3000: connect: "
            "connection refused\" connIndex=0 ";
        const std::string event = "event=" + std::to_string(next() % 4);
        if (kind < 13) {
            line("ERR",
                 " " + refused + event + " ingressRule=0 originService=http://localhost:3000");
            line("ERR", "Request failed " + refused + "dest=" + address + path() + " " + event +
                            " ip=198.41.192.7 type=http");
        } else if (kind < 15) {
            line("ERR", "Request failed error=\"stream " + std::to_string(next() % 9000) +
                            " canceled by remote with error code 0\" connIndex=0 dest=" + address +
                            path() + " " + event + " ip=198.41.192.7 type=http");
        } else if (kind < 18) {
            line("WRN", "Connection terminated error=\"timeout: no recent network activity\" "
                        "connIndex=0");
            line("ERR", "Serve tunnel error error=\"timeout: no recent network activity\" "
                        "connIndex=0 event=0 ip=198.41.192.7");
            line("INF", "Retrying connection in up to 2s connIndex=0 event=0 ip=198.41.192.7");
            line("INF", "Tunnel connection curve preferences: [X25519MLKEM768 CurveID(65074) "
                        "CurveP256] connIndex=0 event=0 ip=198.41.200.13");
            line("INF", "Registered tunnel connection connIndex=0 "
                        "connection=a8d14f37-6c02-4e9b-b3f5-1e7c9d20a64b event=0 "
                        "ip=198.41.200.13 location=ams01 protocol=quic");
        } else {
            line("WRN", "Failed to serve tunnel connection error=\"failed to accept QUIC stream: "
                        "timeout: no recent network activity\" connIndex=0 event=0 "
                        "ip=198.41.192.7");
        }
    }

    QByteArray m_out;
    quint32 m_seed = 0x5eed;
    qint64 m_clock = 0;
};

struct Chunks {
    std::vector<QByteArray> bytes;
    std::vector<QString> text;
    qsizetype totalBytes = 0;

    void add(QByteArray chunk)
    {
        totalBytes += chunk.size();
        text.push_back(QString::fromUtf8(chunk));
        bytes.push_back(std::move(chunk));
    }
};

// Each log line is one write() of the tool, and a reader that keeps up gets one per read.
Chunks splitIntoLines(const QByteArray &all)
{
    Chunks chunks;
    qsizetype start = 0;
    while (start < all.size()) {
        const qsizetype end = all.indexOf('\n', start) + 1;
        chunks.add(all.sliced(start, end - start));
        start = end;
    }
    return chunks;
}

// A reader that falls behind gets whatever the pipe holds, cut anywhere.
Chunks splitIntoPipeReads(const QByteArray &all)
{
    Chunks chunks;
    for (qsizetype start = 0; start < all.size(); start += pipeChunkSize) {
        chunks.add(all.sliced(start, std::min(pipeChunkSize, all.size() - start)));
    }
    return chunks;
}

void memmemFloor(benchmark::State &state, const Chunks *chunks)
{
    const size_t needle = std::strlen(suffix);
    for (auto _ : state) {
        qsizetype hits = 0;
        for (const QByteArray &chunk : chunks->bytes) {
            const char *from = chunk.constData();
            const char *const end = from + chunk.size();
            while (const void *hit = ::memmem(from, size_t(end - from), suffix, needle)) {
                ++hits;
                from = static_cast<const char *>(hit) + needle;
            }
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetBytesProcessed(state.iterations() * chunks->totalBytes);
}

void scanner(benchmark::State &state, const Chunks *chunks)
{
    for (auto _ : state) {
        qsizetype found = 0;
        for (const QString &chunk : chunks->text) {
            found += detectTunnelURL(chunk).has_value() ? 1 : 0;
        }
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(state.iterations() * chunks->totalBytes);
}

// Prints as usual and keeps the median of each benchmark's repetitions.

} // namespace

int main(int argc, char **argv)
{
    // Repetitions interleaved at random, so a load that comes and goes hits floor and scanner
    // alike; the verdict compares medians.
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string repetitions = "--benchmark_repetitions=7";
    args.insert(args.begin() + 1, {interleave.data(), repetitions.data()});
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());

    const QByteArray transcript = Transcript::make(transcriptSize);
    const Chunks lines = splitIntoLines(transcript);
    const Chunks reads = splitIntoPipeReads(transcript);
    std::printf("Transcript: %lld bytes, %zu lines, %zu reads of 64 KiB, %lld suffix hits\n",
                qint64(transcript.size()), lines.bytes.size(), reads.bytes.size(),
                qint64(transcript.count(suffix)));

    // The scanner must find the one announcement, or the figures mean nothing. Reads cut
    // anywhere, so one that ends right after the address in a `dest=` line counts too.
    for (const Chunks *chunks : {&lines, &reads}) {
        qsizetype found = 0;
        qsizetype wrong = 0;
        for (const QString &chunk : chunks->text) {
            if (const std::optional<QUrl> url = detectTunnelURL(chunk)) {
                (url->toString() == QLatin1StringView(address) ? found : wrong) += 1;
            }
        }
        std::printf("%s: the scanner reports the address %lld times\n",
                    chunks == &lines ? "Lines" : "64 KiB reads", qint64(found));
        if (found < 1 || wrong > 0 || (chunks == &lines && found != 1)) {
            std::fprintf(stderr, "the scanner found %lld addresses and %lld others\n",
                         qint64(found), qint64(wrong));
            return 1;
        }
    }

    benchmark::RegisterBenchmark("lines/memmem", memmemFloor, &lines)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("lines/detectTunnelURL", scanner, &lines)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("64KiB/memmem", memmemFloor, &reads)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("64KiB/detectTunnelURL", scanner, &reads)
        ->Unit(benchmark::kMillisecond);

    Velumo::Bench::MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const double megabytes = double(transcript.size()) / 1e6;
    auto verdict = [&](const char *id, const char *what, const std::string &mode, double limit) {
        const auto floor = collector.medianSeconds.find(mode + "/memmem");
        const auto scan = collector.medianSeconds.find(mode + "/detectTunnelURL");
        if (floor == collector.medianSeconds.end() || scan == collector.medianSeconds.end()) {
            return;
        }
        const double ratio = scan->second / floor->second;
        Bench::report({QString::fromLatin1(id), QString::fromLatin1(what),
                       QStringLiteral("memmem on UTF-8: ") +
                           Bench::number(megabytes / floor->second, 0) + QStringLiteral(" MB/s"),
                       QStringLiteral("detectTunnelURL on QString: ") +
                           Bench::number(megabytes / scan->second, 0) + QStringLiteral(" MB/s (") +
                           Bench::number(ratio, 2) + QStringLiteral("× the floor)"),
                       QStringLiteral("≤ ") + Bench::number(limit, 0) + QStringLiteral("×"),
                       ratio <= limit});
    };
    verdict("1a", "Scanner, 64 MiB transcript, one line per chunk", "lines", 6);
    verdict("1b", "Scanner, 64 MiB transcript, 64 KiB chunks", "64KiB", 4);
    return 0;
}
