// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/NamedTunnelModel.h"

#include "core/Coroutine.h"
#include "core/TunnelRegistry.h"

#include <QPointer>
#include <QStandardPaths>

namespace Velumo {

NamedTunnelModel::NamedTunnelModel(TunnelRegistry &registry, std::function<QString()> toolPath,
                                   QObject *parent)
    : QObject(parent)
    , m_registry(registry)
    , m_account(toolPath)
    , m_cloudflare(*this, toolPath)
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

NamedTunnelList NamedTunnelModel::tunnels() const
{
    return m_registry.namedTunnels();
}

void NamedTunnelModel::setSecretStore(std::shared_ptr<SecretStore> store)
{
    m_registry.runs().setSecretStore(std::move(store));
}

void NamedTunnelModel::add(const NamedTunnel &tunnel)
{
    m_registry.addNamed(tunnel);
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
    const QString key = TunnelRuns::secretKey(tunnel.id);
    const std::shared_ptr<SecretStore> secrets = m_registry.runs().secrets();
    auto writing = secrets->write(key, token);
    const std::optional<QString> refused = co_await std::move(writing);
    if (!self) {
        co_return;
    }
    if (refused) {
        auto keeping = m_registry.runs().sessionSecrets().write(key, token);
        co_await std::move(keeping);
        Q_EMIT message(tr("No secret store would keep the token (%1): it is kept for this "
                          "session only, and %2 must be added again after Velumo restarts.")
                           .arg(*refused, name));
    }
    add(tunnel);
}

void NamedTunnelModel::remove(const NamedTunnel &tunnel)
{
    m_registry.remove(tunnel.id);
}

void NamedTunnelModel::start(const NamedTunnel &tunnel)
{
    startOwned(&m_registry, m_registry.start(tunnel.id));
}

void NamedTunnelModel::stop(const NamedTunnel &tunnel)
{
    m_registry.stop(tunnel.id);
}

TunnelActivity NamedTunnelModel::activity(const QUuid &id) const
{
    return m_registry.runs().activity(id);
}

void NamedTunnelModel::stopAll(std::chrono::milliseconds grace)
{
    m_cloudflare.stopAll(grace);
    m_account.stop(grace);
}

int NamedTunnelModel::runningToolCount() const
{
    return m_cloudflare.runningCount() + (m_account.isRunning() ? 1 : 0);
}

} // namespace Velumo
