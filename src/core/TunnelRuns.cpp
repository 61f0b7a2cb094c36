// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelRuns.h"

#include "core/CloudflaredConfig.h"

#include <QPointer>
#include <QProcessEnvironment>

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

QCoro::Task<Result<TunnelRuns::Prepared>> TunnelRuns::prepare(TunnelEntry entry)
{
    QPointer<TunnelRuns> self(this);
    Prepared prepared;
    const KindTraits &kind = traits(entry.kind);
    if (kind.proxyAllowed && m_options.get(entry.id()).needsProxy()) {
        auto starting = m_options.startProxy(entry.id(), entry.tunnel.hostname, entry.tunnel.port);
        Result<std::unique_ptr<ReverseProxy>> proxy = co_await std::move(starting);
        if (!proxy) {
            co_return Refusal{proxy.reason()};
        }
        prepared.proxy = std::move(*proxy);
        if (!self) {
            co_return std::move(prepared);
        }
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
    TunnelSession &session =
        add(entry, target, m_options.get(entry.id()).overHttp2, prepared.environment);
    if (traits(entry.kind).addressKnown) {
        session.setAddressKnown();
    }
    session.setProxy(std::move(prepared.proxy));
    session.serve(entry.id());
    return session;
}

TunnelSession &TunnelRuns::launchCreation(const QString &hostname, const QString &port)
{
    Tunnel tunnel;
    tunnel.hostname = hostname;
    tunnel.port = port;
    return add(TunnelEntry::quick(tunnel), hostname + u':' + port, false, {});
}

TunnelSession &TunnelRuns::add(const TunnelEntry &entry, const QString &target, bool overHttp2,
                               const QMap<QString, QString> &environment)
{
    const QStringList arguments = runArguments(entry, target, overHttp2);
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
    return session;
}

void TunnelRuns::sessionChanged(TunnelSession &session)
{
    if (session.quicBlocked() && session.process().isRunning()) {
        Q_EMIT message(session.activity({}).problem);
    }
    for (const QUuid &id : session.served()) {
        if (m_sessions.latestFor(id) == &session) {
            Q_EMIT activityChanged(id);
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
    for (const QUuid &id : session.served()) {
        if (m_sessions.latestFor(id) == &session) {
            Q_EMIT serviceListeningChanged(id);
        }
    }
}

void TunnelRuns::releaseAll(const QUuid &id, bool byUser)
{
    TunnelSession *latest = m_sessions.latestFor(id);
    for (const auto &session : m_sessions) {
        session->release(id, byUser && session.get() == latest);
    }
}

} // namespace Velumo
