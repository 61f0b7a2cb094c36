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
    connect(&m_timer, &QTimer::timeout, this, &ConnectionClock::expired);
}

void ConnectionClock::update(bool owed, bool headBegun)
{
    m_headBegun = headBegun;
    Waiting waiting = Waiting::Nothing;
    if (owed) {
        waiting = !headBegun && m_served ? Waiting::Idle : Waiting::Head;
    }
    if (waiting == m_waiting && (waiting == Waiting::Nothing || m_timer.isActive())) {
        return;
    }
    m_waiting = waiting;
    if (waiting == Waiting::Nothing) {
        m_timer.stop();
    } else {
        m_timer.start(waiting == Waiting::Head ? m_timeouts.head : m_timeouts.idle);
    }
}

QString ConnectionClock::lateHeadMessage() const
{
    return tr("The request head did not arrive whole within %1 seconds.")
        .arg(m_timeouts.head.count() / 1000.0);
}

} // namespace Velumo
