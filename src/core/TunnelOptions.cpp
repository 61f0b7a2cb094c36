// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelOptions.h"

#include "core/CloudflaredConfig.h"
#include "core/PortNumber.h"

#include <qcoro/qcorosignal.h>

namespace Velumo {

namespace {

QString key(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

} // namespace

void TunnelOptions::forget(const QUuid &id)
{
    m_options.remove(id);
    m_inspection.captures().clear(key(id));
}

QString TunnelOptions::proxyRefusal(const QUuid &id) const
{
    if (m_tunnels.fromDashboard && m_tunnels.fromDashboard(id)) {
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

QString TunnelOptions::setInspected(const QUuid &id, bool inspect)
{
    if (const QString refusal = inspect ? proxyRefusal(id) : QString(); !refusal.isEmpty()) {
        return refusal;
    }
    if (m_options.value(id).inspect != inspect) {
        edit(id).inspect = inspect;
        if (m_tunnels.restartIfRunning) {
            m_tunnels.restartIfRunning(id);
        }
        announce(id);
    }
    return {};
}

QString TunnelOptions::setPassword(const QUuid &id, const std::optional<QString> &password)
{
    ReverseProxy *proxy = m_tunnels.proxyOf ? m_tunnels.proxyOf(id) : nullptr;
    Options &options = edit(id);
    if (!password) {
        options.gate.reset();
        if (proxy) {
            proxy->setGate(nullptr);
        }
        announce(id);
        return {};
    }
    if (password->size() < PasswordGate::shortest) {
        return tr("A password needs at least %1 characters.").arg(PasswordGate::shortest);
    }
    if (const QString refusal = proxyRefusal(id); !refusal.isEmpty()) {
        return refusal;
    }
    if (options.gate) {
        options.gate->setPassword(*password);
        return {};
    }
    options.gate = std::make_shared<PasswordGate>(*password);
    if (proxy) {
        proxy->setGate(options.gate);
    } else if (m_tunnels.restartIfRunning) {
        m_tunnels.restartIfRunning(id);
    }
    announce(id);
    return {};
}

void TunnelOptions::announce(const QUuid &id) const
{
    if (m_tunnels.changed) {
        m_tunnels.changed(id);
    }
}

std::optional<QUrl> TunnelOptions::linkWithKey(const QUuid &id, const QUrl &address) const
{
    const std::shared_ptr<PasswordGate> gate = m_options.value(id).gate;
    return gate ? std::optional<QUrl>(gate->linkWithKey(address)) : std::nullopt;
}

QCoro::Task<Result<std::unique_ptr<ReverseProxy>>> TunnelOptions::startProxy(QUuid id,
                                                                             QString host,
                                                                             QString port)
{
    const std::optional<quint16> number = parsePort(port);
    if (!number) {
        co_return Refusal{
            tr("Visitors can pass through Velumo only to a numeric port, not \"%1\".").arg(port)};
    }
    const Options options = get(id);
    auto proxy = std::make_unique<ReverseProxy>(m_host, ProxyTarget{host, *number});
    proxy->setGate(options.gate);
    proxy->setSink(options.inspect ? m_inspection.captures().sinkFor(key(id)) : nullptr);
    proxy->start();
    // Listening on 127.0.0.1 at a port the system picks takes no time; the wait only guards
    // against a proxy thread that never answers.
    auto listening = qCoro(proxy.get(), &ReverseProxy::listening, std::chrono::seconds(5));
    const std::optional<quint16> listened = co_await std::move(listening);
    if (!listened) {
        co_return Refusal{tr("The local proxy in front of %1:%2 could not start.").arg(host, port)};
    }
    co_return proxy;
}

} // namespace Velumo
