// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "LocalServiceMonitor.h"
#include "Shell.h"
#include "ToolLog.h"
#include "Tunnel.h"
#include "TunnelStore.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>
#include <vector>

namespace Velumo {

// Encodes the stored list exactly as it is kept on disk.
struct TunnelEncoder {
    QByteArray encode(const TunnelList &tunnels) const { return encodeTunnels(tunnels); }
};

struct TunnelDecoder {
    std::optional<TunnelList> decode(const QByteArray &json, DecodeError *error = nullptr) const
    {
        return decodeTunnels(json, error);
    }
};

// What a tunnel's tool is doing, as far as its output and exit tell.
enum class TunnelState {
    Idle,          // no tool has run for it since it was loaded
    Starting,      // tool launched, no address yet
    Announced,     // address known, no connection to the edge yet
    Connected,     // the tool registered a connection; the address is served
    Stopped,       // stopped by the user
    Ended,         // the tool exited by itself
    FailedToStart, // the tool could not be launched
};

struct TunnelActivity {
    TunnelState state = TunnelState::Idle;
    int exitCode = 0;
    bool crashed = false;
    // A tool of ours is serving this tunnel right now.
    bool running = false;
    // Output of the latest tool started for this tunnel; null before the first.
    std::shared_ptr<ToolLog> log;
};

// The controller behind one main window: owns the tunnel list, starts and owns every tool run
// for it, and keeps the store. Everything runs on the main thread.
class ContentModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ContentModel)

public:
    explicit ContentModel(QObject *parent = nullptr);
    explicit ContentModel(TunnelStore store, QObject *parent = nullptr);
    ~ContentModel() override;

    const TunnelList &tunnels() const { return m_tunnels; }
    bool loading() const { return m_loading; }
    // One line saying why the last thing the user asked for did not work, or what went wrong
    // with the stored list. Empty until something happens.
    QString statusMessage() const { return m_statusMessage; }

    // Starts the tool for hostname:port and records every address it announces as a new
    // tunnel. Runs until the tool ends; callers start it and do not wait.
    QCoro::Task<> createTunnel(QString hostname, QString port);
    // Starts the tool again for the listed tunnel with this id and records the address on it.
    QCoro::Task<> restartTunnel(Tunnel tunnel);
    void saveTunnels(const TunnelList &list);
    std::optional<TunnelList> readStoredTunnels() const;
    void loadTunnels();
    // Removes every listed tunnel equal to `tunnel` and saves; tools left serving nothing stop.
    void deleteTunnel(const Tunnel &argument);

    // Ends the tool serving this tunnel and clears its address; the record stays listed and
    // can be started again. Nothing is saved.
    void stopTunnel(const Tunnel &tunnel);
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

    const TunnelStore &store() const { return m_store; }

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
    struct ToolEntry {
        quint64 serial = 0;
        std::shared_ptr<ToolProcess> process;
        // Listed tunnels whose address this tool serves.
        QSet<QUuid> serves;
        std::shared_ptr<ToolLog> log;
        bool connected = false;
    };

    void setLoading(bool loading);
    void setStatusMessage(const QString &message);
    qsizetype indexOfTunnel(const QUuid &id) const;
    ToolEntry *toolEntry(quint64 serial);
    quint64 startTool(const QString &hostname, const QString &port, OutputStream &output);
    void forgetTool(quint64 serial);
    void stopToolsLeftServingNothing();
    void toolEnded();
    // What creations and restarts do with every chunk; returns the address it announces.
    std::optional<QUrl> readChunk(quint64 serial, const StreamedTerminalOutput &chunk,
                                  QString &lastLine);
    void handleChunk(quint64 serial, const QString &text);
    void toolRunFinished(quint64 serial);
    void setActivity(const QUuid &id, TunnelState state, quint64 serial);
    bool isServing(const QUuid &id) const;
    QString endedWithoutAddressMessage(quint64 serial, const QString &lastLine) const;

    TunnelList m_tunnels;
    bool m_loading = false;
    Shell m_shell;
    TunnelStore m_store;
    TunnelEncoder m_encoder;
    TunnelDecoder m_decoder;

    QString m_statusMessage;
    std::optional<QString> m_toolPath;
    std::vector<ToolEntry> m_tools;
    quint64 m_nextSerial = 1;
    int m_waitingCreations = 0;
    QHash<QUuid, quint64> m_latestRestart;
    // The tool currently serving each tunnel, and what each tunnel's tool is doing.
    QHash<QUuid, quint64> m_toolOf;
    QHash<QUuid, TunnelActivity> m_activity;
    LocalServiceMonitor m_serviceMonitor;
    // Checks made at Create, before the tunnel has an id, with what they check.
    QHash<QUuid, QString> m_pendingChecks;
    bool m_stoppingAll = false;
    // Whether the stored file is known to hold a list we can read (or nothing): only then may a
    // save replace it without first keeping a copy.
    bool m_storeChecked = false;
};

} // namespace Velumo
