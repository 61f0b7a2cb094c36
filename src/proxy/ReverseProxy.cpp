// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ReverseProxy.h"

#include "proxy/ProxyHost.h"

namespace Velumo {

ReverseProxy::ReverseProxy(ProxyHost &host, ProxyTarget target, QObject *parent,
                           ProxyTimeouts timeouts)
    : QObject(parent)
    , m_target(target)
{
    auto *server = new ProxyServer(std::move(target), timeouts);
    connect(server, &ProxyServer::listening, this, &ReverseProxy::serverListening);
    connect(server, &ProxyServer::failed, this, &ReverseProxy::failed);
    connect(server, &ProxyServer::hostCheckRefused, this, &ReverseProxy::hostCheckRefused);
    host.adopt(server);
    m_server = server;
}

ReverseProxy::~ReverseProxy()
{
    if (m_server) {
        m_server->deleteLater();
    }
}

void ReverseProxy::start()
{
    if (m_server) {
        QMetaObject::invokeMethod(m_server.data(), &ProxyServer::start);
    }
}

void ReverseProxy::setSink(std::shared_ptr<ExchangeSink> sink)
{
    if (ProxyServer *server = m_server.data()) {
        QMetaObject::invokeMethod(server, [server, sink = std::move(sink)]() mutable {
            server->setSink(std::move(sink));
        });
    }
}

void ReverseProxy::setGate(std::shared_ptr<RequestGate> gate)
{
    if (ProxyServer *server = m_server.data()) {
        QMetaObject::invokeMethod(server, [server, gate = std::move(gate)]() mutable {
            server->setGate(std::move(gate));
        });
    }
}

void ReverseProxy::setTrustedCertificate(const QByteArray &fingerprint)
{
    if (ProxyServer *server = m_server.data()) {
        QMetaObject::invokeMethod(server, [server, fingerprint] {
            server->service().setTrustedCertificate(fingerprint);
        });
    }
}

void ReverseProxy::setHostHeader(QByteArray host)
{
    if (ProxyServer *server = m_server.data()) {
        QMetaObject::invokeMethod(server, [server, host = std::move(host)]() mutable {
            server->setHostHeader(std::move(host));
        });
    }
}

void ReverseProxy::serverListening(quint16 port)
{
    m_port = port;
    Q_EMIT listening(port);
}

} // namespace Velumo
