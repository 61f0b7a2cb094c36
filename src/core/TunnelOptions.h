// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"

#include "proxy/Inspection.h"
#include "proxy/PasswordGate.h"
#include "proxy/ProxyHost.h"
#include "proxy/ReverseProxy.h"

#include <QCoreApplication>
#include <QHash>
#include <QUrl>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace Velumo {

// What the user chose for each tunnel during this run, in memory only (the stored files never
// change for it): HTTP/2, inspecting its requests, a password for its visitors. Also what
// those need: the thread every proxy runs on, the requests captured, their replays.
class TunnelOptions
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::TunnelOptions)

public:
    struct Options {
        // Start the tool with --protocol http2 (networks that block QUIC's UDP).
        bool overHttp2 = false;
        // Run the tunnel through a local proxy that shows its requests.
        bool inspect = false;
        // Visitors must pass this before reaching the service; it also needs the proxy.
        std::shared_ptr<PasswordGate> gate;

        bool needsProxy() const { return inspect || gate; }
    };

    // How the options reach the tunnels: set by the model that runs them.
    struct Tunnels {
        // The proxy a tunnel's running tool points at, if any.
        std::function<ReverseProxy *(const QUuid &)> proxyOf;
        // Starts a running tunnel again, so that it picks up what changed.
        std::function<void(const QUuid &)> restartIfRunning;
        // A tunnel from the dashboard, whose visitors never pass through Velumo.
        std::function<bool(const QUuid &)> fromDashboard;
        // Inspecting or the password changed for this tunnel.
        std::function<void(const QUuid &)> changed;
    };
    void setTunnels(Tunnels tunnels) { m_tunnels = std::move(tunnels); }

    Options get(const QUuid &id) const { return m_options.value(id); }
    Options &edit(const QUuid &id) { return m_options[id]; }
    void forget(const QUuid &id);

    // Runs the tunnel through the proxy that shows its requests, or stops doing so; a running
    // tunnel starts again (a quick tunnel then gets a new address). Returns why it was
    // refused, or nothing.
    QString setInspected(const QUuid &id, bool inspect);
    // Visitors must give `password` (HTTP Basic, any user name) or come with the link with key;
    // nothing lifts the gate, at once. A running tunnel not yet behind the proxy starts again
    // through it. Returns why it was refused, or nothing.
    QString setPassword(const QUuid &id, const std::optional<QString> &password);
    // `address` with the key that lets a browser in; nothing without a password.
    std::optional<QUrl> linkWithKey(const QUuid &id, const QUrl &address) const;

    Inspection &inspection() { return m_inspection; }

    // Starts a proxy in front of host:port with the tunnel's gate and capture; refused when
    // the port is not a number or the proxy could not listen.
    QCoro::Task<Result<std::unique_ptr<ReverseProxy>>> startProxy(QUuid id, QString host,
                                                                  QString port);

private:
    // Why visitors could not be made to pass through Velumo's proxy; empty when they can.
    QString proxyRefusal(const QUuid &id) const;
    void announce(const QUuid &id) const;

    QHash<QUuid, Options> m_options;
    Tunnels m_tunnels;
    // Declared before the proxy thread: its sinks may still deliver while proxies end.
    Inspection m_inspection;
    ProxyHost m_host;
};

} // namespace Velumo
