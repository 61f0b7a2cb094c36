// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// The registry's part that keeps each tunnel's choices, between runs too, and applies a change
// to its runs. A gate's secrets go to the secret store, the rest to tunnelOptions.json.
#include "core/CloudflaredConfig.h"
#include "core/TunnelRegistry.h"

#include <QPointer>

namespace Velumo {

Done TunnelRegistry::proxyAllowed(const QUuid &id) const
{
    if (const TunnelEntry *entry = find(id); entry && !traits(entry->kind).proxyAllowed) {
        return Refusal{tr("A tunnel from the dashboard reaches the service set there: its "
                          "visitors cannot pass through Velumo.")};
    }
    if (const std::optional<QString> config = configFileWithIngress()) {
        return Refusal{tr("%1 has ingress rules, which cloudflared follows instead of Velumo's "
                          "proxy: visitors would bypass it.")
                           .arg(*config)};
    }
    return {};
}

Done TunnelRegistry::setInspected(const QUuid &id, bool inspect)
{
    if (Done allowed = inspect ? proxyAllowed(id) : Done(); !allowed) {
        return allowed;
    }
    if (m_choices.value(id).inspect != inspect) {
        m_choices[id].inspect = inspect;
        saveChoices();
        restartIfRunning(id);
        changed(id, {InspectedRole, PasswordRole});
    }
    return {};
}

Done TunnelRegistry::setPassword(const QUuid &id, const std::optional<QString> &password)
{
    const TunnelSession *session = m_runs.latestFor(id);
    ReverseProxy *proxy = session ? session->proxy() : nullptr;
    if (!password) {
        TunnelChoices &choices = m_choices[id];
        const bool had = std::exchange(choices.password, false);
        choices.gate.reset();
        choices.gateProblem.clear();
        if (proxy) {
            proxy->setGate(nullptr);
        }
        if (had) {
            saveChoices();
            m_runs.secrets()->remove(TunnelChoicesStore::gateKey(id));
        }
        changed(id, {InspectedRole, PasswordRole, PasswordProblemRole, ActivityRole});
        return {};
    }
    if (password->size() < PasswordGate::shortest) {
        return Refusal{
            tr("A password needs at least %1 characters.").arg(PasswordGate::shortest)};
    }
    if (Done allowed = proxyAllowed(id); !allowed) {
        return allowed;
    }
    const bool behindProxy = m_choices.value(id).needsProxy();
    makeGate(id, *password);
    if (proxy) {
        proxy->setGate(m_choices[id].gate);
    } else if (!behindProxy) {
        restartIfRunning(id);
    }
    changed(id, {InspectedRole, PasswordRole, PasswordProblemRole, ActivityRole});
    return {};
}

void TunnelRegistry::makeGate(const QUuid &id, const QString &password)
{
    TunnelChoices &choices = m_choices[id];
    if (choices.gate) {
        choices.gate->setPassword(password);
    } else {
        choices.gate = std::make_shared<PasswordGate>(password);
    }
    choices.gateProblem.clear();
    if (!std::exchange(choices.password, true)) {
        saveChoices();
    }
    keepGate(id);
}

QCoro::Task<> TunnelRegistry::keepGate(QUuid id)
{
    QPointer<TunnelRegistry> self(this);
    const std::shared_ptr<PasswordGate> gate = m_choices.value(id).gate;
    const std::shared_ptr<SecretStore> secrets = m_runs.secrets();
    auto writing = secrets->write(TunnelChoicesStore::gateKey(id),
                                  TunnelChoicesStore::gateSecret(gate->kept()));
    const std::optional<QString> refused = co_await std::move(writing);
    if (refused && self && find(id)) {
        Q_EMIT message(tr("The password of %1 could not be kept in the secret store (%2): it "
                          "holds until Velumo quits, and then the tunnel needs a new one.")
                           .arg(KindTexts::label(*find(id)), *refused));
    }
}

QCoro::Task<Done> TunnelRegistry::readGate(QUuid id)
{
    QPointer<TunnelRegistry> self(this);
    if (const TunnelChoices choices = m_choices.value(id); !choices.password || choices.gate) {
        co_return Done();
    }
    const std::shared_ptr<SecretStore> secrets = m_runs.secrets();
    auto reading = secrets->read(TunnelChoicesStore::gateKey(id));
    const std::optional<QString> secret = co_await std::move(reading);
    if (!self || !find(id)) {
        co_return Refusal{};
    }
    TunnelChoices &choices = m_choices[id];
    if (!choices.password || choices.gate) { // decided meanwhile
        co_return Done();
    }
    const std::optional<PasswordGate::Kept> kept =
        secret ? TunnelChoicesStore::readGateSecret(*secret) : std::nullopt;
    if (!kept) {
        choices.gateProblem = tr("Not started: its password could not be read from the secret "
                                 "store (none, locked or refused). Set a new password or turn "
                                 "the password off.");
        changed(id, {PasswordProblemRole, ProblemRole, ActivityRole});
        co_return Refusal{choices.gateProblem};
    }
    choices.gate = std::make_shared<PasswordGate>(*kept);
    choices.gateProblem.clear();
    changed(id, {PasswordProblemRole, ProblemRole, ActivityRole});
    co_return Done();
}

QCoro::Task<Result<TunnelRuns::Prepared>> TunnelRegistry::prepareRun(QUuid id)
{
    QPointer<TunnelRegistry> self(this);
    // Never an unprotected start of a tunnel that had a password.
    auto reading = readGate(id);
    if (const Done gate = co_await std::move(reading); !gate) {
        co_return Refusal{gate.reason()};
    }
    const TunnelEntry *entry = self ? find(id) : nullptr;
    if (!entry) {
        co_return Refusal{};
    }
    auto preparing = m_runs.prepare(*entry, m_choices.value(id));
    co_return co_await std::move(preparing);
}

TunnelChoices TunnelRegistry::choicesForNew(const QUuid &id, TunnelKind kind,
                                            std::optional<NewTunnelDefaults> chosen)
{
    const NewTunnelDefaults defaults = chosen.value_or(m_defaults);
    if (traits(kind).proxyAllowed && defaults.hostHeader) {
        m_choices[id].hostHeader = true;
        saveChoices();
    }
    if (!traits(kind).proxyAllowed || (!defaults.inspect && !defaults.password)) {
        return m_choices.value(id);
    }
    if (Done allowed = proxyAllowed(id); !allowed) {
        Q_EMIT message(allowed.reason());
    } else {
        if (defaults.inspect) {
            m_choices[id].inspect = true;
            saveChoices();
        }
        if (defaults.password) {
            makeGate(id, PasswordGate::generatePassword());
            // Whoever chose for the tunnel itself (a script) asks for the password: no dialog.
            if (!chosen) {
                m_generated.insert(id);
            }
        }
    }
    return m_choices.value(id);
}

Done TunnelRegistry::setHostHeader(const QUuid &id, bool on)
{
    const TunnelEntry *entry = find(id);
    if (!entry) {
        return Refusal{};
    }
    if (on && !traits(entry->kind).proxyAllowed) {
        return Refusal{tr("A tunnel from the dashboard reaches the service set there: Velumo "
                          "cannot change the Host its visitors' requests carry.")};
    }
    const QString host = serviceHostHeader(entry->tunnel.hostname, entry->tunnel.port);
    if (on && host.isEmpty()) {
        return Refusal{tr("%1 cannot be sent as a Host header.").arg(KindTexts::label(*entry))};
    }
    if (m_choices.value(id).hostHeader == on) {
        return {};
    }
    m_choices[id].hostHeader = on;
    saveChoices();
    // What the service answered was to the other Host.
    m_refusals.remove(id);
    const TunnelSession *session = m_runs.latestFor(id);
    if (ReverseProxy *proxy = session ? session->proxy() : nullptr) {
        proxy->setHostHeader(on ? host.toUtf8() : QByteArray());
        checkHost(id);
    } else {
        restartIfRunning(id);
    }
    changed(id, {HostHeaderRole, HostCheckRole});
    return {};
}

void TunnelRegistry::tellGenerated(const QUuid &id)
{
    const TunnelEntry *entry = find(id);
    if (entry && entry->tunnel.url && m_generated.remove(id)) {
        Q_EMIT passwordGenerated(id);
    }
}

void TunnelRegistry::setStartWithVelumo(const QUuid &id, bool start)
{
    if (find(id) && m_choices.value(id).startWithVelumo != start) {
        m_choices[id].startWithVelumo = start;
        saveChoices();
        changed(id, {StartWithVelumoRole});
    }
}

QList<QUuid> TunnelRegistry::startingWithVelumo() const
{
    QList<QUuid> ids;
    for (const TunnelEntry &entry : m_entries) {
        if (m_choices.value(entry.id()).startWithVelumo) {
            ids.append(entry.id());
        }
    }
    return ids;
}

Done TunnelRegistry::trustServiceCertificate(const QUuid &id)
{
    const std::optional<ServiceTls> tls = m_runs.serviceTls(id);
    if (!find(id) || !tls || tls->fingerprint.isEmpty()) {
        return Refusal{tr("The service's certificate is not known: it is read while the tunnel "
                          "runs and the service answers over https://.")};
    }
    const bool restarts = restartsToTrust(id);
    m_choices[id].trustedCertificate = tls->fingerprint;
    saveChoices();
    const TunnelSession *session = m_runs.latestFor(id);
    if (ReverseProxy *proxy = session ? session->proxy() : nullptr) {
        proxy->setTrustedCertificate(tls->fingerprint);
    }
    if (restarts) {
        restartIfRunning(id);
    }
    changed(id, {CertificateTrustRole});
    return {};
}

bool TunnelRegistry::restartsToTrust(const QUuid &id) const
{
    // Behind the proxy the tool speaks plain HTTP to it, and only the proxy checks.
    const TunnelSession *session = m_runs.latestFor(id);
    return session && session->activity(id).running && !session->proxy() &&
           !session->process().arguments().contains(QStringLiteral("--no-tls-verify"));
}

CertificateTrust TunnelRegistry::certificateTrust(const QUuid &id) const
{
    const QByteArray &trusted = m_choices.value(id).trustedCertificate;
    const std::optional<ServiceTls> tls = m_runs.serviceTls(id);
    if (tls && tls->speaksTls && !tls->trusted && tls->fingerprint != trusted) {
        return CertificateTrust::NotTrusted;
    }
    return trusted.isEmpty() ? CertificateTrust::Unremarkable : CertificateTrust::TrustedByUser;
}

void TunnelRegistry::restartOverHttp2(const QUuid &id)
{
    if (find(id)) {
        m_choices[id].overHttp2 = true;
        saveChoices();
        restart(id);
    }
}

std::optional<QUrl> TunnelRegistry::linkWithKey(const QUuid &id, const QUrl &address) const
{
    const std::shared_ptr<PasswordGate> gate = m_choices.value(id).gate;
    return gate ? std::optional<QUrl>(gate->linkWithKey(address)) : std::nullopt;
}

void TunnelRegistry::forgetChoices(const QUuid &id)
{
    m_generated.remove(id);
    m_refusals.remove(id);
    m_probe.cancel(id);
    m_runs.recorder().captures().clear(TunnelRuns::secretKey(id));
    if (const auto found = m_choices.constFind(id); found != m_choices.cend()) {
        if (found->password) {
            m_runs.secrets()->remove(TunnelChoicesStore::gateKey(id));
        }
        m_choices.erase(found);
        saveChoices();
    }
}

void TunnelRegistry::forgetUnlistedChoices(const QUuid &id)
{
    if (!find(id)) {
        forgetChoices(id);
    }
}

void TunnelRegistry::saveChoices()
{
    if (const QString problem = m_choicesStore.save(m_choices); !problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

} // namespace Velumo
