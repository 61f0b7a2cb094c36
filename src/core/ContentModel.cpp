// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ContentModel.h"

#include "core/CloudflaredConfig.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace Velumo {

ContentModel::ContentModel(QObject *parent)
    : ContentModel(TunnelStore(), parent)
{}

ContentModel::ContentModel(TunnelStore store, QObject *parent)
    : QObject(parent)
    , m_store(std::move(store))
    , m_named(
          NamedTunnelStore(
              QFileInfo(m_store.filePath()).dir().filePath(QStringLiteral("namedTunnels.json"))),
          m_serviceMonitor, m_options, [this] { return toolPath(); })
{
    connect(&m_named, &NamedTunnelModel::message, this, &ContentModel::setStatusMessage);
    m_options.setTunnels({[this](const QUuid &id) -> ReverseProxy * {
                              TunnelSession *session = m_sessions.latestFor(id);
                              return session ? session->proxy() : m_named.proxyOf(id);
                          },
                          [this](const QUuid &id) { restartIfRunning(id); },
                          [this](const QUuid &id) { return m_named.isToken(id); }});
    connect(&m_named, &NamedTunnelModel::toolEnded, this, &ContentModel::toolEnded);
}

// Each session ends its tool as it goes; coroutines still waiting on a stream are resumed from
// the event loop, see that their session is gone and return.
ContentModel::~ContentModel() = default;

void ContentModel::setLoading(bool loading)
{
    Q_EMIT objectWillChange();
    m_loading = loading;
}

void ContentModel::setStatusMessage(const QString &message)
{
    m_statusMessage = message;
    Q_EMIT statusMessageChanged(m_statusMessage);
}

qsizetype ContentModel::indexOfTunnel(const QUuid &id) const
{
    for (qsizetype i = 0; i < m_tunnels.size(); ++i) {
        if (m_tunnels[i].id == id) {
            return i;
        }
    }
    return -1;
}

TunnelActivity ContentModel::activity(const QUuid &id) const
{
    return m_sessions.activity(id);
}

std::optional<bool> ContentModel::serviceListening(const QUuid &id) const
{
    return m_sessions.serviceListening(id);
}

int ContentModel::runningToolCount() const
{
    return m_named.runningToolCount() + m_sessions.runningCount();
}

QString ContentModel::toolPath() const
{
    return m_toolPath ? *m_toolPath : cloudflaredPath();
}

TunnelSession &ContentModel::startSession(const QString &hostname, const QString &port,
                                          bool overHttp2, std::unique_ptr<ReverseProxy> proxy)
{
    QStringList arguments = tunnelArguments({});
    if (overHttp2) {
        arguments << QStringLiteral("--protocol") << QStringLiteral("http2");
    }
    arguments << QStringLiteral("--url")
              << (proxy ? QStringLiteral("127.0.0.1:%1").arg(proxy->port())
                        : hostname + u':' + port);
    if (const std::optional<QString> config = configFileWithIngress()) {
        setStatusMessage(tr("%1 has ingress rules, which cloudflared follows instead of %2:%3: "
                            "visitors reach the services listed there")
                             .arg(*config, hostname, port));
    }
    auto owned = std::make_unique<TunnelSession>(m_shell.runFound(toolPath(), arguments), hostname,
                                                 port, overHttp2, m_serviceMonitor);
    TunnelSession &session = m_sessions.add(std::move(owned));
    session.setProxy(std::move(proxy));
    connect(&session.process(), &ToolProcess::ended, this, &ContentModel::toolEnded);
    connect(&session, &TunnelSession::activityChanged, this,
            [this, &session] { sessionChanged(session); });
    connect(&session, &TunnelSession::serviceListeningChanged, this,
            [this, &session](bool listening) { sessionServiceChanged(session, listening); });
    return session;
}

void ContentModel::sessionChanged(TunnelSession &session)
{
    if (session.quicBlocked() && session.process().isRunning()) {
        setStatusMessage(session.activity({}).problem);
    }
    for (const QUuid &id : session.served()) {
        if (m_sessions.latestFor(id) == &session) {
            Q_EMIT activityChanged(id);
        }
    }
}

void ContentModel::sessionServiceChanged(TunnelSession &session, bool listening)
{
    // A creation still waiting for its address serves nothing yet: the user hears at once.
    if (!listening && !session.announced() && session.served().isEmpty()) {
        setStatusMessage(tr("Nothing is listening on %1:%2: visitors will get an error page "
                            "until the service runs")
                             .arg(session.hostname(), session.port()));
    }
    for (const QUuid &id : session.served()) {
        if (m_sessions.latestFor(id) == &session) {
            Q_EMIT serviceListeningChanged(id);
        }
    }
}

void ContentModel::sessionOver(TunnelSession &session)
{
    // A tunnel that was serving ended on its own: its address no longer answers.
    if (session.state() == TunnelState::Ended) {
        for (const QUuid &id : session.served()) {
            const qsizetype index = indexOfTunnel(id);
            if (m_sessions.latestFor(id) == &session && index >= 0 && m_tunnels[index].url) {
                setStatusMessage(session.endedMessage());
            }
        }
    }
    forgetSessions();
}

void ContentModel::forgetSessions()
{
    m_sessions.forget([this](const QUuid &id) { return indexOfTunnel(id) >= 0; });
}

QCoro::Task<> ContentModel::createTunnel(QString hostname, QString port)
{
    QPointer<ContentModel> self(this);
    setLoading(true);
    ++m_waitingCreations;
    TunnelSession &session = startSession(hostname, port, false);
    connect(&session, &TunnelSession::addressAnnounced, this,
            [this, &session](const QUrl &url) { addCreatedTunnel(session, url); });

    QPointer<TunnelSession> run(&session);
    co_await session.readOutput();
    if (!self || !run) {
        co_return;
    }
    if (!session.announced()) {
        // A creation that never got an address must not leave the form disabled for good.
        --m_waitingCreations;
        if (m_waitingCreations == 0 && m_loading) {
            setLoading(false);
        }
        if (const QString message = session.endedWithoutAddressMessage(); !message.isEmpty()) {
            setStatusMessage(message);
        }
    }
    sessionOver(session);
}

void ContentModel::addCreatedTunnel(TunnelSession &session, const QUrl &url)
{
    Tunnel tunnel;
    tunnel.url = url;
    tunnel.hostname = session.hostname();
    tunnel.port = session.port();
    tunnel.loading = false;
    const Tunnel created = tunnel;
    if (session.served().isEmpty()) {
        --m_waitingCreations;
    }
    session.serve(created.id);
    Q_EMIT objectWillChange();
    m_tunnels.append(std::move(tunnel));
    saveTunnels(m_tunnels);
    setLoading(false);
    Q_EMIT activityChanged(created.id);
    Q_EMIT tunnelReady(created);
}

QCoro::Task<> ContentModel::restartOverHttp2(Tunnel tunnel)
{
    if (indexOfTunnel(tunnel.id) >= 0) {
        m_options.edit(tunnel.id).overHttp2 = true;
    }
    return restartTunnel(std::move(tunnel));
}

QCoro::Task<> ContentModel::restartTunnel(Tunnel tunnel)
{
    QPointer<ContentModel> self(this);
    if (const qsizetype index = indexOfTunnel(tunnel.id); index >= 0) {
        Q_EMIT objectWillChange();
        m_tunnels[index].loading = true;
    } else {
        co_return;
    }
    const TunnelOptions::Options options = m_options.get(tunnel.id);
    std::unique_ptr<ReverseProxy> proxy;
    if (options.needsProxy()) {
        QString problem;
        auto starting = m_options.startProxy(tunnel.id, tunnel.hostname, tunnel.port, &problem);
        proxy = co_await std::move(starting);
        if (!self) {
            co_return;
        }
        const qsizetype index = indexOfTunnel(tunnel.id);
        if (!proxy && index >= 0) {
            Q_EMIT objectWillChange();
            m_tunnels[index].loading = false;
            setStatusMessage(problem);
        }
        if (!proxy || index < 0) {
            co_return;
        }
    }
    // An earlier tool still serving this tunnel would keep an old address alive.
    for (const auto &earlier : m_sessions) {
        earlier->release(tunnel.id, false);
    }
    TunnelSession &session =
        startSession(tunnel.hostname, tunnel.port, options.overHttp2, std::move(proxy));
    session.serve(tunnel.id);
    connect(&session, &TunnelSession::addressAnnounced, this,
            [this, &session, id = tunnel.id](const QUrl &url) {
                setRestartedAddress(session, id, url);
            });
    Q_EMIT activityChanged(tunnel.id);
    forgetSessions();

    QPointer<TunnelSession> run(&session);
    co_await session.readOutput();
    if (!self || !run) {
        co_return;
    }
    if (!session.announced() && m_sessions.latestFor(tunnel.id) == &session) {
        if (const qsizetype current = indexOfTunnel(tunnel.id);
            current >= 0 && m_tunnels[current].loading) {
            Q_EMIT objectWillChange();
            m_tunnels[current].loading = false;
        }
        if (const QString message = session.endedWithoutAddressMessage(); !message.isEmpty()) {
            setStatusMessage(message);
        }
    }
    sessionOver(session);
}

void ContentModel::setRestartedAddress(TunnelSession &session, const QUuid &id, const QUrl &url)
{
    // The list may have changed while the tool started: find the record again, by id.
    const qsizetype index = indexOfTunnel(id);
    if (index < 0) {
        return;
    }
    Q_EMIT objectWillChange();
    m_tunnels[index].url = url;
    Q_EMIT objectWillChange();
    m_tunnels[index].loading = false;
    if (m_sessions.latestFor(id) == &session) {
        Q_EMIT activityChanged(id);
        Q_EMIT tunnelReady(m_tunnels[index]);
    }
}

void ContentModel::setRunning(const QUuid &id, bool run)
{
    if (const NamedTunnel *found = m_named.find(id)) {
        const NamedTunnel tunnel = *found; // the list may change under a reference
        run ? void(m_named.start(tunnel)) : m_named.stop(tunnel);
    } else if (const qsizetype index = indexOfTunnel(id); index >= 0) {
        const Tunnel tunnel = m_tunnels[index];
        run ? void(restartTunnel(tunnel)) : stopTunnel(tunnel);
    }
}

void ContentModel::restartIfRunning(const QUuid &id)
{
    m_named.restartIfRunning(id);
    if (const qsizetype index = indexOfTunnel(id); index >= 0 && activity(id).running) {
        restartTunnel(m_tunnels[index]);
    }
}

void ContentModel::stopTunnel(const Tunnel &tunnel)
{
    TunnelSession *session = m_sessions.latestFor(tunnel.id);
    if (session) {
        session->release(tunnel.id, true);
        Q_EMIT activityChanged(tunnel.id);
    }
    const qsizetype index = indexOfTunnel(tunnel.id);
    if (index >= 0 && (m_tunnels[index].url || m_tunnels[index].loading)) {
        Tunnel stopped = m_tunnels[index];
        stopped.url.reset();
        stopped.loading = false;
        Q_EMIT objectWillChange();
        m_tunnels[index] = std::move(stopped);
    }
}

void ContentModel::toolEnded()
{
    if (m_stoppingAll && runningToolCount() == 0) {
        m_stoppingAll = false;
        Q_EMIT toolsStopped();
    }
}

void ContentModel::stopAllTools(std::chrono::milliseconds grace)
{
    m_stoppingAll = true;
    m_sessions.stopAll(grace);
    m_named.stopAll(grace);
    toolEnded();
}

void ContentModel::saveTunnels(const TunnelList &list)
{
    if (const QString message = m_store.save(list); !message.isEmpty()) {
        setStatusMessage(message);
    }
}

void ContentModel::loadTunnels()
{
    m_named.load();
    QString problem;
    std::optional<TunnelList> stored = m_store.load(&problem);
    if (!problem.isEmpty()) {
        setStatusMessage(problem);
    }
    if (!stored) {
        return;
    }
    for (Tunnel &tunnel : *stored) {
        tunnel.url.reset();
        // No tool runs for a loaded record, so nothing would ever clear this.
        tunnel.loading = false;
    }
    Q_EMIT objectWillChange();
    m_tunnels = std::move(*stored);
}

void ContentModel::deleteTunnel(const Tunnel &argument)
{
    // The argument may refer into the list that is about to be replaced.
    const Tunnel tunnel = argument;
    TunnelList kept;
    kept.reserve(m_tunnels.size());
    for (const Tunnel &listed : std::as_const(m_tunnels)) {
        if (!(listed == tunnel)) {
            kept.append(listed);
        }
    }
    Q_EMIT objectWillChange();
    m_tunnels = std::move(kept);
    if (indexOfTunnel(tunnel.id) < 0) {
        m_options.forget(tunnel.id);
    }
    // Tools left serving no listed tunnel stop; a creation still waiting serves none yet.
    for (const auto &session : m_sessions) {
        for (const QUuid &id : session->served()) {
            if (indexOfTunnel(id) < 0) {
                session->release(id, false);
            }
        }
    }
    forgetSessions();
    saveTunnels(m_tunnels);
}

} // namespace Velumo
