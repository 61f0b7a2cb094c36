// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// The registry's run path, the same for every kind of tunnel: start, start again, stop, and
// what a run's address and end change in the list.
#include "core/Coroutine.h"
#include "core/TunnelRegistry.h"

#include <QPointer>

namespace Velumo {

void TunnelRegistry::forgetRuns()
{
    m_runs.forget([this](const QUuid &id) { return rowOf(id) >= 0; });
}

QCoro::Task<> TunnelRegistry::start(QUuid id)
{
    return run(id, false);
}

void TunnelRegistry::restart(const QUuid &id)
{
    startOwned(this, run(id, true));
}

void TunnelRegistry::restartIfRunning(const QUuid &id)
{
    if (const TunnelEntry *entry = find(id);
        entry && (entry->tunnel.loading || m_runs.activity(id).running)) {
        restart(id);
    }
}

QCoro::Task<> TunnelRegistry::run(QUuid id, bool again)
{
    QPointer<TunnelRegistry> self(this);
    qsizetype row = rowOf(id);
    if (row < 0 || (!again && (m_entries[row].tunnel.loading || m_runs.activity(id).running))) {
        co_return;
    }
    const int serial = ++m_starts[id];
    if (again) {
        m_runs.releaseAll(id, false);
    }
    forgetRefusal(id);
    setLoading(row, true);
    auto preparing = prepareRun(id);
    Result<TunnelRuns::Prepared> prepared = co_await std::move(preparing);
    // Deleted, stopped or started again meanwhile: the later word wins.
    row = self ? rowOf(id) : -1;
    if (row < 0 || m_starts.value(id) != serial) {
        co_return;
    }
    if (!prepared) {
        setLoading(row, false);
        Q_EMIT message(prepared.reason());
        co_return;
    }
    // A run that ended by itself is replaced; one still serving would keep an old address.
    m_runs.releaseAll(id, false);
    TunnelSession &session = m_runs.launch(m_entries[row], std::move(*prepared));
    connect(&session, &TunnelSession::addressAnnounced, this,
            [this, &session, id](const QUrl &url) { setAddress(session, id, url); });
    if (traits(m_entries[row].kind).addressKnown) {
        setLoading(row, false);
        checkHost(id);
    }
    changed(row, activityRoles);
    forgetRuns();

    QPointer<TunnelSession> tool(&session);
    co_await session.readOutput();
    if (!self || !tool) {
        co_return;
    }
    if (!session.announced() && m_runs.latestFor(id) == &session) {
        if (row = rowOf(id); row >= 0 && m_entries[row].tunnel.loading) {
            setLoading(row, false);
        }
        if (const QString message = session.endedWithoutAddressMessage(); !message.isEmpty()) {
            Q_EMIT this->message(message);
        }
    }
    runOver(session);
}

void TunnelRegistry::setAddress(TunnelSession &session, const QUuid &id, const QUrl &url)
{
    // The list may have changed while the tool started: the record is found again, by id.
    const qsizetype row = rowOf(id);
    if (row < 0 || m_runs.latestFor(id) != &session || !session.activity(id).running) {
        return;
    }
    willWrite(row);
    m_entries[row].tunnel.url = url;
    willWrite(row);
    m_entries[row].tunnel.loading = false;
    changed(row, QList<int>{AddressRole, LoadingRole} + activityRoles);
    Q_EMIT tunnelReady(m_entries[row].tunnel);
    tellGenerated(id);
    noteReachable(id);
    checkHostSoon(id);
}

void TunnelRegistry::checkHost(const QUuid &id)
{
    // A dashboard tunnel's service is set at Cloudflare, and may not be this machine's.
    const TunnelEntry *entry = find(id);
    if (!entry || !entry->tunnel.url || !traits(entry->kind).proxyAllowed) {
        return;
    }
    const Tunnel &tunnel = entry->tunnel;
    m_probe.probe(id, tunnel.hostname, tunnel.port, *tunnel.url,
                  m_choices.value(id).hostHeader ? serviceHostHeader(tunnel.hostname, tunnel.port)
                                                 : QString());
}

void TunnelRegistry::checkHostSoon(const QUuid &id)
{
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            if (m_runs.activity(id).running) {
                checkHost(id);
            }
        },
        Qt::QueuedConnection);
}

void TunnelRegistry::noteRefusal(const QUuid &id, DevServer server)
{
    const auto known = m_refusals.constFind(id);
    if (find(id) && (known == m_refusals.cend() || *known != server)) {
        m_refusals.insert(id, server);
        changed(id, {HostCheckRole});
    }
}

void TunnelRegistry::forgetRefusal(const QUuid &id)
{
    m_probe.cancel(id);
    if (m_refusals.remove(id)) {
        changed(id, {HostCheckRole});
    }
}

void TunnelRegistry::noteReachable(const QUuid &id)
{
    const qsizetype row = rowOf(id);
    if (row < 0) {
        return;
    }
    const Tunnel &tunnel = m_entries[row].tunnel;
    const TunnelState state = m_runs.activity(id).state;
    if (state == TunnelState::Connected && tunnel.url) {
        // Once per run: a connection lost and made again is the same tunnel, still shared.
        if (!std::exchange(m_reachable[id], true)) {
            Q_EMIT tunnelReachable(tunnel);
        }
    } else if (state != TunnelState::Announced) {
        m_reachable.remove(id);
    }
}

void TunnelRegistry::stop(const QUuid &id)
{
    ++m_starts[id];
    m_runs.releaseAll(id, true);
    forgetRefusal(id);
    const qsizetype row = rowOf(id);
    if (row < 0) {
        return;
    }
    changed(row, activityRoles);
    Tunnel &tunnel = m_entries[row].tunnel;
    if (!traits(m_entries[row].kind).addressKnown && tunnel.url) {
        // Its address ended with its tool.
        willWrite(row);
        tunnel.url.reset();
        tunnel.loading = false;
        changed(row, {AddressRole, LoadingRole});
    } else if (tunnel.loading) {
        setLoading(row, false);
    }
}

void TunnelRegistry::runOver(TunnelSession &session)
{
    // A tunnel that was serving ended on its own: its address no longer answers.
    if (session.state() == TunnelState::Ended) {
        for (const QUuid &id : session.served()) {
            const TunnelEntry *entry = find(id);
            if (m_runs.latestFor(id) == &session && entry && entry->tunnel.url) {
                Q_EMIT message(session.endedMessage());
            }
        }
    }
    forgetRuns();
}

} // namespace Velumo
