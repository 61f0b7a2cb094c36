// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelOptions.h"

#include "core/CloudflaredConfig.h"

#include <qcoro/qcorosignal.h>

namespace Velumo {

QString TunnelOptions::proxyRefusal(bool fromDashboard)
{
    if (fromDashboard) {
        return tr("A tunnel from the dashboard reaches the service set there: its visitors "
                  "cannot pass through Velumo.");
    }
    if (const std::optional<QString> config = configFileWithIngress()) {
        return tr("%1 has ingress rules, which cloudflared follows instead of Velumo's proxy: "
                  "visitors would bypass it.")
            .arg(*config);
    }
    return {};
}

QCoro::Task<std::unique_ptr<ReverseProxy>> TunnelOptions::startProxy(QUuid id, QString host,
                                                                     QString port, QString *problem)
{
    bool numeric = false;
    const uint number = port.toUInt(&numeric);
    if (!numeric || number == 0 || number > 65535) {
        *problem = tr("Requests can only be inspected for a numeric port, not \"%1\".").arg(port);
        co_return std::unique_ptr<ReverseProxy>();
    }
    const Options options = get(id);
    auto proxy = std::make_unique<ReverseProxy>(m_host, ProxyTarget{host, quint16(number)});
    proxy->setGate(options.gate);
    proxy->setSink(options.sink);
    proxy->start();
    // Listening on 127.0.0.1 at a port the system picks takes no time; the wait only guards
    // against a proxy thread that never answers.
    auto listening = qCoro(proxy.get(), &ReverseProxy::listening, std::chrono::seconds(5));
    const std::optional<quint16> port_ = co_await std::move(listening);
    if (!port_) {
        *problem = tr("The local proxy for inspecting requests could not start.");
        co_return std::unique_ptr<ReverseProxy>();
    }
    co_return proxy;
}

} // namespace Velumo
