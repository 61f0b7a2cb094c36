// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/QuitSignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace Velumo {

#ifdef Q_OS_UNIX
namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    // Nothing to do if the pipe is full: a quit is already pending.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

} // namespace
#endif

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_UNIX
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(signalPipe[1], &byte, 1) == 1) {
            Q_EMIT quitRequested(byte);
        }
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(number, &action, nullptr);
    }
#endif
}

QuitSignals::~QuitSignals()
{
#ifdef Q_OS_UNIX
    if (m_notifier) {
        for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
            ::signal(number, SIG_DFL);
        }
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
#endif
}

} // namespace Velumo
