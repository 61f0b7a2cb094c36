// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/NamedTunnelModel.h"

#include "core/LocalServiceMonitor.h"

#include <QPointer>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace Velumo {

namespace {

// A token's key in the secret store.
QString secretKey(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

} // namespace

NamedTunnelModel::NamedTunnelModel(NamedTunnelStore store, LocalServiceMonitor &monitor,
                                   TunnelOptions &options, std::function<QString()> toolPath,
                                   QObject *parent)
    : QObject(parent)
    , m_store(std::move(store))
    , m_monitor(monitor)
    , m_options(options)
    , m_toolPath(std::move(toolPath))
    , m_account(m_toolPath)
    , m_cloudflare(*this, m_toolPath)
    , m_secrets(std::make_shared<MemorySecretStore>())
{
    connect(&m_account, &CloudflareAccount::message, this, &NamedTunnelModel::message);
    connect(&m_account, &CloudflareAccount::toolEnded, this, &NamedTunnelModel::toolEnded);
    connect(&m_cloudflare, &CloudflareTunnels::toolEnded, this, &NamedTunnelModel::toolEnded);
}

NamedTunnelModel::~NamedTunnelModel() = default;

QString NamedTunnelModel::credentialsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velumo/credentials");
}

QString NamedTunnelModel::credentialsFile(const NamedTunnel &tunnel)
{
    return credentialsFolder() + u'/' + tunnel.id.toString(QUuid::WithoutBraces) +
           QStringLiteral(".json");
}

bool NamedTunnelModel::isToken(const QUuid &id) const
{
    const NamedTunnel *tunnel = find(id);
    return tunnel && tunnel->kind == NamedTunnel::Kind::Token;
}

const NamedTunnel *NamedTunnelModel::find(const QUuid &id) const
{
    const auto found = std::ranges::find(m_tunnels, id, &NamedTunnel::id);
    return found == m_tunnels.cend() ? nullptr : &*found;
}

ReverseProxy *NamedTunnelModel::proxyOf(const QUuid &id) const
{
    const TunnelSession *session = m_sessions.latestFor(id);
    return session ? session->proxy() : nullptr;
}

void NamedTunnelModel::load()
{
    QString problem;
    if (std::optional<NamedTunnelList> stored = m_store.load(&problem)) {
        m_tunnels = std::move(*stored);
        Q_EMIT tunnelsChanged();
    }
    if (!problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

void NamedTunnelModel::save()
{
    if (const QString problem = m_store.save(m_tunnels); !problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

void NamedTunnelModel::add(const NamedTunnel &tunnel)
{
    m_tunnels.prepend(tunnel);
    save();
    Q_EMIT tunnelsChanged();
    start(tunnel);
}

QCoro::Task<> NamedTunnelModel::addToken(QString name, QString token, QString publicHostname)
{
    QPointer<NamedTunnelModel> self(this);
    NamedTunnel tunnel;
    tunnel.kind = NamedTunnel::Kind::Token;
    tunnel.tunnelName = name;
    tunnel.publicHostname = publicHostname;
    tunnel.hostname.clear();
    tunnel.port.clear();
    const std::shared_ptr<SecretStore> secrets = m_secrets;
    auto writing = secrets->write(secretKey(tunnel.id), token);
    const std::optional<QString> refused = co_await std::move(writing);
    if (!self) {
        co_return;
    }
    if (refused) {
        auto keeping = m_sessionSecrets.write(secretKey(tunnel.id), token);
        co_await std::move(keeping);
        Q_EMIT message(tr("No secret store would keep the token (%1): it is kept for this "
                          "session only, and %2 must be added again after Velumo restarts.")
                           .arg(*refused, name));
    }
    add(tunnel);
}

void NamedTunnelModel::remove(const NamedTunnel &tunnel)
{
    const QUuid id = tunnel.id;
    stop(tunnel);
    if (m_tunnels.removeIf([&](const NamedTunnel &listed) { return listed.id == id; }) == 0) {
        return;
    }
    save();
    Q_EMIT tunnelsChanged();
    m_options.forget(id);
    if (tunnel.kind == NamedTunnel::Kind::Token) {
        m_secrets->remove(secretKey(id));
        m_sessionSecrets.remove(secretKey(id));
    }
}

void NamedTunnelModel::restartIfRunning(const QUuid &id)
{
    if (const NamedTunnel *tunnel = find(id); tunnel && activity(id).running) {
        start(*tunnel);
    }
}

QCoro::Task<> NamedTunnelModel::start(NamedTunnel tunnel)
{
    QPointer<NamedTunnelModel> self(this);
    stop(tunnel);
    const QStringList tool = tunnelArguments({QStringLiteral("run")});
    if (tunnel.kind == NamedTunnel::Kind::CredentialsFile) {
        std::unique_ptr<ReverseProxy> proxy;
        if (m_options.get(tunnel.id).needsProxy()) {
            QString problem;
            auto starting = m_options.startProxy(tunnel.id, tunnel.hostname, tunnel.port, &problem);
            proxy = co_await std::move(starting);
            if (!self) {
                co_return;
            }
            if (!proxy) {
                Q_EMIT message(problem);
                co_return;
            }
            // Started again meanwhile: the later start wins.
            stop(tunnel);
        }
        const QString url = proxy ? QStringLiteral("127.0.0.1:%1").arg(proxy->port())
                                  : tunnel.hostname + u':' + tunnel.port;
        run(tunnel,
            tool + QStringList{QStringLiteral("--url"), url, QStringLiteral("--credentials-file"),
                               credentialsFile(tunnel), QStringLiteral("--"), tunnel.tunnelId},
            {}, std::move(proxy));
        co_return;
    }
    // The token goes in the environment: any user on the machine can read another's argv.
    const QString key = secretKey(tunnel.id);
    auto reading = m_sessionSecrets.read(key);
    std::optional<QString> token = co_await std::move(reading);
    if (!token) {
        const std::shared_ptr<SecretStore> secrets = m_secrets;
        auto fromStore = secrets->read(key);
        token = co_await std::move(fromStore);
    }
    if (!self) {
        co_return;
    }
    if (!token) {
        Q_EMIT message(tr("The token of %1 is not in the secret store any more: add the tunnel "
                          "again with its token from the Cloudflare dashboard.")
                           .arg(tunnel.tunnelName));
        co_return;
    }
    run(tunnel, tool, {{QStringLiteral("TUNNEL_TOKEN"), *token}});
}

void NamedTunnelModel::run(const NamedTunnel &tunnel, const QStringList &arguments,
                           const QMap<QString, QString> &environment,
                           std::unique_ptr<ReverseProxy> proxy)
{
    std::optional<QMap<QString, QString>> whole;
    if (!environment.isEmpty()) {
        whole.emplace();
        const QProcessEnvironment ours = QProcessEnvironment::systemEnvironment();
        for (const QString &name : ours.keys()) {
            whole->insert(name, ours.value(name));
        }
        whole->insert(environment);
    }
    ToolRun run = Shell().runFound(m_toolPath(), arguments, whole);
    auto owned = std::make_unique<TunnelSession>(std::move(run), tunnel.hostname, tunnel.port,
                                                 false, m_monitor);
    TunnelSession *session = &m_sessions.add(std::move(owned));
    session->setAddressKnown();
    session->setProxy(std::move(proxy));
    session->serve(tunnel.id);
    m_sessions.forget([this](const QUuid &listed) {
        return std::any_of(m_tunnels.cbegin(), m_tunnels.cend(),
                           [&listed](const NamedTunnel &tunnel) { return tunnel.id == listed; });
    });
    const QUuid id = tunnel.id;
    connect(&session->process(), &ToolProcess::ended, this, &NamedTunnelModel::toolEnded);
    connect(session, &TunnelSession::activityChanged, this,
            [this, id] { Q_EMIT activityChanged(id); });
    connect(session, &TunnelSession::serviceListeningChanged, this,
            [this, id] { Q_EMIT serviceListeningChanged(id); });
    session->readOutput();
    Q_EMIT activityChanged(id);
}

void NamedTunnelModel::stop(const NamedTunnel &tunnel)
{
    if (TunnelSession *session = m_sessions.latestFor(tunnel.id); session && !session->isOver()) {
        session->release(tunnel.id, true);
        Q_EMIT activityChanged(tunnel.id);
    }
}

TunnelActivity NamedTunnelModel::activity(const QUuid &id) const
{
    return m_sessions.activity(id);
}

std::optional<bool> NamedTunnelModel::serviceListening(const QUuid &id) const
{
    return m_sessions.serviceListening(id);
}

void NamedTunnelModel::stopAll(std::chrono::milliseconds grace)
{
    m_sessions.stopAll(grace);
    m_cloudflare.stopAll(grace);
    m_account.stop(grace);
}

int NamedTunnelModel::runningToolCount() const
{
    return m_sessions.runningCount() + m_cloudflare.runningCount() +
           (m_account.isRunning() ? 1 : 0);
}

} // namespace Velumo
