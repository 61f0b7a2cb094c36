// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ProxyConnection.h"

#include "proxy/ErrorPage.h"
#include "proxy/GuessLimiter.h"
#include "proxy/Logging.h"
#include "proxy/ProxyServer.h"
#include "proxy/StrictFraming.h"

#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace Velumo {

ProxyConnection::ProxyConnection(QTcpSocket *client, ProxyServer &server)
    : QObject(&server)
    , m_server(server)
    , m_client(client)
    , m_upstream(new QTcpSocket(this))
    , m_connector(*m_upstream, server, this)
    , m_clock(server.timeouts(), this)
{
    client->setParent(this);
    client->setReadBufferSize(Inbox::readSize);
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_peer = client->peerAddress();
    m_forwardedFor = m_peer.toString().toLatin1();
    m_upstream->setReadBufferSize(Inbox::readSize);

    connect(&m_clock, &ConnectionClock::expired, this, &ProxyConnection::timedOut);
    connect(&m_connector, &ServiceConnector::connected, this, &ProxyConnection::upstreamConnected);
    connect(&m_connector, &ServiceConnector::failed, this, &ProxyConnection::upstreamFailed);
    connect(client, &QTcpSocket::readyRead, this, &ProxyConnection::processClient);
    connect(client, &QTcpSocket::bytesWritten, this, &ProxyConnection::processUpstream);
    connect(client, &QTcpSocket::disconnected, this, &ProxyConnection::clientEnded);
    connect(m_upstream, &QTcpSocket::readyRead, this, &ProxyConnection::processUpstream);
    connect(m_upstream, &QTcpSocket::bytesWritten, this, &ProxyConnection::processClient);
    connect(m_upstream, &QTcpSocket::disconnected, this, &ProxyConnection::upstreamEnded);
    updateTimer();
}

ProxyConnection::~ProxyConnection()
{
    // No captured request stays waiting once its connection is gone.
    const QString why = m_clientEnded
                            ? tr("The visitor closed the connection before the response was whole.")
                            : tr("The connection ended before the response was forwarded whole.");
    for (const Exchange &exchange : m_exchanges) {
        if (!exchange.isLocal()) {
            m_server.captureEnded(exchange.id, why);
        }
    }
}

void ProxyConnection::upstreamConnected()
{
    m_state = Upstream::Open;
    send(*m_upstream, std::exchange(m_firstHead, {}));
    processClient();
}

void ProxyConnection::upstreamFailed()
{
    qCDebug(lcProxy).noquote() << "502: service unreachable:" << m_connector.attempts();
    badGateway(tr("Velumo could not reach the service at %1. Tried: %2.")
                   .arg(serviceEndpoint(), m_connector.attempts()));
}

void ProxyConnection::processClient()
{
    if (m_inClient) {
        m_clientAgain = true;
        return;
    }
    m_server.noteActivity();
    m_inClient = true;
    do {
        m_clientAgain = false;
        pumpClient();
    } while (m_clientAgain);
    m_inClient = false;

    updateTimer();
    // Once the visitor is gone, what it sent is delivered, then the service's side closes.
    if (m_clientEnded && m_state == Upstream::Open &&
        m_upstream->bytesToWrite() < Inbox::writeHighWater) {
        m_state = Upstream::Closed;
        m_upstream->disconnectFromHost();
    } else if (m_clientEnded && m_state == Upstream::Idle) {
        m_state = Upstream::Closed;
    }
    closed();
}

void ProxyConnection::pumpClient()
{
    for (;;) {
        if (m_clientHeld || (m_state != Upstream::Open && m_state != Upstream::Idle) ||
            m_upstreamEnded || m_upstream->bytesToWrite() >= Inbox::writeHighWater) {
            break;
        }
        if (m_fromClient.isEmpty() || m_clientNeedsMore) {
            if (!m_fromClient.fill(*m_client)) {
                break;
            }
            m_clientNeedsMore = false;
        }
        if (m_tunnel) {
            send(*m_upstream, m_fromClient.view());
            m_fromClient.consume(m_fromClient.view().size());
            continue;
        }
        if (!m_request) {
            m_request.emplace();
        }
        if (!forwardRequest(m_request->feed(m_fromClient.view()))) {
            break;
        }
    }
    if (m_state == Upstream::Open && flushMadeRoom(*m_upstream)) {
        m_clientAgain = true;
    }
}

bool ProxyConnection::forwardRequest(RequestFramer::Step step)
{
    using Outcome = RequestFramer::Outcome;
    if (step.outcome == Outcome::HeadTooLarge || step.outcome == Outcome::Malformed) {
        if (m_request->is_header_done()) {
            // The service has part of this request already; there is no answering in turn.
            m_state = Upstream::Closed;
            m_upstream->abort();
            m_client->abort();
        } else if (step.outcome == Outcome::HeadTooLarge) {
            qCDebug(lcProxy) << "431 to" << m_peer;
            answer(431, tr("The request head is larger than 64 KiB."));
        } else {
            qCDebug(lcProxy) << "400: unreadable request from" << m_peer;
            answer(400, tr("The request could not be read as HTTP/1.1."));
        }
        return false;
    }
    if (step.head) {
        requestHead(step.consumed);
        if (m_clientHeld) {
            return false;
        }
    } else if (step.consumed > 0) {
        const QByteArrayView bytes = m_fromClient.view().first(step.consumed);
        send(*m_upstream, bytes);
        m_requestBytes += step.consumed;
        m_server.captureBody(ExchangeEvent::Kind::RequestBody, m_requestId, bytes, m_requestTaken);
        m_fromClient.consume(step.consumed);
    }
    if (step.outcome == Outcome::NeedMore) {
        m_clientNeedsMore = true;
    } else if (m_request->is_done()) {
        m_request.reset();
        m_clock.served();
        // The service may have answered before the body was whole: the exchange is gone then.
        if (!m_exchanges.empty() && m_exchanges.back().id == m_requestId) {
            Exchange &last = m_exchanges.back();
            last.requestBytes = m_requestBytes;
            // What follows a request to switch protocols is only known once the answer is in.
            m_clientHeld = last.upgrade || last.connect;
        }
    }
    return !m_clientHeld;
}

void ProxyConnection::requestHead(qsizetype size)
{
    MessageHead &head = m_request->head();
    Exchange exchange;
    exchange.id = m_server.nextExchange();
    exchange.head = head.method() == "HEAD";
    exchange.connect = head.method() == "CONNECT";
    // Only a request that names the protocol it wants may switch to it.
    exchange.upgrade = m_request->upgrade() && head.lastIndexOf("Upgrade") >= 0;
    if (const std::optional<StrictFraming::Refusal> refusal = StrictFraming::refusal(head)) {
        qCDebug(lcProxy) << refusal->status << "refused from" << m_peer;
        answer(refusal->status, refusal->message);
        return;
    }
    RequestGate *gate = m_server.gate();
    m_admittedBy = gate;
    m_admittedUnder = gate ? gate->generation() : 0;
    if (gate) {
        if (std::optional<QByteArray> response = gate->admit(head, m_peer)) {
            qCDebug(lcProxy).noquote()
                << "gate answered" << m_peer.toString() << QByteArrayView(*response).first(12);
            pushAnswer(std::move(*response));
            return;
        }
    }
    head.appendToList("X-Forwarded-For", m_forwardedFor);
    QByteArray forwarded = head.forwarded();
    m_server.capture(ExchangeEvent::Kind::Request, exchange.id, forwarded);
    m_fromClient.consume(size);
    m_requestId = exchange.id;
    m_requestBytes = 0;
    m_requestTaken = 0;
    m_exchanges.push_back(exchange);
    if (m_state == Upstream::Open) {
        send(*m_upstream, forwarded);
    } else {
        // The service is reached only for a request that may go there; the rest of the
        // visitor's bytes wait until it answers.
        m_firstHead = std::move(forwarded);
        m_state = Upstream::Connecting;
        m_connector.start();
    }
}

void ProxyConnection::processUpstream()
{
    if (m_inUpstream) {
        m_upstreamAgain = true;
        return;
    }
    m_server.noteActivity();
    m_inUpstream = true;
    do {
        m_upstreamAgain = false;
        pumpUpstream();
    } while (m_upstreamAgain);
    m_inUpstream = false;

    if (m_upstreamEnded && m_state == Upstream::Open &&
        m_client->bytesToWrite() < Inbox::writeHighWater) {
        upstreamDrained();
    }
    updateTimer();
    closed();
}

void ProxyConnection::pumpUpstream()
{
    for (;;) {
        if (m_state != Upstream::Open || m_clientEnded ||
            m_client->bytesToWrite() >= Inbox::writeHighWater) {
            break;
        }
        if (m_fromUpstream.unframed().isEmpty() || m_upstreamNeedsMore) {
            m_fromUpstream.sendFramed(*m_client);
            if (!m_fromUpstream.fill(*m_upstream)) {
                break;
            }
            m_upstreamNeedsMore = false;
        }
        if (m_tunnel) {
            send(*m_client, m_fromUpstream.view());
            m_fromUpstream.consume(m_fromUpstream.view().size());
            continue;
        }
        if (m_exchanges.empty() || m_exchanges.front().isLocal()) {
            // The service speaks unasked: nothing after this could be matched to a request.
            m_state = Upstream::Closed;
            m_upstream->abort();
            m_client->disconnectFromHost();
            break;
        }
        if (!m_response) {
            m_response.emplace(m_exchanges.front().head);
            m_responseBytes = 0;
            m_responseTaken = 0;
        }
        if (!forwardResponse(m_response->feed(m_fromUpstream.unframed()))) {
            break;
        }
    }
    m_fromUpstream.sendFramed(*m_client);
    if (flushMadeRoom(*m_client)) {
        m_upstreamAgain = true;
    }
}

bool ProxyConnection::forwardResponse(ResponseFramer::Step step)
{
    using Outcome = ResponseFramer::Outcome;
    if (step.outcome == Outcome::HeadTooLarge || step.outcome == Outcome::Malformed) {
        m_state = Upstream::Closed;
        m_upstream->abort();
        if (m_response->is_header_done()) {
            m_client->abort();
        } else {
            // Nothing of this response went out yet: the visitor gets a page in its place.
            badGateway(tr("The service sent a response that could not be read as HTTP/1.1."));
        }
        return false;
    }
    const Exchange &exchange = m_exchanges.front();
    const int status = step.head ? m_response->head().status() : 0;
    if (status == 101 && !exchange.upgrade) {
        // Opaque bytes the visitor never asked for could carry anything past the gate.
        m_state = Upstream::Closed;
        m_upstream->abort();
        badGateway(tr("The service switched protocols for a request that did "
                      "not ask to."));
        return false;
    }
    const QByteArrayView bytes = m_fromUpstream.unframed().first(step.consumed);
    m_fromUpstream.framed += step.consumed;
    if (step.head) {
        m_server.capture(ExchangeEvent::Kind::Response, exchange.id, bytes);
        if (status == 101 || (exchange.connect && status / 100 == 2)) {
            if (!admittedNow()) {
                abortBoth();
                return false;
            }
            // From here on both directions are opaque bytes, with no timeout.
            m_server.captureFinished(exchange.id, 0, 0);
            m_fromUpstream.sendFramed(*m_client);
            m_exchanges.clear();
            m_response.reset();
            m_tunnel = true;
            m_clientHeld = false;
            processClient();
            return true;
        }
    } else {
        m_responseBytes += step.consumed;
        m_server.captureBody(ExchangeEvent::Kind::ResponseBody, exchange.id, m_response->body(),
                             m_responseTaken);
    }
    if (step.outcome == Outcome::NeedMore) {
        m_upstreamNeedsMore = true;
    } else if (m_response->is_done()) {
        m_fromUpstream.sendFramed(*m_client);
        responseComplete();
    }
    return true;
}

void ProxyConnection::responseComplete()
{
    const int status = m_response->head().status();
    m_response.reset();
    if (status / 100 == 1) {
        return; // an interim answer: the final one to the same request follows
    }
    const Exchange done = m_exchanges.front();
    m_exchanges.pop_front();
    const bool stillSending = done.id == m_requestId && m_request && m_request->is_header_done();
    m_server.captureFinished(done.id, stillSending ? m_requestBytes : done.requestBytes,
                             m_responseBytes);
    if (done.upgrade || done.connect) {
        m_clientHeld = false; // the switch was refused; the connection goes on as HTTP
        processClient();
    }
    deliverAnswer();
}

void ProxyConnection::upstreamDrained()
{
    if (!m_tunnel && m_response && m_response->finishAtEnd()) {
        responseComplete(); // a body that runs until the service closes
    }
    if (m_state != Upstream::Open) {
        return;
    }
    m_state = Upstream::Closed;
    const bool unanswered = !m_tunnel && !m_exchanges.empty() && !m_exchanges.front().isLocal() &&
                            (!m_response || !m_response->is_header_done());
    if (unanswered) {
        badGateway(tr("The service at %1 closed the connection without answering.")
                       .arg(serviceEndpoint()));
    } else {
        m_client->disconnectFromHost();
    }
}

void ProxyConnection::badGateway(const QString &message)
{
    for (qsizetype i = 1; i < qsizetype(m_exchanges.size()); ++i) {
        if (!m_exchanges[size_t(i)].isLocal()) {
            m_server.captureEnded(m_exchanges[size_t(i)].id,
                                  tr("Not answered: the service failed on a request before it."));
        }
    }
    const Exchange failed = m_exchanges.front();
    m_exchanges.clear();
    m_response.reset();
    pushAnswer(errorResponse(502, message, !failed.head), failed.id);
}

QString ProxyConnection::serviceEndpoint() const
{
    return ProxyServer::endpoint(m_server.target().host, m_server.target().port);
}

void ProxyConnection::answer(int status, const QString &message, bool withBody)
{
    pushAnswer(errorResponse(status, message, withBody));
}

void ProxyConnection::pushAnswer(QByteArray response, quint64 captured)
{
    if (m_server.sink()) {
        recordAnswer(response, captured);
    }
    Exchange exchange;
    exchange.answer = std::move(response);
    m_exchanges.push_back(std::move(exchange));
    m_clientHeld = true;
    m_request.reset();
    deliverAnswer();
}

void ProxyConnection::recordAnswer(const QByteArray &response, quint64 captured)
{
    if (captured != 0) {
        m_server.captureAnswer(captured, {}, response, {});
        return;
    }
    MessageHead none;
    MessageHead &head = m_request && m_request->is_header_done() ? m_request->head() : none;
    QByteArray request;
    if (&head != &none) {
        // A wrong password is often close to the right one: it is not kept.
        for (qsizetype i = 0; i < head.fieldCount(); ++i) {
            if (head.name(i).compare("Authorization", Qt::CaseInsensitive) == 0) {
                head.removeField(i);
            }
        }
        request = head.forwarded();
    } else {
        // What could not be read as a request: its first line, as far as 1 KiB.
        const QByteArrayView bytes = m_fromClient.view();
        const qsizetype end = bytes.indexOf('\n');
        request = bytes.first(std::min<qsizetype>(end < 0 ? bytes.size() : end, 1024))
                      .trimmed()
                      .toByteArray() +
                  "\r\n\r\n";
    }
    m_server.captureAnswer(0, request, response, GuessLimiter::visitorOf(head, m_peer));
}

void ProxyConnection::deliverAnswer()
{
    // In its turn: after every response to the requests before it.
    if (m_exchanges.size() != 1 || !m_exchanges.front().isLocal() || m_response) {
        return;
    }
    if (m_client->state() == QAbstractSocket::ConnectedState) {
        send(*m_client, m_exchanges.front().answer);
    }
    m_state = Upstream::Closed;
    m_upstream->abort();
    m_client->disconnectFromHost();
    closed();
}

void ProxyConnection::clientEnded()
{
    m_clientEnded = true;
    if (m_state == Upstream::Closed) {
        m_upstream->abort();
    }
    processClient();
}

void ProxyConnection::upstreamEnded()
{
    m_upstreamEnded = true;
    processUpstream();
}

void ProxyConnection::closed()
{
    if (m_client->state() == QAbstractSocket::UnconnectedState && m_state == Upstream::Closed &&
        m_upstream->state() == QAbstractSocket::UnconnectedState) {
        m_clock.stop();
        deleteLater();
    }
}

bool ProxyConnection::admittedNow() const
{
    const RequestGate *gate = m_server.gate();
    return gate == m_admittedBy && (!gate || gate->generation() == m_admittedUnder);
}

void ProxyConnection::gateChanged()
{
    // Requests are checked one by one; an upgraded connection was checked once, for good.
    if (m_tunnel && !admittedNow()) {
        abortBoth();
    }
}

void ProxyConnection::abortBoth()
{
    m_state = Upstream::Closed;
    m_upstream->abort();
    m_client->abort();
    closed();
}

void ProxyConnection::updateTimer()
{
    // The visitor owes a request only when nothing is under way: no response awaited, no
    // request body coming, no upgrade.
    const bool owed = m_exchanges.empty() && !m_tunnel && !m_clientHeld && !m_clientEnded &&
                      !(m_request && m_request->is_header_done());
    if (m_clock.update(owed, !m_fromClient.isEmpty())) {
        releaseBuffers();
    }
}

void ProxyConnection::releaseBuffers()
{
    m_fromClient.release();
    m_fromUpstream.release();
}

void ProxyConnection::timedOut()
{
    qCDebug(lcProxy) << (m_clock.headLate() ? "408: head not whole in time from"
                                            : "silent or idle connection closed from")
                     << m_peer;
    if (m_clock.headLate()) {
        answer(408, m_clock.lateHeadMessage());
        return;
    }
    // Nothing asked: the connection just ends, as nginx ends an idle one.
    m_state = Upstream::Closed;
    m_upstream->abort();
    m_client->disconnectFromHost();
    closed();
}

} // namespace Velumo
