// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
// ProxyConnection's service side: responses read, matched to their requests and forwarded, and
// the 502 that stands in for a response the service did not give.
#include "proxy/ProxyConnection.h"

#include "proxy/ErrorPage.h"
#include "proxy/Logging.h"
#include "proxy/ProxyServer.h"
#include "proxy/TlsProbe.h"

#include <QTcpSocket>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace Velumo {

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
    // Between passes an emptied inbox holds no memory: otherwise every busy connection would
    // keep a whole read's worth (a burst of 200 responses, 12 of its 16 MiB).
    m_fromUpstream.release();

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
            m_resend.clear(); // the answer begun: the request is not sent again
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
            badGateway(!m_server.target().tls && TlsProbe::looksLikeTls(m_fromUpstream.unframed())
                           ? speaksTlsMessage()
                           : tr("The service sent a response that could not be read as "
                                "HTTP/1.1."));
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
        m_serviceAnswered = true;
        m_server.capture(ExchangeEvent::Kind::Response, exchange.id, bytes);
        // Host checks answer 403, or 400 (Django); an ordinary page is never held up.
        m_refusalWatched = status == 403 || status == 400;
        m_refusalBody.clear();
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
        if (m_refusalWatched) {
            watchRefusal(m_response->body());
        }
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
    m_upstreamServed = true;
    if (m_refusalWatched) {
        judgeRefusal(status);
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
    const bool untilClose = !m_tunnel && m_response && m_response->finishAtEnd();
    if (untilClose) {
        responseComplete(); // a body that runs until the service closes
    }
    if (m_state != Upstream::Open) {
        return;
    }
    m_state = Upstream::Closed;
    const bool unanswered = !m_tunnel && !m_exchanges.empty() && !m_exchanges.front().isLocal() &&
                            (!m_response || !m_response->is_header_done());
    if (unanswered && retryOnFresh()) {
        return;
    }
    if (unanswered) {
        closedUnanswered();
    } else if (!untilClose && !m_tunnel && !m_clientEnded && m_exchanges.empty() &&
               !(m_request && m_request->is_header_done())) {
        // The service ended an idle connection (its own keep-alive timeout): the visitor's stays,
        // as with nginx, and its next request goes on a spare one from the pool or a fresh one.
        // Until then the stand-in takes its place: no socket is made for a request that may
        // never come.
        dropUpstream(&m_server.standIn());
        m_upstreamEnded = false;
        m_upstreamNeedsMore = false;
        m_state = Upstream::Idle;
    } else {
        m_client->disconnectFromHost();
    }
}

void ProxyConnection::watchRefusal(QByteArrayView body)
{
    constexpr qsizetype enough = 16 * 1024; // a refusal says so near the start
    m_refusalBody += body.first(std::min(body.size(), enough - m_refusalBody.size()));
    if (m_refusalBody.size() >= enough) {
        judgeRefusal(m_response->head().status());
    }
}

void ProxyConnection::judgeRefusal(int status)
{
    m_refusalWatched = false;
    if (const std::optional<DevServer> server = HostCheck::refusedBy(status, m_refusalBody)) {
        m_server.noteRefusal(*server);
    } else if (!m_exchanges.empty() && m_exchanges.front().devOrigin &&
               HostCheck::refusedOrigin("/_next/", true, status, m_refusalBody)) {
        m_server.noteRefusal(DevServer::NextJs);
    }
    m_refusalBody.clear();
}

QString ProxyConnection::closedWithoutAnswer(const Exchange &exchange)
{
    const QString closed =
        tr("The service at %1 closed the connection without answering.").arg(serviceEndpoint());
    if (!exchange.devOrigin) {
        return closed;
    }
    m_server.noteRefusal(DevServer::NextJs);
    // A quick tunnel's name changes at each start: the setting allows them all.
    const QString host = QUrl(u"//"_s + QString::fromLatin1(exchange.visitorHost)).host();
    const bool quick = host.isEmpty() || host.endsWith(u".trycloudflare.com"_s);
    return closed + u' ' +
           tr("Next.js refuses requests for its own resources from another origin: add %1 to %2, "
              "then start it again.")
               .arg(HostCheck::allowSetting(DevServer::NextJs, quick ? QString() : host),
                    HostCheck::settingPlace(DevServer::NextJs));
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

} // namespace Velumo
