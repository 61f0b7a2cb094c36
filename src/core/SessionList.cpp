// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/SessionList.h"

namespace Velumo {

TunnelSession &SessionList::add(std::unique_ptr<TunnelSession> session)
{
    m_sessions.push_back(std::move(session));
    return *m_sessions.back();
}

TunnelSession *SessionList::latestFor(const QUuid &id) const
{
    for (auto it = m_sessions.crbegin(); it != m_sessions.crend(); ++it) {
        if ((*it)->hasServed(id)) {
            return it->get();
        }
    }
    return nullptr;
}

void SessionList::forget(const std::function<bool(const QUuid &)> &listed)
{
    std::erase_if(m_sessions, [&](const std::unique_ptr<TunnelSession> &session) {
        const QList<QUuid> &served = session->served();
        return session->isOver() &&
               std::none_of(served.cbegin(), served.cend(), [&](const QUuid &id) {
                   return listed(id) && latestFor(id) == session.get();
               });
    });
}

TunnelActivity SessionList::activity(const QUuid &id) const
{
    const TunnelSession *session = latestFor(id);
    return session ? session->activity(id) : TunnelActivity();
}

std::optional<bool> SessionList::serviceListening(const QUuid &id) const
{
    const TunnelSession *session = latestFor(id);
    return session && session->activity(id).running ? session->serviceListening() : std::nullopt;
}

int SessionList::runningCount() const
{
    return int(std::count_if(m_sessions.cbegin(), m_sessions.cend(),
                             [](const auto &session) { return session->process().isRunning(); }));
}

void SessionList::stopAll(std::chrono::milliseconds grace)
{
    for (const auto &session : m_sessions) {
        session->stop(grace);
    }
}

} // namespace Velumo
