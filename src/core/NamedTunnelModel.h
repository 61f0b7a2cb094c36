// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/CloudflareAccount.h"
#include "core/NamedTunnel.h"
#include "core/ToolCommand.h"
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

// The named tunnels: their list, the account they need, the commands that make, route and
// delete them at Cloudflare, and one session per run. Runs on the main thread.
class NamedTunnelModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NamedTunnelModel)

public:
    // One-shot commands talk to Cloudflare's API; they give up after this long.
    static constexpr std::chrono::seconds commandTimeout{60};

    NamedTunnelModel(NamedTunnelStore store, LocalServiceMonitor &monitor,
                     std::function<QString()> toolPath, QObject *parent = nullptr);
    ~NamedTunnelModel() override;

    const NamedTunnelList &tunnels() const { return m_tunnels; }
    CloudflareAccount &account() { return m_account; }
    void load();

    // $XDG_DATA_HOME/velumo/credentials, made with mode 0700; never the config folder.
    static QString credentialsFolder();
    static QString credentialsFile(const NamedTunnel &tunnel);

    struct Outcome {
        bool ok = false;
        // What to tell the user; on success it may carry a warning.
        QString message;
        // A tunnel made at Cloudflare by a creation that failed after; the user may delete it.
        std::optional<NamedTunnel> halfMade;
    };
    // Creates the tunnel at Cloudflare with its credentials file, routes the public hostname to
    // it, lists it and runs it.
    QCoro::Task<Outcome> create(QString name, QString publicHostname, QString hostname,
                                QString port);
    // Deletes the tunnel at Cloudflare (its DNS record stays) and its credentials file.
    QCoro::Task<Outcome> deleteOnCloudflare(NamedTunnel tunnel);
    // Removes the tunnel from the list, stopping its tool; its credentials file stays.
    void remove(const NamedTunnel &tunnel);

    void start(const NamedTunnel &tunnel);
    void stop(const NamedTunnel &tunnel);
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
    QCoro::Task<CommandResult> command(QStringList arguments);
    TunnelSession *sessionOf(const QUuid &id) const;
    void save();

    NamedTunnelStore m_store;
    LocalServiceMonitor &m_monitor;
    std::function<QString()> m_toolPath;
    CloudflareAccount m_account;
    NamedTunnelList m_tunnels;
    std::vector<std::unique_ptr<TunnelSession>> m_sessions;
    std::vector<std::shared_ptr<ToolProcess>> m_commands;
};

} // namespace Velumo
