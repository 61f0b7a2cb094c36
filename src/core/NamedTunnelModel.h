// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/CloudflareAccount.h"
#include "core/CloudflareTunnels.h"
#include "core/NamedTunnel.h"
#include "core/SecretStore.h"
#include "core/TunnelSession.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace Velumo {

class TunnelRegistry;

// What named tunnels need beyond the list: the account, the one-shot commands at Cloudflare,
// and a dashboard token's place in the secret store. The tunnels themselves are listed, run
// and removed by the registry, with every other kind. Runs on the main thread.
class NamedTunnelModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NamedTunnelModel)

public:
    NamedTunnelModel(TunnelRegistry &registry, std::function<QString()> toolPath,
                     QObject *parent = nullptr);
    ~NamedTunnelModel() override;

    // The listed named tunnels, in the list's order.
    NamedTunnelList tunnels() const;
    CloudflareAccount &account() { return m_account; }
    CloudflareTunnels &cloudflare() { return m_cloudflare; }

    // The desktop's secret store; until one is set, tokens are kept in memory.
    void setSecretStore(std::shared_ptr<SecretStore> store);

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
    void start(const NamedTunnel &tunnel);
    void stop(const NamedTunnel &tunnel);
    TunnelActivity activity(const QUuid &id) const;

    // The account's and Cloudflare commands' tools.
    void stopAll(std::chrono::milliseconds grace);
    int runningToolCount() const;

Q_SIGNALS:
    void message(const QString &text);
    void toolEnded();

private:
    TunnelRegistry &m_registry;
    CloudflareAccount m_account;
    CloudflareTunnels m_cloudflare;
};

} // namespace Velumo
