// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ProxyServer.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

namespace Velumo {

// How long a connection waits for its visitor (ProxyTimeouts). A head is timed from the
// connection's start, or from its first byte after an idle spell; trickling it in does not
// extend the time. Nothing is timed while a request or an upgrade is under way.
class ConnectionClock final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionClock)

public:
    ConnectionClock(const ProxyTimeouts &timeouts, QObject *parent);

    // The visitor owes a request (`owed`), and has sent part of its head or not.
    void update(bool owed, bool headBegun);
    // A request was read whole: from now on silence between requests is idleness.
    void served() { m_served = true; }
    void stop();
    // Only a head begun and not finished in time is answered (408); silence just ends.
    bool headLate() const { return m_waiting == Waiting::Head && m_headBegun; }
    QString lateHeadMessage() const;

Q_SIGNALS:
    void expired();

private:
    enum class Waiting { Nothing, Head, Idle };

    void fire();

    ProxyTimeouts m_timeouts;
    QTimer m_timer;
    // When the visitor's time is up, and when m_timer is set to fire: the timer is left running
    // when the deadline moves later or goes, and set again when it fires early, since a timer
    // started and stopped for every request costs more than the rest of a short connection.
    QDeadlineTimer m_deadline{QDeadlineTimer::Forever};
    QDeadlineTimer m_fires{QDeadlineTimer::Forever};
    Waiting m_waiting = Waiting::Nothing;
    bool m_served = false;
    bool m_headBegun = false;
};

} // namespace Velumo
