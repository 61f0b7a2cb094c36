// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace Velumo::Bench {

// One verdict for scripts/bench, which gathers these lines from every benchmark into its table.
// Everything else a benchmark prints is for the reader of the log.
struct Row {
    QString id;
    QString measure;
    QString baseline;
    QString figure;
    QString target;
    bool pass = false;
    // A figure reported beside a target, with no verdict of its own.
    bool info = false;
};

inline void report(const Row &row)
{
    const QString line = QStringLiteral("@row\t") + row.id + u'\t' + row.measure + u'\t' +
                         row.baseline + u'\t' + row.figure + u'\t' + row.target + u'\t' +
                         (row.info   ? QStringLiteral("info")
                          : row.pass ? QStringLiteral("PASS")
                                     : QStringLiteral("FAIL")) +
                         u'\n';
    std::fputs(line.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

inline QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

// CLOCK_MONOTONIC in nanoseconds, the clock the stand-in's {mono} writes.
inline qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Nearest-rank percentile of a sample; 0.5 is the median.
inline double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(fraction * double(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

// Runs the event loop until `done` holds; false when `timeout` passed first.
template <typename Done> bool waitUntil(Done &&done, std::chrono::milliseconds timeout)
{
    // Its expiry also wakes a wait with nothing else to do.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(timeout);
    while (!done() && deadline.isActive()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

} // namespace Velumo::Bench
