// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ConnectionClock.h"

namespace Velumo {

ConnectionClock::ConnectionClock(const ProxyTimeouts &timeouts, QObject *parent)
    : QObject(parent)
    , m_timeouts(timeouts)
    , m_timer(this)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ConnectionClock::fire);
}

void ConnectionClock::update(bool owed, bool headBegun)
{
    m_headBegun = headBegun;
    Waiting waiting = Waiting::Nothing;
    if (owed) {
        waiting = !headBegun && m_served ? Waiting::Idle : Waiting::Head;
    }
    if (waiting == m_waiting && (waiting == Waiting::Nothing || !m_deadline.isForever())) {
        return;
    }
    m_waiting = waiting;
    if (waiting == Waiting::Nothing) {
        m_deadline = QDeadlineTimer(QDeadlineTimer::Forever);
        return;
    }
    const std::chrono::milliseconds timeout =
        waiting == Waiting::Head ? m_timeouts.head : m_timeouts.idle;
    m_deadline = QDeadlineTimer(timeout);
    if (!m_timer.isActive() || m_deadline < m_fires) {
        m_fires = m_deadline;
        m_timer.start(timeout);
    }
}

void ConnectionClock::stop()
{
    m_waiting = Waiting::Nothing;
    m_deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    m_timer.stop();
}

void ConnectionClock::fire()
{
    if (m_deadline.isForever()) {
        return;
    }
    if (const qint64 left = m_deadline.remainingTime(); left > 0) {
        m_fires = m_deadline;
        m_timer.start(std::chrono::milliseconds(left));
        return;
    }
    m_deadline = QDeadlineTimer(QDeadlineTimer::Forever);
    Q_EMIT expired();
}

QString ConnectionClock::lateHeadMessage() const
{
    return tr("The request head did not arrive whole within %1 seconds.")
        .arg(m_timeouts.head.count() / 1000.0);
}

} // namespace Velumo
