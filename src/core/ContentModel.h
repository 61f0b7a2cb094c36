// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/NamedTunnelModel.h"
#include "core/Tunnel.h"
#include "core/TunnelRegistry.h"
#include "core/TunnelStore.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <optional>

namespace Velumo {

// The controller behind one main window: the tunnel list and the operations on it. Tunnels of
// every kind are listed in its registry, the list model the window shows; `tunnels` is the
// quick tunnels' part of it, as stored. Every run of the tool belongs to the registry, so no
// tool outlives the model. Everything runs on the main thread.
class ContentModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ContentModel)

public:
    explicit ContentModel(QObject *parent = nullptr);
    // The named tunnels' file is kept beside the store's.
    explicit ContentModel(TunnelStore store, QObject *parent = nullptr);
    ~ContentModel() override;

    // Every listed tunnel, of every kind, as a list model.
    TunnelRegistry &registry() { return m_registry; }
    // The account and Cloudflare's commands for named tunnels.
    NamedTunnelModel &named() { return m_named; }

    // The quick tunnels, in the list's order.
    TunnelList tunnels() const { return m_registry.quickTunnels(); }
    bool loading() const { return m_loading; }
    // One line saying why the last thing the user asked for did not work, or what went wrong
    // with the stored list. Empty until something happens.
    QString statusMessage() const { return m_statusMessage; }
    // Says something in the status line (what the window refused to do, say).
    void setStatusMessage(const QString &message);
    // The log of the creation that failed, while the status line says why; null otherwise.
    const std::shared_ptr<ToolLog> &failedRunLog() const { return m_failedRunLog; }

    // Starts the tool for hostname:port and records every address it announces as a new
    // tunnel, the first with `id` when one is given. Runs until the tool ends; callers start
    // it and do not wait.
    QCoro::Task<> createTunnel(QString hostname, QString port, QUuid id = {},
                               std::optional<NewTunnelDefaults> chosen = std::nullopt);
    // Starts the tool again for the listed tunnel with this id and records the address on it;
    // nothing while it starts or runs. A tunnel last started over HTTP/2 is started over
    // HTTP/2 again.
    QCoro::Task<> restartTunnel(Tunnel tunnel);
    // Starts the tunnel again with --protocol http2 from now on (in this run only): for
    // networks that block the UDP that QUIC needs.
    void restartOverHttp2(const QUuid &id) { m_registry.restartOverHttp2(id); }
    // The thread every proxy runs on, the app's; it must outlive the model.
    void setProxyHost(ProxyHost *host) { m_registry.runs().setProxyHost(host); }
    // What new quick and named tunnels start with (Preferences); all off until set.
    void setNewTunnelDefaults(NewTunnelDefaults defaults) { m_registry.setDefaults(defaults); }
    void saveTunnels(const TunnelList &list) { m_registry.saveQuick(list); }
    std::optional<TunnelList> readStoredTunnels() const { return m_registry.quickStore().read(); }
    // Loads the quick-tunnel list as stored, without addresses, and the named tunnels.
    void loadTunnels() { m_registry.load(); }
    // Removes every listed quick tunnel equal to `tunnel` and saves; tools left serving
    // nothing stop.
    void deleteTunnel(const Tunnel &tunnel) { m_registry.removeQuickEqualTo(tunnel); }

    // Ends the tool serving this tunnel and clears its address; the record stays listed and
    // can be started again. Nothing is saved.
    void stopTunnel(const Tunnel &tunnel) { m_registry.stop(tunnel.id); }
    // Starts or stops the tool of a listed tunnel of any kind.
    void setRunning(const QUuid &id, bool run);
    TunnelActivity activity(const QUuid &id) const { return m_registry.runs().activity(id); }
    // Whether something accepts connections at the tunnel's local hostname and port; checked
    // while its tool runs. Unknown before the first check and for tunnels not running.
    std::optional<bool> serviceListening(const QUuid &id) const;

    // Stops every tool (gracefully, SIGKILL after the grace period); `toolsStopped` follows
    // once none is running, at once when none is.
    void stopAllTools(std::chrono::milliseconds grace = ToolProcess::defaultStopGrace);
    int runningToolCount() const;

    // Where the tool is started from; by default the looked-up cloudflared. Tests point this
    // at a stand-in.
    void setToolPath(std::optional<QString> path) { m_toolPath = std::move(path); }
    // The tool that a start would use now; empty when none can be found (looked up again).
    QString toolPath() const;

Q_SIGNALS:
    // Emitted before every write of `tunnels` or `loading`.
    void objectWillChange();
    void statusMessageChanged(const QString &message);
    void toolsStopped();
    // A tool announced an address for this tunnel (created or restarted).
    void tunnelReady(const Velumo::Tunnel &tunnel);
    // Its tool registered its first connection: the address answers now.
    void tunnelReachable(const Velumo::Tunnel &tunnel);
    // A creation's tool ended without an address; `id` is the one it was given, if any.
    void creationFailed(const QUuid &id, const QString &reason);

private:
    void setLoading(bool loading);
    // The first address of a creation takes the id its choices were made for.
    void addCreatedTunnel(TunnelSession &session, const QUrl &url, const QUuid &id);
    void creationEnded(const QUuid &id, const QString &message, std::shared_ptr<ToolLog> log = {});
    void toolEnded();

    bool m_loading = false;
    QString m_statusMessage;
    std::shared_ptr<ToolLog> m_failedRunLog;
    std::optional<QString> m_toolPath;
    TunnelRegistry m_registry;
    NamedTunnelModel m_named;
    int m_waitingCreations = 0;
    bool m_stoppingAll = false;
};

} // namespace Velumo
