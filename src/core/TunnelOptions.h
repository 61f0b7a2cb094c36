// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ExchangeSink.h"
#include "proxy/ProxyHost.h"
#include "proxy/RequestGate.h"
#include "proxy/ReverseProxy.h"

#include <QCoreApplication>
#include <QHash>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <memory>

namespace Velumo {

// What the user chose for each tunnel during this run: the stored files never change for it.
// Also the thread that every inspecting proxy runs on.
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
        std::shared_ptr<RequestGate> gate;
        // Where the proxy hands what it sees.
        std::shared_ptr<ExchangeSink> sink;

        bool needsProxy() const { return inspect || gate; }
    };

    Options get(const QUuid &id) const { return m_options.value(id); }
    Options &edit(const QUuid &id) { return m_options[id]; }
    void forget(const QUuid &id) { m_options.remove(id); }

    // Why visitors could not be made to pass through Velumo's proxy: a config file's ingress
    // rules override --url, or the tunnel is a dashboard one. Empty when they can.
    static QString proxyRefusal(bool fromDashboard);

    // Starts a proxy in front of host:port with the tunnel's gate and sink; nothing when the
    // port is not a number or the proxy could not listen (`problem` says why).
    QCoro::Task<std::unique_ptr<ReverseProxy>> startProxy(QUuid id, QString host, QString port,
                                                          QString *problem);

private:
    QHash<QUuid, Options> m_options;
    ProxyHost m_host;
};

} // namespace Velumo
