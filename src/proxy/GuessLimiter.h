// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/MessageHead.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QMutex>

namespace Velumo {

// Slows down whoever guesses a tunnel's password. A visitor with 10 failed attempts within a
// minute waits a minute, twice as long after each further lockout, at most an hour; and after
// 100 failed attempts within a minute on the tunnel, from anyone, everyone waits until that
// minute is over. Times are in milliseconds of a monotonic clock, given by the caller.
class GuessLimiter
{
public:
    static constexpr int visitorFailures = 10;
    static constexpr int tunnelFailures = 100;
    static constexpr qint64 window = 60'000;
    static constexpr qint64 longestLockout = 3'600'000;

    // Who a visitor is: Cf-Connecting-Ip when the request came through Cloudflare, else the
    // peer; an IPv6 address counts by its /64, which one subscriber usually holds whole.
    static QByteArray visitorOf(const MessageHead &head, const QHostAddress &peer);

    // How many seconds the visitor must wait before its password is checked again; 0: none.
    qint64 waitSeconds(const QByteArray &visitor, qint64 now);
    void failed(const QByteArray &visitor, qint64 now);

private:
    struct Record {
        qint64 windowStart = 0;
        int failures = 0;
        int lockouts = 0;
        qint64 lockedUntil = 0;
    };

    void forgetOld(qint64 now);

    QMutex m_mutex;
    QHash<QByteArray, Record> m_visitors;
    qint64 m_tunnelWindowStart = 0;
    int m_tunnelFailures = 0;
};

} // namespace Velumo
