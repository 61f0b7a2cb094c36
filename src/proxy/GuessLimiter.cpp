// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/GuessLimiter.h"

#include <algorithm>

namespace Velumo {

namespace {

// Beyond this many visitors on record, those with nothing pending are forgotten: addresses
// made up on a direct connection must not grow the table without bound.
constexpr qsizetype recordLimit = 10'000;

qint64 secondsUntil(qint64 until, qint64 now)
{
    return (until - now + 999) / 1000;
}

} // namespace

QByteArray GuessLimiter::visitorOf(const MessageHead &head, const QHostAddress &peer)
{
    QHostAddress address = peer;
    if (const qsizetype at = head.lastIndexOf("Cf-Connecting-Ip"); at >= 0) {
        QHostAddress given;
        if (given.setAddress(QString::fromLatin1(head.value(at)))) {
            address = given;
        }
    }
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4); // IPv4-mapped IPv6 too
    if (isV4) {
        return QByteArray::number(v4);
    }
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8).toHex();
}

qint64 GuessLimiter::waitSeconds(const QByteArray &visitor, qint64 now)
{
    const QMutexLocker lock(&m_mutex);
    qint64 until = 0;
    if (m_tunnelFailures >= tunnelFailures && now - m_tunnelWindowStart < window) {
        until = m_tunnelWindowStart + window;
    }
    if (const auto record = m_visitors.constFind(visitor); record != m_visitors.cend()) {
        until = std::max(until, record->lockedUntil);
    }
    return until > now ? secondsUntil(until, now) : 0;
}

void GuessLimiter::failed(const QByteArray &visitor, qint64 now)
{
    const QMutexLocker lock(&m_mutex);
    if (now - m_tunnelWindowStart >= window) {
        m_tunnelWindowStart = now;
        m_tunnelFailures = 0;
    }
    ++m_tunnelFailures;
    if (m_visitors.size() >= recordLimit && !m_visitors.contains(visitor)) {
        forgetOld(now);
        if (m_visitors.size() >= recordLimit) {
            return; // the tunnel's own limit still counts this one
        }
    }
    Record &record = m_visitors[visitor];
    if (now - record.windowStart >= window) {
        record.windowStart = now;
        record.failures = 0;
    }
    if (++record.failures >= visitorFailures) {
        record.lockedUntil = now + std::min(window << std::min(record.lockouts, 6), longestLockout);
        ++record.lockouts;
        record.failures = 0;
    }
}

void GuessLimiter::forgetOld(qint64 now)
{
    // Lockouts double for an hour after the last one ended; then the visitor starts afresh.
    m_visitors.removeIf([now](const auto &entry) {
        const Record &record = entry.value();
        return now - record.windowStart >= window && now - record.lockedUntil >= longestLockout;
    });
}

} // namespace Velumo
