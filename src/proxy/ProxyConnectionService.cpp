// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
// ProxyConnection's connection to the service: taken from the pool or made, kept for the
// visitor's next request or left to the pool, made again when the service closed it as it was
// reused, and the 502 when it cannot be made or the service closes it without answering.
#include "proxy/ProxyConnection.h"

#include "proxy/ErrorPage.h"
#include "proxy/Logging.h"
#include "proxy/ProxyServer.h"
#include "proxy/TlsProbe.h"

#include <QSslSocket>
#include <QTcpSocket>

namespace Velumo {

void ProxyConnection::watchUpstream()
{
    connect(m_upstream, &QTcpSocket::readyRead, this, &ProxyConnection::processUpstream);
    connect(m_upstream, &QTcpSocket::bytesWritten, this, &ProxyConnection::processClient);
    connect(m_upstream, &QTcpSocket::disconnected, this, &ProxyConnection::upstreamEnded);
}

void ProxyConnection::upstreamEnded()
{
    m_upstreamEnded = true;
    processUpstream();
}

bool ProxyConnection::upstreamReusable() const
{
    return m_state == Upstream::Open && m_exchanges.empty() && !m_request && !m_response &&
           !m_tunnel && !m_upstreamEnded && m_fromUpstream.isEmpty() &&
           m_upstream->bytesAvailable() == 0 && m_upstream->bytesToWrite() == 0;
}

void ProxyConnection::parkUpstream()
{
    // The connection goes on without a service connection: the server's stand-in takes its place.
    m_state = Upstream::Closed;
    m_upstream->disconnect(this);
    if (m_connector) {
        m_connector->deleteLater(); // it may be the one emitting
        m_connector = nullptr;
    }
    m_server.parkService(std::exchange(m_upstream, &m_server.standIn()));
}

bool ProxyConnection::takeSpareUpstream()
{
    QTcpSocket *spare = m_server.takeService();
    if (!spare) {
        return false;
    }
    dropUpstream(spare);
    spare->setParent(this);
    watchUpstream();
    m_state = Upstream::Open;
    m_upstreamServed = true;
    m_serviceAnswered = true; // in HTTP, to the visitor before
    return true;
}

void ProxyConnection::dropUpstream(QTcpSocket *next)
{
    QTcpSocket *old = std::exchange(m_upstream, next);
    if (old == &m_server.standIn()) {
        return;
    }
    old->disconnect(this);
    old->abort();
    old->deleteLater();    // it may be the one emitting
    m_connector = nullptr; // went with it
}

void ProxyConnection::replaceUpstream()
{
    dropUpstream(m_server.target().tls ? new QSslSocket(this) : new QTcpSocket(this));
    m_upstream->setReadBufferSize(Inbox::readSize);
    watchUpstream();
    m_upstreamEnded = false;
    m_upstreamNeedsMore = false;
    m_upstreamServed = false;
}

void ProxyConnection::connectService(QByteArray head)
{
    if (m_state != Upstream::Idle || m_upstream == &m_server.standIn()) {
        replaceUpstream();
    }
    m_upstreamServed = false;
    m_firstHead = std::move(head);
    m_connector = new ServiceConnector(*m_upstream, m_server.service(), m_upstream);
    connect(m_connector, &ServiceConnector::connected, this, &ProxyConnection::upstreamConnected);
    connect(m_connector, &ServiceConnector::failed, this, &ProxyConnection::upstreamFailed);
    m_state = Upstream::Connecting;
    m_connector->start();
}

bool ProxyConnection::retryOnFresh()
{
    // Services close idle connections on timers of their own (Node after 5 s): one may close
    // just as the proxy sends on it. nginx sends such a request again; so does this, once.
    if (m_resend.isEmpty() || m_exchanges.size() != 1 || m_response ||
        m_exchanges.front().id != m_requestId) {
        return false;
    }
    qCDebug(lcProxy) << "service closed a reused connection unanswered; sent again on a fresh one";
    connectService(std::exchange(m_resend, {}));
    return true;
}

void ProxyConnection::upstreamConnected()
{
    m_state = Upstream::Open;
    send(*m_upstream, std::exchange(m_firstHead, {}));
    processClient();
}

void ProxyConnection::upstreamFailed()
{
    qCDebug(lcProxy).noquote() << "502: service unreachable:" << m_connector->attempts()
                               << m_connector->certificateRefused();
    badGateway(m_connector->failure());
}

QString ProxyConnection::serviceEndpoint() const
{
    return m_server.service().name();
}

void ProxyConnection::closedUnanswered()
{
    const QString closed = closedWithoutAnswer(m_exchanges.front());
    // A TLS service closes on a plain request without a word (OpenSSL, Node): a probe tells.
    const QHostAddress address = m_server.service().addresses().value(0);
    if (m_serviceAnswered || m_server.target().tls || address.isNull()) {
        badGateway(closed);
        return;
    }
    // The visitor's exchanges stay waiting; a visitor that leaves ends the probe with them.
    auto *probe = new TlsProbe(address, m_server.target().port,
                               std::min(TlsProbe::patience, m_server.timeouts().connect), this);
    connect(probe, &TlsProbe::finished, this, [this, probe, closed](bool speaksTls) {
        probe->deleteLater();
        if (!m_exchanges.empty()) {
            badGateway(speaksTls ? speaksTlsMessage() : closed);
        }
    });
}

QString ProxyConnection::speaksTlsMessage() const
{
    return TlsProbe::speaksTlsMessage(serviceEndpoint(), m_server.target().host);
}

} // namespace Velumo
