// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/MessageHead.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>

#include <atomic>
#include <functional>
#include <map>
#include <optional>

namespace Velumo {

// Decides whether a visitor's request may reach the service, before any of it is forwarded.
class RequestGate
{
public:
    virtual ~RequestGate() = default;
    // Called on the proxy thread once a request's head has arrived, from `peer`. Nothing lets
    // the request through as `head` then reads: the gate may drop its own credentials from it.
    // A complete response is sent to the visitor instead, and the connection then ends.
    virtual std::optional<QByteArray> admit(MessageHead &head, const QHostAddress &peer) = 0;

    // Counts the changes of what the gate lets in: a connection let in under an older count
    // (upgraded, so no later request is checked) must not stay open.
    quint64 generation() const { return m_generation.load(std::memory_order_acquire); }

    // `changed` is called, on the thread that changed the gate, after each change, until
    // unwatch() returns; it must only post to where it is handled.
    int watch(std::function<void()> changed)
    {
        const QMutexLocker lock(&m_watchMutex);
        m_watchers.emplace(++m_lastWatcher, std::move(changed));
        return m_lastWatcher;
    }
    void unwatch(int watcher)
    {
        const QMutexLocker lock(&m_watchMutex);
        m_watchers.erase(watcher);
    }

protected:
    void changed()
    {
        m_generation.fetch_add(1, std::memory_order_acq_rel);
        const QMutexLocker lock(&m_watchMutex);
        for (const auto &[id, watcher] : m_watchers) {
            watcher();
        }
    }

private:
    std::atomic<quint64> m_generation{0};
    QMutex m_watchMutex;
    std::map<int, std::function<void()>> m_watchers;
    int m_lastWatcher = 0;
};

} // namespace Velumo
