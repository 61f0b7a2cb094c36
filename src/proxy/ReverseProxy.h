// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ExchangeSink.h"
#include "proxy/HostCheck.h"
#include "proxy/ProxyServer.h"
#include "proxy/RequestGate.h"

#include <QObject>
#include <QPointer>

#include <memory>

namespace Velumo {

class ProxyHost;

// A reverse proxy in front of one local service: it listens on 127.0.0.1 at a free port and
// forwards every connection to the target, exactly. The object lives on the caller's thread
// and never blocks it; the proxying happens on the host's thread. Destroying it closes the
// listener and every connection (on the proxy thread, shortly after).
class ReverseProxy : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReverseProxy)

public:
    ReverseProxy(ProxyHost &host, ProxyTarget target, QObject *parent = nullptr,
                 ProxyTimeouts timeouts = {});
    ~ReverseProxy() override;

    // Returns at once; listening() or failed() follows on this object's thread.
    void start();
    const ProxyTarget &target() const { return m_target; }
    // The port to give the tunnel tool (--url 127.0.0.1:<port>); 0 until listening.
    quint16 port() const { return m_port; }

    // Both take effect for the requests that arrive afterwards; nullptr removes them.
    void setSink(std::shared_ptr<ExchangeSink> sink);
    void setGate(std::shared_ptr<RequestGate> gate);
    // The certificate a TLS service may present though this system does not trust it (its
    // SHA-256 fingerprint); empty for none. Takes effect for the next service connection.
    void setTrustedCertificate(const QByteArray &fingerprint);
    // The Host the service gets in place of the visitor's, who is named in X-Forwarded-Host;
    // empty passes the visitor's on. Takes effect for the requests that arrive afterwards.
    void setHostHeader(QByteArray host);

Q_SIGNALS:
    void listening(quint16 port);
    void failed(const QString &message);
    // The service turned a visitor away with its host check (at most once per kind and Host).
    void hostCheckRefused(Velumo::DevServer server);

private:
    void serverListening(quint16 port);

    ProxyTarget m_target;
    quint16 m_port = 0;
    // Cleared only when the host ends the server, and the host outlives its proxies.
    QPointer<ProxyServer> m_server;
};

} // namespace Velumo
