// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/CloudflareAccount.h"
#include "core/CloudflareTunnels.h"
#include "core/NamedTunnel.h"
#include "core/SecretStore.h"
#include "core/SessionList.h"
#include "core/TunnelOptions.h"
#include "core/TunnelSession.h"
#include "core/TunnelStore.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Velumo {

class LocalServiceMonitor;

// The named tunnels: their list, the account they need, and one session per run. Tokens live
// in a SecretStore, never in the list's file. Runs on the main thread.
class NamedTunnelModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NamedTunnelModel)

public:
    NamedTunnelModel(NamedTunnelStore store, LocalServiceMonitor &monitor, TunnelOptions &options,
                     std::function<QString()> toolPath, QObject *parent = nullptr);
    ~NamedTunnelModel() override;

    const NamedTunnelList &tunnels() const { return m_tunnels; }
    // Whether this is a listed tunnel from the dashboard (run with a token).
    bool isToken(const QUuid &id) const;
    // The listed tunnel with this id, or null.
    const NamedTunnel *find(const QUuid &id) const;
    // The proxy the tunnel's running tool points at, if any.
    ReverseProxy *proxyOf(const QUuid &id) const;
    CloudflareAccount &account() { return m_account; }
    CloudflareTunnels &cloudflare() { return m_cloudflare; }
    void load();

    // The desktop's secret store; until one is set, tokens are kept in memory.
    void setSecretStore(std::shared_ptr<SecretStore> store) { m_secrets = std::move(store); }

    // $XDG_DATA_HOME/velumo/credentials, made with mode 0700; never the config folder.
    static QString credentialsFolder();
    static QString credentialsFile(const NamedTunnel &tunnel);

    // Lists a tunnel (first) and runs it.
    void add(const NamedTunnel &tunnel);
    // Lists a tunnel made in the dashboard, keeping its token in the secret store, and runs
    // it. Without a secret store the token is kept for this session only, and the user told.
    QCoro::Task<> addToken(QString name, QString token, QString publicHostname);
    // Removes the tunnel from the list, stopping its tool; its credentials file stays, a
    // token is deleted with it.
    void remove(const NamedTunnel &tunnel);

    QCoro::Task<> start(NamedTunnel tunnel);
    void stop(const NamedTunnel &tunnel);
    // Starts the tunnel again when its tool runs, as after a change to how it is served.
    void restartIfRunning(const QUuid &id);
    TunnelActivity activity(const QUuid &id) const;
    std::optional<bool> serviceListening(const QUuid &id) const;

    void stopAll(std::chrono::milliseconds grace);
    int runningToolCount() const;

Q_SIGNALS:
    // Emitted after the list changed.
    void tunnelsChanged();
    void activityChanged(const QUuid &id);
    void serviceListeningChanged(const QUuid &id);
    void message(const QString &text);
    void toolEnded();

private:
    void run(const NamedTunnel &tunnel, const QStringList &arguments,
             const QMap<QString, QString> &environment, std::unique_ptr<ReverseProxy> proxy = {});
    void save();

    NamedTunnelStore m_store;
    LocalServiceMonitor &m_monitor;
    TunnelOptions &m_options;
    std::function<QString()> m_toolPath;
    CloudflareAccount m_account;
    CloudflareTunnels m_cloudflare;
    std::shared_ptr<SecretStore> m_secrets;
    // Tokens the secret store would not keep, for this session.
    MemorySecretStore m_sessionSecrets;
    NamedTunnelList m_tunnels;
    SessionList m_sessions;
};

} // namespace Velumo
