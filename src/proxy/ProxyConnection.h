// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ConnectionClock.h"
#include "proxy/HttpFramer.h"
#include "proxy/Inbox.h"
#include "proxy/ServiceConnector.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <deque>
#include <optional>

class QTcpSocket;

namespace Velumo {

class ProxyServer;
class RequestGate;

// One visitor connection and the connection to the service that serves it alone. Bytes go on
// as they arrive, in both directions; the framers only find where messages begin and end, so
// that each response is matched to its request, the request head can carry X-Forwarded-For,
// and the proxy's own answers (400, 408, 431, 502) come in their turn. Reading from one side
// pauses while the other side's write buffer is full. The service side is in
// ProxyConnectionResponse.cpp, the connection to the service in ProxyConnectionService.cpp,
// the timers in ConnectionClock.
class ProxyConnection : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProxyConnection)

public:
    // Takes the client socket, and deletes itself once both sides are closed.
    ProxyConnection(QTcpSocket *client, ProxyServer &server);
    ~ProxyConnection() override;

    // The gate, or what it lets in, changed: an upgraded connection let in before ends.
    void gateChanged();

private:
    // A request whose response has not been forwarded whole yet, or the proxy's own answer.
    struct Exchange {
        quint64 id = 0;
        bool head = false;
        bool connect = false;
        bool upgrade = false;
        // A request from another origin for a Next.js development server's own resources,
        // which it refuses unless told to allow that origin.
        bool devOrigin = false;
        QByteArray visitorHost;  // only for such a request
        qint64 requestBytes = 0; // the body's, on the wire, once the request is whole
        QByteArray answer;
        bool isLocal() const { return !answer.isEmpty(); }
    };

    // The service is reached only for a request that may go there, then kept for the next.
    enum class Upstream { Idle, Connecting, Open, Closed };

    void watchUpstream();
    // The service connection may serve another visitor: nothing is under way on it.
    bool upstreamReusable() const;
    void parkUpstream();
    // An idle connection another visitor left, when the pool has one.
    bool takeSpareUpstream();
    // Puts `next` in place of the service connection, which goes unless it is the stand-in.
    void dropUpstream(QTcpSocket *next);
    // An unconnected socket of the target's kind takes the place of one done with.
    void replaceUpstream();
    // Connects afresh, sending `head` once connected.
    void connectService(QByteArray head);
    // The service closed a connection that had served before, with nothing of the answer to
    // the request first in line come and nothing of its body gone: a service closing an idle
    // connection as it was reused. That request goes again, once, on a fresh connection.
    bool retryOnFresh();
    void upstreamConnected();
    void upstreamFailed();

    void processClient();
    void pumpClient();
    bool forwardRequest(RequestFramer::Step step);
    void requestHead(qsizetype size);
    // Sends the service the Host it expects; the visitor's goes in X-Forwarded-Host.
    void rewriteHost(MessageHead &head);
    // Whether the response being forwarded is a development server's host check refusing
    // the visitor: looked at once it is whole, or its first 16 KiB are in.
    void watchRefusal(QByteArrayView body);
    void judgeRefusal(int status);
    // The 502 in place of the answer a service closed without: it names Next.js's setting
    // when the request was one Next.js refuses from another origin.
    QString closedWithoutAnswer(const Exchange &exchange);
    void processUpstream();
    void pumpUpstream();
    bool forwardResponse(ResponseFramer::Step step);
    void responseComplete();
    void upstreamDrained();

    // The exchanges waiting are dropped and the visitor gets a 502 page in place of the
    // response (its head only when it asked with HEAD).
    void badGateway(const QString &message);
    QString serviceEndpoint() const;
    // The service closed without answering the request first in line: a 502, which says so
    // when a probe finds that the service speaks TLS to a plain request.
    void closedUnanswered();
    QString speaksTlsMessage() const;
    void answer(int status, const QString &message, bool withBody = true);
    // `captured`: the exchange the answer is to, when the capture has its request already.
    void pushAnswer(QByteArray response, quint64 captured = 0);
    void recordAnswer(const QByteArray &response, quint64 captured);
    void deliverAnswer();
    void clientEnded();
    void upstreamEnded();
    void closed();
    void abortBoth();
    void updateTimer();
    void timedOut();
    bool admittedNow() const;

    ProxyServer &m_server;
    QTcpSocket *m_client;
    QTcpSocket *m_upstream;
    // Connecting m_upstream, when this connection made it; a child of that socket.
    ServiceConnector *m_connector = nullptr;
    ConnectionClock m_clock;
    Upstream m_state = Upstream::Idle;
    QHostAddress m_peer;
    QByteArray m_forwardedFor;
    QByteArray m_firstHead; // forwarded once the service accepts the connection
    // The head last sent on a service connection that served before, while it may go again
    // (see retryOnFresh): until the answer's first byte comes or the body's first byte goes.
    QByteArray m_resend;
    bool m_upstreamServed = false; // a response came whole on m_upstream, or it was pooled
    // The gate and its generation when the last request was let in.
    const RequestGate *m_admittedBy = nullptr;
    quint64 m_admittedUnder = 0;

    Inbox m_fromClient;
    Inbox m_fromUpstream;
    std::optional<RequestFramer> m_request;
    std::optional<ResponseFramer> m_response;
    std::deque<Exchange> m_exchanges;
    // The request being read (its body may outlast its exchange, answered early) and the
    // response: their body bytes on the wire and how much of those the capture took.
    quint64 m_requestId = 0;
    qint64 m_requestBytes = 0;
    qint64 m_responseBytes = 0;
    qsizetype m_requestTaken = 0;
    qsizetype m_responseTaken = 0;
    // The start of a response body that may be a host check's refusal.
    QByteArray m_refusalBody;
    bool m_refusalWatched = false;
    bool m_clientNeedsMore = false;
    bool m_upstreamNeedsMore = false;
    // Client bytes wait while a request asks to switch protocols and the answer is not in,
    // and for good once the proxy answers itself.
    bool m_clientHeld = false;
    bool m_tunnel = false;
    bool m_clientEnded = false;
    bool m_upstreamEnded = false;
    // The service connection brought a response head (a TLS service never does on plain).
    bool m_serviceAnswered = false;
    bool m_inClient = false;
    bool m_clientAgain = false;
    bool m_inUpstream = false;
    bool m_upstreamAgain = false;
};

} // namespace Velumo
