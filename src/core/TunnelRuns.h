// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/LocalServiceMonitor.h"
#include "core/SecretStore.h"
#include "core/SessionList.h"
#include "core/TunnelKind.h"
#include "core/TunnelChoices.h"

#include "proxy/RequestRecorder.h"
#include "proxy/ReverseProxy.h"

#include <QObject>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace Velumo {

// Every run of the tool for listed tunnels of every kind, and what a run needs before the tool
// starts: the proxy in front of the service, the token from the secret store. The runs are one
// SessionList; each is started, stopped and told apart the same way whatever the kind. The
// requests the proxies capture are kept here; the thread the proxies run on is the app's.
class TunnelRuns : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRuns)

public:
    explicit TunnelRuns(std::function<QString()> toolPath, QObject *parent = nullptr);
    ~TunnelRuns() override;

    // The thread every proxy runs on; it outlives the runs. Without one, no proxy starts.
    void setProxyHost(ProxyHost *host) { m_proxyHost = host; }
    RequestRecorder &recorder() { return m_recorder; }
    // The desktop's secret store; until one is set, tokens are kept in memory.
    void setSecretStore(std::shared_ptr<SecretStore> store) { m_secrets = std::move(store); }
    const std::shared_ptr<SecretStore> &secrets() const { return m_secrets; }
    // Tokens the secret store would not keep, for this session.
    SecretStore &sessionSecrets() { return m_sessionSecrets; }
    static QString secretKey(const QUuid &id);

    struct Prepared {
        std::unique_ptr<ReverseProxy> proxy;
        QMap<QString, QString> environment;
        bool overHttp2 = false;
        // The tool accepts any certificate from an https:// service.
        bool anyCertificate = false;
        // The Host the tool sends to the service; empty for the visitor's (or the proxy's).
        QString hostHeader;
    };
    // Starts the proxy the tunnel's choices call for and reads its token; may wait. Refused,
    // saying why for the user, when the run cannot go ahead.
    QCoro::Task<Result<Prepared>> prepare(TunnelEntry entry, TunnelChoices choices);
    // Starts the tool for a listed tunnel; the run serves it.
    TunnelSession &launch(const TunnelEntry &entry, Prepared prepared);
    // Starts the tool for a quick tunnel still to be made; it serves what its addresses become.
    TunnelSession &launchCreation(const QString &hostname, const QString &port,
                                  Prepared prepared);

    TunnelSession *latestFor(const QUuid &id) const { return m_sessions.latestFor(id); }
    TunnelActivity activity(const QUuid &id) const { return m_sessions.activity(id); }
    std::optional<bool> serviceListening(const QUuid &id) const;
    // How the tunnel's https:// service answered the handshake, while its latest run runs.
    std::optional<ServiceTls> serviceTls(const QUuid &id) const;
    // Ends every run of the tunnel; the latest says whether the user stopped it.
    void releaseAll(const QUuid &id, bool byUser);
    // Drops runs that are over and are no listed tunnel's latest.
    void forget(const std::function<bool(const QUuid &)> &listed) { m_sessions.forget(listed); }
    int runningCount() const { return m_sessions.runningCount(); }
    void stopAll(std::chrono::milliseconds grace) { m_sessions.stopAll(grace); }
    auto begin() const { return m_sessions.begin(); }
    auto end() const { return m_sessions.end(); }

Q_SIGNALS:
    // The latest run of this tunnel changed state, output or exit.
    void activityChanged(const QUuid &id);
    void serviceListeningChanged(const QUuid &id);
    void serviceTlsChanged(const QUuid &id);
    void message(const QString &text);
    void toolEnded();
    // A tunnel's proxy saw its service turn a visitor away with a host check.
    void hostCheckRefused(const QUuid &id, Velumo::DevServer server);

private:
    // Starts a proxy in front of the tunnel's service with its gate and capture; refused when
    // the port is not a number or the proxy could not listen.
    QCoro::Task<Result<std::unique_ptr<ReverseProxy>>> startProxy(TunnelEntry entry,
                                                                  TunnelChoices choices);
    TunnelSession &add(const TunnelEntry &entry, const QString &target, const Prepared &prepared);
    void sessionChanged(TunnelSession &session);
    void sessionServiceChanged(TunnelSession &session, bool listening);
    // Emits `signal` for each tunnel whose latest run the session is.
    void tellServed(TunnelSession &session, void (TunnelRuns::*signal)(const QUuid &));

    std::function<QString()> m_toolPath;
    Shell m_shell;
    LocalServiceMonitor m_monitor;
    ProxyHost *m_proxyHost = nullptr;
    // Declared before the runs: a proxy's sink may still deliver while the proxy ends.
    RequestRecorder m_recorder;
    std::shared_ptr<SecretStore> m_secrets;
    MemorySecretStore m_sessionSecrets;
    SessionList m_sessions;
};

} // namespace Velumo
