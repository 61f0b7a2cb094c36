// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/DescriptorLimit.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <pthread.h>
#include <sys/resource.h>
#endif

namespace Velumo {

#ifdef Q_OS_UNIX
namespace {

// Set once before any other thread starts, read in children only.
rlimit g_usual{};
bool g_raised = false;

} // namespace

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (g_raised || ::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
        return;
    }
    g_usual = limit;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
        g_raised = true;
        // QProcess::startDetached (the browser, through QDesktopServices) forks with fork();
        // QProcess::start may not, so ToolProcess restores the limit itself as well.
        ::pthread_atfork(nullptr, nullptr, restoreDescriptorLimit);
    }
}

void restoreDescriptorLimit()
{
    if (g_raised) {
        ::setrlimit(RLIMIT_NOFILE, &g_usual);
    }
}
#else
void raiseDescriptorLimit() {}
void restoreDescriptorLimit() {}
#endif

} // namespace Velumo
