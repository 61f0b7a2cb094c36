// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelRuns.h"

#include "core/CloudflaredConfig.h"
#include "core/PortNumber.h"

#include <QPointer>
#include <QProcessEnvironment>

#include <qcoro/qcorosignal.h>

namespace Velumo {

TunnelRuns::TunnelRuns(std::function<QString()> toolPath, QObject *parent)
    : QObject(parent)
    , m_toolPath(std::move(toolPath))
    , m_secrets(std::make_shared<MemorySecretStore>())
{}

// Each session ends its tool as it goes.
TunnelRuns::~TunnelRuns() = default;

QString TunnelRuns::secretKey(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

std::optional<bool> TunnelRuns::serviceListening(const QUuid &id) const
{
    return m_sessions.serviceListening(id);
}

std::optional<ServiceTls> TunnelRuns::serviceTls(const QUuid &id) const
{
    const TunnelSession *session = m_sessions.latestFor(id);
    return session && session->activity(id).running ? session->serviceTls() : std::nullopt;
}

QCoro::Task<Result<std::unique_ptr<ReverseProxy>>> TunnelRuns::startProxy(TunnelEntry entry,
                                                                          TunnelChoices choices)
{
    const QString &host = entry.tunnel.hostname;
    const QString &port = entry.tunnel.port;
    const std::optional<quint16> number = parsePort(port);
    if (!number) {
        co_return Refusal{
            tr("Visitors can pass through Velumo only to a numeric port, not \"%1\".").arg(port)};
    }
    const QString failed = tr("The local proxy in front of %1:%2 could not start.").arg(host, port);
    const std::optional<ProxyTarget> target = ProxyTarget::fromHostname(host, *number);
    if (!m_proxyHost || !target || (choices.password && !choices.gate)) {
        co_return Refusal{failed};
    }
    auto proxy = std::make_unique<ReverseProxy>(*m_proxyHost, *target);
    proxy->setGate(choices.gate);
    proxy->setTrustedCertificate(choices.trustedCertificate);
    proxy->setSink(choices.inspect ? m_recorder.captures().sinkFor(secretKey(entry.id())) : nullptr);
    if (choices.hostHeader) {
        proxy->setHostHeader(serviceHostHeader(host, port).toUtf8());
    }
    connect(proxy.get(), &ReverseProxy::hostCheckRefused, this,
            [this, id = entry.id()](DevServer server) { Q_EMIT hostCheckRefused(id, server); });
    proxy->start();
    // Listening on 127.0.0.1 at a port the system picks takes no time; the wait only guards
    // against a proxy thread that never answers.
    auto listening = qCoro(proxy.get(), &ReverseProxy::listening, std::chrono::seconds(5));
    const std::optional<quint16> listened = co_await std::move(listening);
    if (!listened) {
        co_return Refusal{failed};
    }
    co_return proxy;
}

QCoro::Task<Result<TunnelRuns::Prepared>> TunnelRuns::prepare(TunnelEntry entry,
                                                              TunnelChoices choices)
{
    QPointer<TunnelRuns> self(this);
    Prepared prepared;
    prepared.overHttp2 = choices.overHttp2;
    prepared.anyCertificate = !choices.trustedCertificate.isEmpty();
    const KindTraits &kind = traits(entry.kind);
    if (kind.proxyAllowed && choices.needsProxy()) {
        auto starting = startProxy(entry, choices);
        Result<std::unique_ptr<ReverseProxy>> proxy = co_await std::move(starting);
        if (!proxy) {
            co_return Refusal{proxy.reason()};
        }
        prepared.proxy = std::move(*proxy);
        if (!self) {
            co_return std::move(prepared);
        }
    } else if (kind.proxyAllowed && choices.hostHeader) {
        prepared.hostHeader = serviceHostHeader(entry.tunnel.hostname, entry.tunnel.port);
    }
    if (kind.tokenInEnvironment) {
        // The token goes in the environment: any user on the machine can read another's argv.
        const QString key = secretKey(entry.id());
        auto reading = m_sessionSecrets.read(key);
        std::optional<QString> token = co_await std::move(reading);
        if (!token && self) {
            const std::shared_ptr<SecretStore> secrets = m_secrets;
            auto fromStore = secrets->read(key);
            token = co_await std::move(fromStore);
        }
        if (!token) {
            co_return Refusal{tr("The token of %1 is not in the secret store any more: add the "
                                  "tunnel again with its token from the Cloudflare dashboard.")
                                   .arg(entry.tunnelName)};
        }
        prepared.environment.insert(QStringLiteral("TUNNEL_TOKEN"), *token);
    }
    co_return std::move(prepared);
}

TunnelSession &TunnelRuns::launch(const TunnelEntry &entry, Prepared prepared)
{
    const QString target = prepared.proxy
                               ? QStringLiteral("127.0.0.1:%1").arg(prepared.proxy->port())
                               : entry.tunnel.hostname + u':' + entry.tunnel.port;
    TunnelSession &session = add(entry, target, prepared);
    if (traits(entry.kind).addressKnown) {
        session.setAddressKnown();
    }
    session.setProxy(std::move(prepared.proxy));
    session.serve(entry.id());
    return session;
}

TunnelSession &TunnelRuns::launchCreation(const QString &hostname, const QString &port,
                                          Prepared prepared)
{
    Tunnel tunnel;
    tunnel.hostname = hostname;
    tunnel.port = port;
    const QString target = prepared.proxy
                               ? QStringLiteral("127.0.0.1:%1").arg(prepared.proxy->port())
                               : hostname + u':' + port;
    prepared.overHttp2 = false;
    prepared.environment.clear();
    TunnelSession &session = add(TunnelEntry::quick(tunnel), target, prepared);
    session.setProxy(std::move(prepared.proxy));
    return session;
}

TunnelSession &TunnelRuns::add(const TunnelEntry &entry, const QString &target,
                               const Prepared &prepared)
{
    const bool overHttp2 = prepared.overHttp2;
    const QMap<QString, QString> &environment = prepared.environment;
    const QStringList arguments =
        runArguments(entry, target, overHttp2, prepared.anyCertificate, prepared.hostHeader);
    QString ingressRules;
    if (const std::optional<QString> config = configFileWithIngress();
        config && arguments.contains(QStringLiteral("--url"))) {
        ingressRules = tr("%1 has ingress rules, which cloudflared follows instead of %2:%3: "
                          "visitors reach the services listed there")
                           .arg(*config, entry.tunnel.hostname, entry.tunnel.port);
        Q_EMIT message(ingressRules);
    }
    std::optional<QMap<QString, QString>> whole;
    if (!environment.isEmpty()) {
        whole.emplace();
        const QProcessEnvironment ours = QProcessEnvironment::systemEnvironment();
        for (const QString &name : ours.keys()) {
            whole->insert(name, ours.value(name));
        }
        whole->insert(environment);
    }
    auto owned = std::make_unique<TunnelSession>(m_shell.runFound(m_toolPath(), arguments, whole),
                                                 entry.tunnel.hostname, entry.tunnel.port,
                                                 overHttp2, m_monitor);
    TunnelSession &session = m_sessions.add(std::move(owned));
    session.setIngressRules(ingressRules);
    connect(&session.process(), &ToolProcess::ended, this, &TunnelRuns::toolEnded);
    connect(&session, &TunnelSession::activityChanged, this,
            [this, &session] { sessionChanged(session); });
    connect(&session, &TunnelSession::serviceListeningChanged, this,
            [this, &session](bool listening) { sessionServiceChanged(session, listening); });
    connect(&session, &TunnelSession::serviceTlsChanged, this,
            [this, &session] { tellServed(session, &TunnelRuns::serviceTlsChanged); });
    return session;
}

void TunnelRuns::sessionChanged(TunnelSession &session)
{
    if (session.quicBlocked() && session.process().isRunning()) {
        Q_EMIT message(session.activity({}).problem);
    }
    tellServed(session, &TunnelRuns::activityChanged);
}

void TunnelRuns::tellServed(TunnelSession &session, void (TunnelRuns::*signal)(const QUuid &))
{
    for (const QUuid &id : session.served()) {
        if (m_sessions.latestFor(id) == &session) {
            Q_EMIT(this->*signal)(id);
        }
    }
}

void TunnelRuns::sessionServiceChanged(TunnelSession &session, bool listening)
{
    // A creation still waiting for its address serves nothing yet: the user hears at once.
    if (!listening && !session.announced() && session.served().isEmpty()) {
        Q_EMIT message(tr("Nothing is listening on %1:%2: visitors will get an error page "
                          "until the service runs")
                           .arg(session.hostname(), session.port()));
    }
    tellServed(session, &TunnelRuns::serviceListeningChanged);
}

void TunnelRuns::releaseAll(const QUuid &id, bool byUser)
{
    TunnelSession *latest = m_sessions.latestFor(id);
    for (const auto &session : m_sessions) {
        session->release(id, byUser && session.get() == latest);
    }
}

} // namespace Velumo
