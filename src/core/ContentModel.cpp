// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ContentModel.h"

#include "core/Coroutine.h"
#include "core/Shell.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace Velumo {

ContentModel::ContentModel(QObject *parent)
    : ContentModel(TunnelStore(), parent)
{}

ContentModel::ContentModel(TunnelStore store, QObject *parent)
    : QObject(parent)
    , m_registry(
          store,
          NamedTunnelStore(
              QFileInfo(store.filePath()).dir().filePath(QStringLiteral("namedTunnels.json"))),
          TunnelChoicesStore(
              QFileInfo(store.filePath()).dir().filePath(QStringLiteral("tunnelOptions.json"))),
          [this] { return toolPath(); })
    , m_named(m_registry, [this] { return toolPath(); })
{
    connect(&m_registry, &TunnelRegistry::quickWillChange, this, &ContentModel::objectWillChange);
    connect(&m_registry, &TunnelRegistry::message, this, &ContentModel::setStatusMessage);
    connect(&m_registry, &TunnelRegistry::tunnelReady, this, &ContentModel::tunnelReady);
    connect(&m_registry, &TunnelRegistry::tunnelReachable, this, &ContentModel::tunnelReachable);
    connect(&m_registry.runs(), &TunnelRuns::toolEnded, this, &ContentModel::toolEnded);
    connect(&m_named, &NamedTunnelModel::message, this, &ContentModel::setStatusMessage);
    connect(&m_named, &NamedTunnelModel::toolEnded, this, &ContentModel::toolEnded);
}

ContentModel::~ContentModel() = default;

void ContentModel::setLoading(bool loading)
{
    Q_EMIT objectWillChange();
    m_loading = loading;
}

void ContentModel::setStatusMessage(const QString &message)
{
    m_failedRunLog.reset();
    m_statusMessage = message;
    Q_EMIT statusMessageChanged(m_statusMessage);
}

std::optional<bool> ContentModel::serviceListening(const QUuid &id) const
{
    return m_registry.runs().serviceListening(id);
}

int ContentModel::runningToolCount() const
{
    return m_named.runningToolCount() + m_registry.runs().runningCount();
}

QString ContentModel::toolPath() const
{
    return m_toolPath ? *m_toolPath : cloudflaredPath();
}

QCoro::Task<> ContentModel::createTunnel(QString hostname, QString port, QUuid id,
                                         std::optional<NewTunnelDefaults> chosen)
{
    QPointer<ContentModel> self(this);
    setLoading(true);
    ++m_waitingCreations;
    // The first address is already behind the proxy when new tunnels start with one.
    TunnelEntry first = TunnelEntry::quick({});
    if (!id.isNull()) {
        first.tunnel.id = id;
    }
    first.tunnel.hostname = hostname;
    first.tunnel.port = port;
    TunnelRuns::Prepared prepared;
    if (const TunnelChoices choices = m_registry.choicesForNew(first.id(), first.kind, chosen);
        choices.needsProxy() || choices.hostHeader) {
        auto preparing = m_registry.runs().prepare(first, choices);
        Result<TunnelRuns::Prepared> proxied = co_await std::move(preparing);
        if (!self) {
            co_return;
        }
        if (!proxied) {
            m_registry.forgetUnlistedChoices(first.id());
            creationEnded(first.id(), proxied.reason());
            co_return;
        }
        prepared = std::move(*proxied);
    }
    TunnelSession &session =
        m_registry.runs().launchCreation(hostname, port, std::move(prepared));
    connect(&session, &TunnelSession::addressAnnounced, this,
            [this, &session, id = first.id()](const QUrl &url) {
                addCreatedTunnel(session, url, session.served().isEmpty() ? id : QUuid());
            });

    QPointer<TunnelSession> run(&session);
    co_await session.readOutput();
    if (!self || !run) {
        co_return;
    }
    if (!session.announced()) {
        m_registry.forgetUnlistedChoices(first.id());
        creationEnded(first.id(), session.endedWithoutAddressMessage(), session.log());
    }
    m_registry.runOver(session);
}

void ContentModel::creationEnded(const QUuid &id, const QString &message,
                                 std::shared_ptr<ToolLog> log)
{
    // A creation that never got an address must not leave the form disabled for good.
    --m_waitingCreations;
    if (m_waitingCreations == 0 && m_loading) {
        setLoading(false);
    }
    if (!message.isEmpty()) {
        // Said with its run's log, which the status line offers while it says this.
        m_statusMessage = message;
        m_failedRunLog = std::move(log);
        Q_EMIT statusMessageChanged(m_statusMessage);
    }
    Q_EMIT creationFailed(id, message.isEmpty() ? tr("The tool ended without an address.")
                                                : message);
}

void ContentModel::addCreatedTunnel(TunnelSession &session, const QUrl &url, const QUuid &id)
{
    Tunnel tunnel;
    if (!id.isNull()) {
        tunnel.id = id;
    }
    tunnel.url = url;
    tunnel.hostname = session.hostname();
    tunnel.port = session.port();
    tunnel.loading = false;
    if (session.served().isEmpty()) {
        --m_waitingCreations;
    }
    session.serve(tunnel.id);
    m_registry.addQuick(tunnel);
    setLoading(false);
    Q_EMIT tunnelReady(tunnel);
}

QCoro::Task<> ContentModel::restartTunnel(Tunnel tunnel)
{
    return m_registry.start(tunnel.id);
}

void ContentModel::setRunning(const QUuid &id, bool run)
{
    if (run) {
        startOwned(&m_registry, m_registry.start(id));
    } else {
        m_registry.stop(id);
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
    m_registry.runs().stopAll(grace);
    m_named.stopAll(grace);
    toolEnded();
}

} // namespace Velumo
