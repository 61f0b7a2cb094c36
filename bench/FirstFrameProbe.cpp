// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// Preloaded into a program under test (LD_PRELOAD), this notes when the program hands its first
// painted frames to the platform, and its peak resident size at each, without the program's
// own code knowing. It stands in for Qt's QBackingStore::flush, which widgets call
// across the library boundary, and passes every call on to the real one.

#include <QBackingStore>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int framesReported = 2;

void reportFrame()
{
    static int reported = 0;
    const char *fd = std::getenv("VELUMO_BENCH_PROBE_FD");
    if (reported == framesReported || !fd) {
        return;
    }
    ++reported;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    char line[64];
    const int length = std::snprintf(
        line, sizeof line, "%lld %ld\n",
        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, usage.ru_maxrss);
    [[maybe_unused]] const ssize_t written = ::write(std::atoi(fd), line, size_t(length));
}

} // namespace

void QBackingStore::flush(const QRegion &region, QWindow *window, const QPoint &offset)
{
    reportFrame();
    using Flush = void (*)(QBackingStore *, const QRegion &, QWindow *, const QPoint &);
    static const auto real = reinterpret_cast<Flush>(
        ::dlsym(RTLD_NEXT, "_ZN13QBackingStore5flushERK7QRegionP7QWindowRK6QPoint"));
    real(this, region, window, offset);
}
