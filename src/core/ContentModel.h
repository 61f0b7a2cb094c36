// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/LocalServiceMonitor.h"
#include "core/NamedTunnelModel.h"
#include "core/SessionList.h"
#include "core/Shell.h"
#include "core/Tunnel.h"
#include "core/TunnelOptions.h"
#include "core/TunnelSession.h"
#include "core/TunnelStore.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>
#include <vector>

namespace Velumo {

// The controller behind one main window: the tunnel list and the operations on it. Every run
// of the tool is a TunnelSession the model owns, so no tool outlives it. Everything runs on the
// main thread.
class ContentModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ContentModel)

public:
    explicit ContentModel(QObject *parent = nullptr);
    // The named tunnels' file is kept beside the store's.
    explicit ContentModel(TunnelStore store, QObject *parent = nullptr);
    ~ContentModel() override;

    // The named tunnels, listed with the quick ones; their tools count among this model's.
    NamedTunnelModel &named() { return m_named; }

    const TunnelList &tunnels() const { return m_tunnels; }
    bool loading() const { return m_loading; }
    // One line saying why the last thing the user asked for did not work, or what went wrong
    // with the stored list. Empty until something happens.
    QString statusMessage() const { return m_statusMessage; }
    // Says something in the status line (what the window refused to do, say).
    void setStatusMessage(const QString &message);

    // Starts the tool for hostname:port and records every address it announces as a new
    // tunnel. Runs until the tool ends; callers start it and do not wait.
    QCoro::Task<> createTunnel(QString hostname, QString port);
    // Starts the tool again for the listed tunnel with this id and records the address on it.
    // A tunnel last started over HTTP/2 is started over HTTP/2 again.
    QCoro::Task<> restartTunnel(Tunnel tunnel);
    // As restartTunnel, with --protocol http2 from now on for this tunnel (in this run only):
    // for networks that block the UDP that QUIC needs.
    QCoro::Task<> restartOverHttp2(Tunnel tunnel);

    // What the user chose for each tunnel (quick or named) in this run: inspecting requests,
    // a password for visitors.
    TunnelOptions &options() { return m_options; }
    void saveTunnels(const TunnelList &list);
    std::optional<TunnelList> readStoredTunnels() const { return m_store.read(); }
    // Loads the quick-tunnel list as stored, without addresses, and the named tunnels.
    void loadTunnels();
    // Removes every listed tunnel equal to `tunnel` and saves; tools left serving nothing stop.
    void deleteTunnel(const Tunnel &argument);

    // Ends the tool serving this tunnel and clears its address; the record stays listed and
    // can be started again. Nothing is saved.
    void stopTunnel(const Tunnel &tunnel);
    // Starts or stops the tool of a listed tunnel, quick or named.
    void setRunning(const QUuid &id, bool run);
    TunnelActivity activity(const QUuid &id) const;
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
    // The state, running flag or log of this tunnel changed.
    void activityChanged(const QUuid &id);
    // A tool announced an address for this tunnel (created or restarted).
    void tunnelReady(const Velumo::Tunnel &tunnel);
    void serviceListeningChanged(const QUuid &id);

private:
    void setLoading(bool loading);
    qsizetype indexOfTunnel(const QUuid &id) const;
    TunnelSession &startSession(const QString &hostname, const QString &port, bool overHttp2,
                                std::unique_ptr<ReverseProxy> proxy = {});
    void restartIfRunning(const QUuid &id);
    void addCreatedTunnel(TunnelSession &session, const QUrl &url);
    void setRestartedAddress(TunnelSession &session, const QUuid &id, const QUrl &url);
    void sessionChanged(TunnelSession &session);
    void sessionServiceChanged(TunnelSession &session, bool listening);
    void sessionOver(TunnelSession &session);
    // Drops runs that are over and are no listed tunnel's latest.
    void forgetSessions();
    void toolEnded();

    TunnelList m_tunnels;
    bool m_loading = false;
    Shell m_shell;
    TunnelStore m_store;
    QString m_statusMessage;
    std::optional<QString> m_toolPath;
    LocalServiceMonitor m_serviceMonitor;
    TunnelOptions m_options;
    SessionList m_sessions;
    NamedTunnelModel m_named;
    int m_waitingCreations = 0;
    bool m_stoppingAll = false;
};

} // namespace Velumo
