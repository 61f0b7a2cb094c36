// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ProxyConnection.h"

#include "proxy/ErrorPage.h"
#include "proxy/GuessLimiter.h"
#include "proxy/Logging.h"
#include "proxy/ProxyServer.h"
#include "proxy/StrictFraming.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

// A browser's request from a page not served by this machine's own names.
bool fromAnotherOrigin(const MessageHead &head)
{
    if (const qsizetype site = head.lastIndexOf("Sec-Fetch-Site");
        site >= 0 && head.value(site) == "cross-site") {
        return true;
    }
    const qsizetype origin = head.lastIndexOf("Origin");
    if (origin < 0) {
        return false;
    }
    const QString host = QUrl(QString::fromLatin1(head.value(origin))).host();
    return host != u"localhost"_s && host != u"127.0.0.1"_s && host != u"::1"_s;
}

} // namespace

ProxyConnection::ProxyConnection(QTcpSocket *client, ProxyServer &server)
    : QObject(&server)
    , m_server(server)
    , m_client(client)
    , m_upstream(&server.standIn())
    , m_clock(server.timeouts(), this)
{
    client->setParent(this);
    client->setReadBufferSize(Inbox::readSize);
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_peer = client->peerAddress();
    m_forwardedFor = m_peer.toString().toLatin1();

    connect(&m_clock, &ConnectionClock::expired, this, &ProxyConnection::timedOut);
    connect(client, &QTcpSocket::readyRead, this, &ProxyConnection::processClient);
    connect(client, &QTcpSocket::bytesWritten, this, &ProxyConnection::processUpstream);
    connect(client, &QTcpSocket::disconnected, this, &ProxyConnection::clientEnded);
    updateTimer();
}

ProxyConnection::~ProxyConnection()
{
    m_server.connectionEnded();
    // No captured request stays waiting once its connection is gone.
    for (const Exchange &exchange : m_exchanges) {
        if (!exchange.isLocal()) {
            m_server.captureEnded(
                exchange.id,
                m_clientEnded
                    ? tr("The visitor closed the connection before the response was whole.")
                    : tr("The connection ended before the response was forwarded whole."));
        }
    }
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
    m_fromClient.release();

    updateTimer();
    // Once the visitor is gone, what it sent is delivered, then the service's side closes.
    if (m_clientEnded && upstreamReusable()) {
        parkUpstream();
    } else if (m_clientEnded && m_state == Upstream::Open &&
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
        m_resend.clear(); // the service has part of the body: the request cannot go again
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
    if (head.target().startsWith("/_next/") && fromAnotherOrigin(head)) {
        exchange.devOrigin = true;
        const qsizetype host = head.lastIndexOf("Host");
        exchange.visitorHost = host < 0 ? QByteArray() : head.value(host).toByteArray();
    }
    QByteArray forwarded = head.forwarded();
    // The capture keeps the head as the visitor sent it, and what the service got beside it.
    m_server.capture(ExchangeEvent::Kind::Request, exchange.id, forwarded);
    if (!m_server.hostHeader().isEmpty()) {
        rewriteHost(head);
        forwarded = head.forwarded();
        m_server.capture(ExchangeEvent::Kind::Rewritten, exchange.id, forwarded);
    }
    m_fromClient.consume(size);
    m_requestId = exchange.id;
    m_requestBytes = 0;
    m_requestTaken = 0;
    m_exchanges.push_back(exchange);
    if (m_state == Upstream::Idle && !takeSpareUpstream()) {
        // The service is reached only for a request that may go there; the rest of the
        // visitor's bytes wait until it answers.
        connectService(std::move(forwarded));
    } else if (m_state == Upstream::Open) {
        send(*m_upstream, forwarded);
        if (m_upstreamServed) {
            m_resend = std::move(forwarded);
        }
    }
}

void ProxyConnection::rewriteHost(MessageHead &head)
{
    // Every Host and X-Forwarded-Host the visitor sent goes: one of each is forwarded, ours.
    QByteArray visitorHost;
    qsizetype host = -1;
    for (qsizetype i = 0; i < head.fieldCount(); ++i) {
        const QByteArrayView name = head.name(i);
        if (name.compare("Host", Qt::CaseInsensitive) == 0) {
            if (host < 0) {
                host = i;
                visitorHost = head.value(i).toByteArray();
            } else {
                head.removeField(i);
            }
        } else if (name.compare("X-Forwarded-Host", Qt::CaseInsensitive) == 0) {
            head.removeField(i);
        }
    }
    if (host >= 0) {
        head.setValue(host, m_server.hostHeader());
    } else {
        head.addField("Host", m_server.hostHeader());
    }
    // Folded values were refused before: the visitor's value holds no line break.
    if (!visitorHost.isEmpty()) {
        head.addField("X-Forwarded-Host", visitorHost);
    }
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
    m_clock.update(owed, !m_fromClient.isEmpty());
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
    // Nothing asked: the connection just ends, as nginx ends an idle one; the service
    // connection may serve another visitor.
    if (upstreamReusable()) {
        parkUpstream();
    }
    m_state = Upstream::Closed;
    m_upstream->abort();
    m_client->disconnectFromHost();
    closed();
}

} // namespace Velumo
