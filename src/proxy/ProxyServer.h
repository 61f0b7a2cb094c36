// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ExchangeSink.h"
#include "proxy/HostCheck.h"
#include "proxy/ProxyTarget.h"
#include "proxy/RequestGate.h"
#include "proxy/ServiceEndpoint.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <memory>
#include <vector>

class QTcpServer;

namespace Velumo {

struct ProxyTimeouts {
    // A request head must arrive whole this long after the connection is accepted, or after
    // its first byte once the connection was idle: silence ends the connection, part of a
    // head gets a 408. A client that trickles holds a socket, never memory without bound.
    std::chrono::milliseconds head{30'000};
    // An idle connection between requests ends after this: longer than cloudflared's own 90 s,
    // so that the tool never sends a request on a connection the proxy is closing.
    std::chrono::milliseconds idle{120'000};
    // Per address of the service; on loopback the answer is immediate.
    std::chrono::milliseconds connect{10'000};
};

// The listening side of one proxy and its connections, all on the thread it lives on
// (ReverseProxy puts it on the proxy thread). Every connection goes to the target and only
// there: nothing a visitor sends is read for an address.
class ProxyServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProxyServer)

public:
    // Beyond this many connections a visitor gets a 503 and the connection ends: a flood costs
    // one proxy its visitors, never the descriptors that the other proxies and the window need.
    static constexpr int connectionLimit = 512;

    explicit ProxyServer(ProxyTarget target, ProxyTimeouts timeouts = {},
                         QObject *parent = nullptr);
    ~ProxyServer() override;

    // Listens on 127.0.0.1 at a port the system picks; listening() or failed() follows.
    void start();
    quint16 port() const;
    const ProxyTarget &target() const { return m_service.target(); }
    const ProxyTimeouts &timeouts() const { return m_timeouts; }
    int connectionCount() const { return m_connections; }

    void setSink(std::shared_ptr<ExchangeSink> sink);
    ExchangeSink *sink() const { return m_sink.get(); }
    // Upgraded connections let in by the gate before (or with no gate) end when it changes.
    void setGate(std::shared_ptr<RequestGate> gate);
    RequestGate *gate() const { return m_gate.get(); }
    // The Host the service gets in place of the visitor's; empty passes the visitor's on.
    void setHostHeader(QByteArray host);
    const QByteArray &hostHeader() const { return m_hostHeader; }
    // A connection saw the service's host check turn a visitor away: said once per kind until
    // the Host sent changes.
    void noteRefusal(DevServer server);

    // For the connections: the service's addresses and the certificate trusted for it.
    ServiceEndpoint &service() { return m_service; }
    quint64 nextExchange() { return ++m_exchanges; }
    // Service connections left idle by visitors that went, for later visitors to skip
    // connecting: a few, each for a short while, dropped once the service closes one or
    // sends on it unasked. take gives nullptr when none is left.
    void parkService(QTcpSocket *socket);
    QTcpSocket *takeService();
    // Never connected: stands in for the service connection of every visitor connection that
    // has none, so that a visitor answered from the pool or by the proxy makes no socket.
    QTcpSocket &standIn() { return m_standIn; }
    void connectionEnded() { --m_connections; }
    // Hands a copy to the sink's next batch, when there is a sink; a body only as far as the
    // sink wants it, counting in `taken`.
    void capture(ExchangeEvent::Kind kind, quint64 exchange, QByteArrayView bytes);
    void captureBody(ExchangeEvent::Kind kind, quint64 exchange, QByteArrayView body,
                     qsizetype &taken);
    void captureFinished(quint64 exchange, qint64 requestBodySize, qint64 responseBodySize);
    // The proxy answered a request itself with `response`: to `exchange` captured before, or
    // (0) to a request not captured, whose head is `requestHead`. The same refusal to the same
    // `visitor` (GuessLimiter::visitorOf) within a minute is counted on the first one's entry,
    // so that a flood cannot push real requests out of the capture.
    void captureAnswer(quint64 exchange, QByteArrayView requestHead, QByteArrayView response,
                       const QByteArray &visitor);
    // A captured exchange's connection ended before its response was forwarded whole.
    void captureEnded(quint64 exchange, const QString &why);
    // A connection moved bytes. Once none has for 2 s, freed heap goes back to the system.
    void noteActivity();

Q_SIGNALS:
    void listening(quint16 port);
    void failed(const QString &message);
    void hostCheckRefused(Velumo::DevServer server);

private:
    void accept();
    void refuse(QTcpSocket *client);
    void acceptFailed();
    void deliver();
    // Adds an event to the batch the sink gets at the next delivery.
    void queue(ExchangeEvent event);
    void gateChanged();
    void quietCheck();
    void sweepSpares();
    bool repeated(int status, const QByteArray &visitor, quint64 &exchange);

    ProxyTimeouts m_timeouts;
    QTcpServer *m_server = nullptr;
    int m_connections = 0;
    quint64 m_exchanges = 0;
    std::shared_ptr<ExchangeSink> m_sink;
    std::shared_ptr<RequestGate> m_gate;
    QByteArray m_hostHeader;
    unsigned m_refusalsSaid = 0; // a bit per DevServer
    int m_gateWatch = 0;
    // The entry that each visitor's latest refusal of each status is counted on.
    struct Refusals {
        quint64 exchange = 0;
        qint64 lastMsecs = 0;
    };
    QHash<QByteArray, Refusals> m_refusals;
    struct Spare {
        QTcpSocket *socket = nullptr;
        QDeadlineTimer until;
    };
    QList<Spare> m_spareServices;
    QTcpSocket m_standIn{this};
    std::vector<ExchangeEvent> m_batch;
    qsizetype m_batchBytes = 0;
    // Children, so that they move to the proxy thread with the server.
    QTimer m_deliveryTimer;
    QTimer m_quietCheck;
    QTimer m_spareSweep;
    ServiceEndpoint m_service;
    bool m_active = false;
};

} // namespace Velumo
