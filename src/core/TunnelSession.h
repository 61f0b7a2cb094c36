// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Shell.h"
#include "core/ToolDiagnosis.h"
#include "core/ToolLog.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QUrl>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace Velumo {

class LocalServiceMonitor;
class ReverseProxy;
struct ServiceTls;

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
    // What went wrong, in plain words, when the output says; empty otherwise.
    QString problem;
    // The edge cannot be reached over QUIC; starting again over HTTP/2 may help.
    bool quicBlocked = false;
    // The tool was started with --protocol http2.
    bool overHttp2 = false;
    // Connections to the edge the tool holds now (a named tunnel keeps up to four).
    int connections = 0;
    // Visitors reach the service through Velumo's proxy.
    bool throughProxy = false;
    // While the tool runs: a config file's ingress rules it follows instead of the service
    // typed, said in plain words; empty when there are none.
    QString ingressRules;
};

// One run of the tool: owns the process and its log, follows what the tool writes and how it
// ends, and checks the local service it points at. A creation's run serves every tunnel made
// from an address it announced; a restart's run serves the one tunnel it was started for.
class TunnelSession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelSession)

public:
    TunnelSession(ToolRun run, QString hostname, QString port, bool overHttp2,
                  LocalServiceMonitor &monitor, QObject *parent = nullptr);
    ~TunnelSession() override;

    // Reads the tool's output until it ends, announcing every address found in it. Started
    // once, by whoever started the run; returns when the output has ended.
    QCoro::Task<> readOutput();
    // For a run whose address is known before it starts (a named tunnel): nothing is looked
    // for in the output, and the run counts as announced from the start.
    void setAddressKnown();
    // The proxy the tool points at, if any; it stops with the run.
    void setProxy(std::unique_ptr<ReverseProxy> proxy);
    // What the run's config file does instead of the service typed, in plain words.
    void setIngressRules(const QString &warning) { m_ingressRules = warning; }
    ReverseProxy *proxy() const { return m_proxy.get(); }

    const QString &hostname() const { return m_hostname; }
    const QString &port() const { return m_port; }
    bool overHttp2() const { return m_overHttp2; }
    bool quicBlocked() const { return m_diagnosis.quicBlocked(); }
    ToolProcess &process() const { return *m_process; }
    const std::shared_ptr<ToolLog> &log() const { return m_log; }
    TunnelState state() const { return m_state; }
    // An address has been found in the output.
    bool announced() const { return m_announced; }
    // The output has ended and the run is over.
    bool isOver() const { return m_over; }
    // Whether the local service accepts connections; unknown until checked and once over.
    std::optional<bool> serviceListening() const;
    // How an https:// service answered the handshake; unknown until checked and once over.
    std::optional<ServiceTls> serviceTls() const;

    void serve(const QUuid &id);
    bool hasServed(const QUuid &id) const { return m_served.contains(id); }
    const QList<QUuid> &served() const { return m_served; }
    // Stops serving a tunnel (stopped, restarted elsewhere or deleted); when the run served
    // tunnels and none is left, the tool is stopped.
    void release(const QUuid &id, bool byUser);
    bool servesAny() const { return m_served.size() > m_released.size(); }
    TunnelActivity activity(const QUuid &id) const;

    // SIGTERM now, SIGKILL after `grace`.
    void stop(std::chrono::milliseconds grace = ToolProcess::defaultStopGrace);

    // Why the run ended without an address, for the status line; empty when the user stopped it.
    QString endedWithoutAddressMessage() const;
    // How the tool ended after announcing, for the status line.
    QString endedMessage() const;

Q_SIGNALS:
    void addressAnnounced(const QUrl &url);
    // The state, the exit, the log or a problem found in the output changed.
    void activityChanged();
    void serviceListeningChanged(bool listening);
    void serviceTlsChanged();

private:
    void handleChunk(const QString &text);
    void finish();

    QString m_hostname;
    QString m_port;
    bool m_overHttp2;
    QString m_ingressRules;
    std::shared_ptr<ToolProcess> m_process;
    std::unique_ptr<ReverseProxy> m_proxy;
    OutputStream m_output;
    std::shared_ptr<ToolLog> m_log;
    LocalServiceMonitor &m_monitor;
    QUuid m_checkKey = QUuid::createUuid();
    TunnelState m_state = TunnelState::Starting;
    QList<QUuid> m_served;
    QSet<QUuid> m_released;
    QSet<QUuid> m_stoppedByUser;
    QString m_lastLine;
    ToolDiagnosis m_diagnosis;
    bool m_announced = false;
    bool m_addressKnown = false;
    int m_connections = 0;
    bool m_over = false;
};

} // namespace Velumo
