// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "BenchReport.h"
#include "LoopbackService.h"
#include "NginxReference.h"
#include "ProxyBurst.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QProcess>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

// The reverse proxy against a direct connection to the same local service, in the same run:
// latency of small keep-alive requests, 100 MiB each way, the proxy's memory with a slow
// reader, and 200 connections at once. The service answers from memory on threads of its
// own; the visitor is plain blocking sockets on the main thread; the proxy runs as the app
// runs it, on its host thread, in a process of its own (bench_proxy_app); a second one keeps
// a request list of what passes (capture on), to measure what that costs.

using namespace Velumo;

namespace {

using namespace Velumo::Bench;

// 100 MiB from /big, read as fast as it comes or paced to `bytesPerSecond`; seconds taken.
double download(quint16 port, double bytesPerSecond = 0)
{
    const int fd = connectTo(port);
    const Clock::time_point start = Clock::now();
    sendAll(fd, "GET /big HTTP/1.1\r\nHost: bench\r\n\r\n");
    std::vector<char> buffer(bytesPerSecond > 0 ? 64 * 1024 : chunkSize);
    std::string head;
    qint64 body = -1;
    while (body < bigSize) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            qFatal("the download ended early");
        }
        if (body < 0) {
            head.append(buffer.data(), size_t(got));
            if (const size_t end = head.find("\r\n\r\n"); end != std::string::npos) {
                body = qint64(head.size() - end - 4);
            }
        } else {
            body += got;
        }
        if (bytesPerSecond > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::duration<double>(double(body) / bytesPerSecond));
        }
    }
    const double seconds = since(start);
    ::close(fd);
    return seconds;
}

double upload(quint16 port)
{
    const int fd = connectTo(port);
    const std::vector<char> chunk(chunkSize, 'u');
    const Clock::time_point start = Clock::now();
    bool ok = sendAll(fd, "PUT /upload HTTP/1.1\r\nHost: bench\r\nContent-Length: " +
                              std::to_string(bigSize) + "\r\n\r\n");
    for (qint64 left = bigSize; ok && left > 0; left -= qint64(chunk.size())) {
        ok = sendAll(fd, chunk.data(), size_t(std::min<qint64>(left, chunk.size())));
    }
    std::string answer(smallResponse.size(), '\0');
    if (!ok || !receiveExactly(fd, answer.data(), answer.size()) || answer != smallResponse) {
        qFatal("the upload was not answered");
    }
    const double seconds = since(start);
    ::close(fd);
    return seconds;
}

struct Path {
    explicit Path(quint16 to)
        : port(to)
    {}
    quint16 port = 0;
    bool exact = true; // answers are the service's bytes exactly (nginx adds fields)
    int connection = -1;
    std::vector<double> latencies; // seconds
    std::vector<double> fresh;
    std::vector<double> downloads;
    std::vector<double> uploads;
};

void latency(benchmark::State &state, Path *path)
{
    if (path->connection < 0) {
        path->connection = connectTo(path->port);
    }
    std::string answer(smallResponse.size(), '\0');
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        if (!sendAll(path->connection, smallRequest) ||
            !(path->exact ? receiveExactly(path->connection, answer.data(), answer.size()) &&
                                answer == smallResponse
                          : receiveResponse(path->connection))) {
            qFatal("a small request went unanswered");
        }
        const double seconds = since(start);
        state.SetIterationTime(seconds);
        path->latencies.push_back(seconds);
    }
}

// A small request on a connection of its own, from connect to the answer; seconds taken.
double freshRequest(const Path &path)
{
    std::string answer(smallResponse.size(), '\0');
    const Clock::time_point start = Clock::now();
    const int fd = connectTo(path.port);
    if (!sendAll(fd, smallRequest) ||
        !(path.exact ? receiveExactly(fd, answer.data(), answer.size()) : receiveResponse(fd))) {
        qFatal("a request on a fresh connection went unanswered");
    }
    const double seconds = since(start);
    ::close(fd);
    return seconds;
}

// One fresh request on each path per iteration, the first path turning with each, so that
// every path meets the same moment of the machine: a fresh connection wakes two processes and
// costs a tenth of a millisecond, and on a virtual machine of two CPUs what a wake-up costs
// drifts over a run by more than the paths differ. The iteration's time is the proxy's.
void fresh(benchmark::State &state, std::vector<Path *> paths, const Path *timed)
{
    size_t turn = 0;
    for (auto _ : state) {
        double seconds = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
            Path *path = paths[(turn + i) % paths.size()];
            path->fresh.push_back(freshRequest(*path));
            if (path == timed) {
                seconds = path->fresh.back();
            }
        }
        ++turn;
        state.SetIterationTime(seconds);
    }
}

void transfer(benchmark::State &state, Path *path, bool up)
{
    for (auto _ : state) {
        const double seconds = up ? upload(path->port) : download(path->port);
        state.SetIterationTime(seconds);
        (up ? path->uploads : path->downloads).push_back(seconds);
    }
    state.SetBytesProcessed(state.iterations() * bigSize);
}

struct Crowd {
    int served = 0;
    int asked = 0;
    std::vector<double> latencies;
    std::vector<double> later; // after the first round, which also opens the connections
};

// `connections` keep-alive connections at once, each asking `rounds` small requests in turn.
Crowd crowd(quint16 port, int connections, int rounds)
{
    Crowd result;
    std::vector<pollfd> fds;
    for (int i = 0; i < connections; ++i) {
        fds.push_back({connectTo(port), POLLIN, 0});
    }
    std::vector<std::string> got(static_cast<size_t>(connections));
    std::vector<Clock::time_point> sent(static_cast<size_t>(connections));
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < fds.size(); ++i) {
            got[i].clear();
            sent[i] = Clock::now();
            sendAll(fds[i].fd, smallRequest);
            ++result.asked;
        }
        int pending = connections;
        while (pending > 0 && ::poll(fds.data(), fds.size(), 10'000) > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                char buffer[256];
                const ssize_t n = (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                                      ? ::recv(fds[i].fd, buffer, sizeof buffer, 0)
                                      : 0;
                if (n > 0 && got[i].size() < smallResponse.size()) {
                    got[i].append(buffer, size_t(n));
                    if (got[i] == smallResponse) {
                        result.latencies.push_back(since(sent[i]));
                        if (round > 0) {
                            result.later.push_back(result.latencies.back());
                        }
                        ++result.served;
                        --pending;
                    }
                }
            }
        }
        if (pending > 0) {
            break;
        }
    }
    for (const pollfd &fd : fds) {
        ::close(fd.fd);
    }
    return result;
}

// The proxy process: started for a service, answering with its port. With `window`, the
// requests window is open on its capture, offscreen.
struct ProxyProcess {
    explicit ProxyProcess(quint16 servicePort, bool capture = false, bool window = false)
    {
        QStringList arguments{QString::number(servicePort)};
        if (capture) {
            arguments.append(QStringLiteral("capture"));
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(environment);
        process.start(window ? QStringLiteral(VELUMO_PROXY_WINDOW_APP)
                             : QStringLiteral(VELUMO_PROXY_APP),
                      arguments);
        if (!process.waitForReadyRead(10'000)) {
            qFatal("bench_proxy_app did not start");
        }
        port = quint16(process.readLine().trimmed().toUInt());
    }
    ~ProxyProcess()
    {
        process.closeWriteChannel();
        process.waitForFinished(10'000);
    }
    // VmRSS and VmHWM in MiB.
    std::pair<double, double> memory()
    {
        process.write("rss\n");
        process.waitForReadyRead(10'000);
        const QList<QByteArray> values = process.readLine().trimmed().split(' ');
        return {values.value(0).toDouble() / 1024, values.value(1).toDouble() / 1024};
    }
    QProcess process;
    quint16 port = 0;
};

QString ms(double seconds)
{
    return Bench::number(seconds * 1000, 3) + QStringLiteral(" ms");
}

QString rate(const std::vector<double> &seconds)
{
    return Bench::number(double(bigSize) / 1e6 / Bench::percentile(seconds, 0.5), 0) +
           QStringLiteral(" MB/s");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());

    Service service;
    Path direct(service.port);
    ProxyProcess running(service.port);
    Path proxied(running.port);
    ProxyProcess capturing(service.port, true);
    Path captured(capturing.port);
    const NginxReference nginx(service.port);
    Path viaNginx(nginx.port);
    viaNginx.exact = false;
    if (nginx.port == 0) {
        qWarning("nginx is missing: the figures beside nginx's are not measured");
    }
    std::vector<Path *> freshPaths;
    for (Path *path : {&direct, &proxied, &viaNginx}) {
        if (path->port != 0) {
            freshPaths.push_back(path);
        }
    }
    benchmark::RegisterBenchmark("fresh/direct,proxy,nginx", fresh, freshPaths, &proxied)
        ->UseManualTime()
        ->Iterations(300)
        ->Repetitions(3)
        ->Unit(benchmark::kMicrosecond);
    for (Path *path : {&direct, &proxied, &captured, &viaNginx}) {
        if (path->port == 0) {
            continue;
        }
        const std::string name = path == &direct     ? "direct"
                                 : path == &proxied  ? "proxy"
                                 : path == &captured ? "capture"
                                                     : "nginx";
        benchmark::RegisterBenchmark(("latency/" + name).c_str(), latency, path)
            ->UseManualTime()
            ->Iterations(1000)
            ->Repetitions(5)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("download/" + name).c_str(), transfer, path, false)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(3)
            ->Unit(benchmark::kMillisecond);
        if (path == &viaNginx) {
            continue; // nginx buffers a request body on disk before passing it on
        }
        benchmark::RegisterBenchmark(("upload/" + name).c_str(), transfer, path, true)
            ->UseManualTime()
            ->Iterations(1)
            ->Repetitions(3)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double directMedian = Bench::percentile(direct.latencies, 0.5);
    const double directP99 = Bench::percentile(direct.latencies, 0.99);
    const double proxyMedian = Bench::percentile(proxied.latencies, 0.5);
    const double proxyP99 = Bench::percentile(proxied.latencies, 0.99);
    const QString latencyBase = QStringLiteral("direct: median ") + ms(directMedian) +
                                QStringLiteral(", p99 ") + ms(directP99);
    const double medianLimit = 1.3 * directMedian + 0.15e-3;
    const double p99Limit = 2 * directP99 + 1e-3;
    // Same-run ratios to nginx, when it ran.
    const auto toNginx = [&nginx](double proxy, double peer) {
        return nginx.port == 0 ? QString()
                               : QStringLiteral("; ") + Bench::number(proxy / peer, 2) +
                                     QStringLiteral(" × nginx");
    };
    const double nginxMedian = nginx.port ? Bench::percentile(viaNginx.latencies, 0.5) : 0.0;
    Bench::report(
        {QStringLiteral("6a"), QStringLiteral("Small keep-alive request through the proxy, median"),
         latencyBase + (nginx.port ? QStringLiteral(", nginx: ") + ms(nginxMedian) : QString()),
         ms(proxyMedian) + toNginx(proxyMedian, nginxMedian),
         QStringLiteral("≤ 1.3 × direct + 0.15 ms = ") + ms(medianLimit),
         proxyMedian <= medianLimit});
    Bench::report({QStringLiteral("6b"),
                   QStringLiteral("Small keep-alive request through the proxy, p99"), latencyBase,
                   ms(proxyP99), QStringLiteral("≤ 2 × direct + 1 ms = ") + ms(p99Limit),
                   proxyP99 <= p99Limit});
    for (const bool up : {false, true}) {
        const std::vector<double> &base = up ? direct.uploads : direct.downloads;
        const std::vector<double> &through = up ? proxied.uploads : proxied.downloads;
        const double directRate = double(bigSize) / 1e6 / Bench::percentile(base, 0.5);
        const double proxyRate = double(bigSize) / 1e6 / Bench::percentile(through, 0.5);
        const double floor = std::min(0.6 * directRate, 500.0);
        Bench::report(
            {up ? QStringLiteral("6d") : QStringLiteral("6c"),
             up ? QStringLiteral("100 MiB upload through the proxy")
                : QStringLiteral("100 MiB download through the proxy"),
             QStringLiteral("direct: ") + rate(base),
             rate(through) + QStringLiteral(" (") + Bench::number(100 * proxyRate / directRate, 0) +
                 QStringLiteral("% of direct") +
                 (up || nginx.port == 0
                      ? QString()
                      : toNginx(proxyRate, double(bigSize) / 1e6 /
                                               Bench::percentile(viaNginx.downloads, 0.5))) +
                 u')',
             QStringLiteral("≥ 60% of direct or 500 MB/s, the lower: ") + Bench::number(floor, 0) +
                 QStringLiteral(" MB/s"),
             proxyRate >= floor});
    }

    if (nginx.port != 0) {
        const double freshDirect = Bench::percentile(direct.fresh, 0.5);
        const double freshProxy = Bench::percentile(proxied.fresh, 0.5);
        const double freshNginx = Bench::percentile(viaNginx.fresh, 0.5);
        Bench::report(
            {QStringLiteral("6k"),
             QStringLiteral("Small request on a fresh connection through the proxy, median"),
             QStringLiteral("nginx: ") + ms(freshNginx) + QStringLiteral(", direct ") +
                 ms(freshDirect),
             ms(freshProxy) + toNginx(freshProxy, freshNginx),
             QStringLiteral("≤ 1.3 × nginx = ") + ms(1.3 * freshNginx),
             freshProxy <= 1.3 * freshNginx});
    }
    const double captureMedian = Bench::percentile(captured.latencies, 0.5);
    Bench::report({QStringLiteral("6g"),
                   QStringLiteral("Small keep-alive request through the proxy, capture on, median"),
                   QStringLiteral("capture off: ") + ms(proxyMedian) + QStringLiteral(", direct ") +
                       ms(directMedian),
                   ms(captureMedian),
                   QStringLiteral("≤ 1.3 × direct + 0.15 ms = ") + ms(medianLimit),
                   captureMedian <= medianLimit});
    for (const bool up : {false, true}) {
        const std::vector<double> &base = up ? direct.uploads : direct.downloads;
        const std::vector<double> &off = up ? proxied.uploads : proxied.downloads;
        const std::vector<double> &on = up ? captured.uploads : captured.downloads;
        const double directRate = double(bigSize) / 1e6 / Bench::percentile(base, 0.5);
        const double onRate = double(bigSize) / 1e6 / Bench::percentile(on, 0.5);
        const double floor = std::min(0.6 * directRate, 500.0);
        Bench::report(
            {up ? QStringLiteral("6i") : QStringLiteral("6h"),
             up ? QStringLiteral("100 MiB upload through the proxy, capture on")
                : QStringLiteral("100 MiB download through the proxy, capture on"),
             QStringLiteral("capture off: ") + rate(off) + QStringLiteral(", direct ") + rate(base),
             rate(on),
             QStringLiteral("≥ 60% of direct or 500 MB/s, the lower: ") + Bench::number(floor, 0) +
                 QStringLiteral(" MB/s"),
             onRate >= floor});
    }
    {
        // The request list keeps at most 1 MiB of each body, whatever the transfer's size.
        ProxyProcess fresh(service.port, true);
        const double idle = fresh.memory().first;
        const double seconds = download(fresh.port);
        const double peak = fresh.memory().second;
        Bench::report(
            {QStringLiteral("6j"),
             QStringLiteral("Proxy's peak RSS over idle, capture on, 100 MiB download"),
             QStringLiteral("proxy at rest: ") + Bench::number(idle, 1) + QStringLiteral(" MiB"),
             QStringLiteral("+") + Bench::number(peak - idle, 1) + QStringLiteral(" MiB (peak ") +
                 Bench::number(peak, 1) + QStringLiteral(" MiB; read in ") +
                 Bench::number(seconds, 2) + QStringLiteral(" s)"),
             QStringLiteral("≤ +32 MiB"), peak - idle <= 32});
    }

    {
        // A fresh proxy, so that its peak is this transfer's.
        ProxyProcess fresh(service.port);
        const double idle = fresh.memory().first;
        const double seconds = download(fresh.port, 25e6);
        const double peak = fresh.memory().second;
        Bench::report(
            {QStringLiteral("6e"),
             QStringLiteral("Proxy's peak RSS over idle, 100 MiB download read at 25 MB/s"),
             QStringLiteral("proxy at rest: ") + Bench::number(idle, 1) + QStringLiteral(" MiB"),
             QStringLiteral("+") + Bench::number(peak - idle, 1) + QStringLiteral(" MiB (peak ") +
                 Bench::number(peak, 1) + QStringLiteral(" MiB; read in ") +
                 Bench::number(seconds, 1) + QStringLiteral(" s)"),
             QStringLiteral("≤ +32 MiB"), peak - idle <= 32});
    }

    // Capture off, on, and on with the requests window open on it.
    for (const int mode : {0, 1, 2}) {
        // 200 responses streaming at once, then 5 s of quiet: the proxy's peak growth, and
        // whether it gave the memory back.
        const bool capture = mode > 0;
        const QString what = mode == 0   ? QString()
                             : mode == 1 ? QStringLiteral(", capture on")
                                         : QStringLiteral(", capture on, requests window open");
        ProxyProcess fresh(service.port, capture, mode == 2);
        const double idle = fresh.memory().first;
        const int served = burst(fresh.port, 200);
        const double peak = fresh.memory().second;
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double after = fresh.memory().first;
        const double limit = capture ? 50 + 16 : 16;
        Bench::report(
            {QStringLiteral("6l"),
             QStringLiteral("200 responses of 2 MiB at once") + what +
                 QStringLiteral(", peak RSS growth"),
             QStringLiteral("proxy at rest: ") + Bench::number(idle, 1) + QStringLiteral(" MiB"),
             QStringLiteral("+") + Bench::number(peak - idle, 1) + QStringLiteral(" MiB (") +
                 QString::number(served) + QStringLiteral("/200 read whole)"),
             QStringLiteral("≤ +") + Bench::number(limit, 0) + QStringLiteral(" MiB"),
             served == 200 && peak - idle <= limit});
        Bench::report(
            {QStringLiteral("6m"), QStringLiteral("RSS 5 s after that burst") + what,
             QStringLiteral("before it: ") + Bench::number(idle, 1) + QStringLiteral(" MiB"),
             Bench::number(after, 1) + QStringLiteral(" MiB (") + Bench::number(after - idle, 1) +
                 QStringLiteral(" MiB over)"),
             capture ? QStringLiteral("≤ before + the capture's 50 MiB + 10 MiB")
                     : QStringLiteral("≤ before + 10 MiB"),
             after - idle <= (capture ? 60 : 10)});
    }

    constexpr int connections = 200;
    constexpr int rounds = 20;
    const Crowd directCrowd = crowd(direct.port, connections, rounds);
    const Crowd proxyCrowd = crowd(proxied.port, connections, rounds);
    Bench::report(
        {QStringLiteral("6f"),
         QStringLiteral("200 keep-alive connections at once, 20 requests each"),
         QStringLiteral("direct: p99 ") + ms(Bench::percentile(directCrowd.latencies, 0.99)) +
             QStringLiteral(" (after the first round ") +
             ms(Bench::percentile(directCrowd.later, 0.99)) + u')',
         QString::number(proxyCrowd.served) + u'/' + QString::number(proxyCrowd.asked) +
             QStringLiteral(" served; median ") + ms(Bench::percentile(proxyCrowd.latencies, 0.5)) +
             QStringLiteral(", p99 ") + ms(Bench::percentile(proxyCrowd.latencies, 0.99)) +
             QStringLiteral(" (after the first round ") +
             ms(Bench::percentile(proxyCrowd.later, 0.99)) + u')',
         QStringLiteral("all served, none dropped; p99 reported"),
         proxyCrowd.served == connections * rounds});
    return 0;
}
