// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/TunnelSession.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace Velumo {

// The runs of the tool a model owns, oldest first. A tunnel's latest run is the last one that
// served it; what it says is what the tunnel shows. Runs that are over are kept as long as they
// are some listed tunnel's latest, for how they ended.
class SessionList
{
public:
    TunnelSession &add(std::unique_ptr<TunnelSession> session);
    TunnelSession *latestFor(const QUuid &id) const;
    // Drops the runs that are over and are not the latest run of a tunnel `listed` accepts.
    void forget(const std::function<bool(const QUuid &)> &listed);

    TunnelActivity activity(const QUuid &id) const;
    // Unknown for a tunnel whose tool does not run for it.
    std::optional<bool> serviceListening(const QUuid &id) const;
    int runningCount() const;
    void stopAll(std::chrono::milliseconds grace);

    auto begin() const { return m_sessions.cbegin(); }
    auto end() const { return m_sessions.cend(); }

private:
    std::vector<std::unique_ptr<TunnelSession>> m_sessions;
};

} // namespace Velumo
