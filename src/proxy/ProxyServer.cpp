// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ProxyServer.h"

#include "proxy/ErrorPage.h"
#include "proxy/GuessLimiter.h"
#include "proxy/Inbox.h"
#include "proxy/Logging.h"
#include "proxy/ProxyConnection.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <optional>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace Velumo {

namespace {

// Hands events to the sink at most this often, so the request list updates in batches.
constexpr std::chrono::milliseconds deliveryInterval{250};
// Quick-tunnel visitors arrive through the tool's pool of up to 200 connections, opened at
// once under load; Qt's default backlog of 50 would make the rest retry a second later. 511 is
// nginx's own on Linux, so a burst of fresh connections waits in the kernel as long as there.
constexpr int listenBacklog = 511;
constexpr std::chrono::milliseconds acceptRetry{100};
// A batch goes to the sink at once when this much waits in it.
constexpr qsizetype batchLimit = 4 * 1024 * 1024;
// The same refusal to the same visitor within this long counts on one entry of the capture.
constexpr qint64 refusalWindow = 60'000;
// Visitors whose refusals are counted; addresses made up on a direct connection are many.
constexpr qsizetype refusalRecords = 1024;
// Idle service connections kept per proxy, and for how long: less than the keep-alive
// timeouts of common servers (Node and Apache 5 s), so that the service rarely closes one
// just as it is taken.
constexpr qsizetype spareServices = 8;
constexpr std::chrono::milliseconds spareFor{2000};
// No connection has moved a byte for this long: the burst is over.
constexpr std::chrono::milliseconds quietAfter{2000};

} // namespace

ProxyServer::ProxyServer(ProxyTarget target, ProxyTimeouts timeouts, QObject *parent)
    : QObject(parent)
    , m_timeouts(timeouts)
    , m_deliveryTimer(this)
    , m_quietCheck(this)
    , m_spareSweep(this)
    , m_service(std::move(target), timeouts.connect, this)
{
    m_quietCheck.setSingleShot(true);
    m_quietCheck.setInterval(quietAfter);
    connect(&m_quietCheck, &QTimer::timeout, this, &ProxyServer::quietCheck);
    m_spareSweep.setSingleShot(true);
    connect(&m_spareSweep, &QTimer::timeout, this, &ProxyServer::sweepSpares);
    m_deliveryTimer.setSingleShot(true);
    m_deliveryTimer.setInterval(deliveryInterval);
    connect(&m_deliveryTimer, &QTimer::timeout, this, &ProxyServer::deliver);
}

ProxyServer::~ProxyServer()
{
    // Before this object is only a QObject: connections use it to their end.
    if (m_gate) {
        m_gate->unwatch(m_gateWatch);
    }
    qDeleteAll(findChildren<ProxyConnection *>(Qt::FindDirectChildrenOnly));
    deliver();
}

void ProxyServer::start()
{
    if (m_server) {
        return;
    }
    m_server = new QTcpServer(this);
    m_server->setProxy(QNetworkProxy::NoProxy);
    m_server->setListenBacklogSize(listenBacklog);
    connect(m_server, &QTcpServer::newConnection, this, &ProxyServer::accept);
    connect(m_server, &QTcpServer::acceptError, this, &ProxyServer::acceptFailed);
    if (!m_server->listen(QHostAddress::LocalHost)) {
        Q_EMIT failed(tr("Could not listen on 127.0.0.1: %1").arg(m_server->errorString()));
        return;
    }
    m_service.resolve();
    Q_EMIT listening(m_server->serverPort());
}

quint16 ProxyServer::port() const
{
    return m_server && m_server->isListening() ? m_server->serverPort() : 0;
}

void ProxyServer::setSink(std::shared_ptr<ExchangeSink> sink)
{
    deliver();
    m_sink = std::move(sink);
}

void ProxyServer::setGate(std::shared_ptr<RequestGate> gate)
{
    if (m_gate) {
        m_gate->unwatch(m_gateWatch);
    }
    m_gate = std::move(gate);
    if (m_gate) {
        // Unwatched before this object goes, so the pointer is good whenever it is called.
        m_gateWatch = m_gate->watch([this] {
            QMetaObject::invokeMethod(this, &ProxyServer::gateChanged, Qt::QueuedConnection);
        });
    }
    gateChanged();
}

void ProxyServer::setHostHeader(QByteArray host)
{
    m_hostHeader = std::move(host);
    m_refusalsSaid = 0;
}

void ProxyServer::noteRefusal(DevServer server)
{
    if (const unsigned bit = 1U << unsigned(server); !(m_refusalsSaid & bit)) {
        m_refusalsSaid |= bit;
        Q_EMIT hostCheckRefused(server);
    }
}

void ProxyServer::gateChanged()
{
    for (ProxyConnection *connection :
         findChildren<ProxyConnection *>(Qt::FindDirectChildrenOnly)) {
        connection->gateChanged();
    }
}

void ProxyServer::accept()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        if (m_connections >= connectionLimit) {
            refuse(client);
            continue;
        }
        new ProxyConnection(client, *this); // counts itself out in its destructor
        ++m_connections;
    }
}

void ProxyServer::refuse(QTcpSocket *client)
{
    // The page goes out and the connection closes at once, holding no descriptor through a
    // flood. What the visitor sent already is read first, since closing with bytes unread
    // would reset the connection, page and all.
    static const QByteArray busy = errorResponse(
        503, tr("Velumo's proxy has %1 connections open, as many as it takes. Try again soon.")
                 .arg(connectionLimit));
    qCDebug(lcProxy) << "503: connection from" << client->peerAddress() << "over the limit of"
                     << connectionLimit;
    send(*client, busy);
    captureAnswer(0, {}, busy, GuessLimiter::visitorOf({}, client->peerAddress()));
    const int fd = int(client->socketDescriptor());
    char sink[4096];
    for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    client->abort();
    client->deleteLater();
}

void ProxyServer::parkService(QTcpSocket *socket)
{
    if (m_spareServices.size() >= spareServices) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    // A close or bytes from the service while parked are found when the socket is taken; the
    // sweep ends what sits too long. One timer for all: a timer per park (thousands a second
    // in a burst of fresh connections) costs more than the rest of the visit.
    m_spareServices.append({socket, QDeadlineTimer(spareFor)});
    if (!m_spareSweep.isActive()) {
        m_spareSweep.start(spareFor);
    }
}

void ProxyServer::sweepSpares()
{
    std::optional<QDeadlineTimer> next;
    for (qsizetype i = 0; i < m_spareServices.size();) {
        const Spare &spare = m_spareServices.at(i);
        if (spare.until.hasExpired()) {
            spare.socket->abort();
            spare.socket->deleteLater();
            m_spareServices.removeAt(i);
        } else {
            next = next ? std::min(*next, spare.until) : spare.until;
            ++i;
        }
    }
    if (next) {
        m_spareSweep.start(std::chrono::milliseconds(std::max<qint64>(next->remainingTime(), 1)));
    }
}

QTcpSocket *ProxyServer::takeService()
{
    while (!m_spareServices.isEmpty()) {
        QTcpSocket *socket = m_spareServices.takeLast().socket;
        // An end or bytes, read by Qt or not yet seen by the event loop: the socket is not taken.
        char byte;
        if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0 &&
            ::recv(int(socket->socketDescriptor()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 &&
            (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return socket;
        }
        socket->abort();
        socket->deleteLater();
    }
    return nullptr;
}

void ProxyServer::acceptFailed()
{
    // Qt stops accepting when the process is out of descriptors; others free some soon.
    qCDebug(lcProxy) << "accepting paused:" << m_server->errorString();
    QTimer::singleShot(acceptRetry, m_server, &QTcpServer::resumeAccepting);
}

void ProxyServer::capture(ExchangeEvent::Kind kind, quint64 exchange, QByteArrayView bytes)
{
    if (!m_sink) {
        return;
    }
    const bool body =
        kind == ExchangeEvent::Kind::RequestBody || kind == ExchangeEvent::Kind::ResponseBody;
    if (!body) {
        m_sink->reserve(bytes.size(), false); // a head however full: it is at most 64 KiB
    }
    if (body && !m_batch.empty() && m_batch.back().exchange == exchange &&
        m_batch.back().kind == kind) {
        m_batch.back().bytes += bytes; // one copy of a body's part per batch, not one per read
        m_batchBytes += bytes.size();
    } else {
        queue({exchange, kind, QDateTime::currentMSecsSinceEpoch(), bytes.toByteArray()});
    }
    if (m_batchBytes >= batchLimit) {
        deliver();
    }
}

void ProxyServer::queue(ExchangeEvent event)
{
    m_batchBytes += event.bytes.size();
    m_batch.push_back(std::move(event));
    if (!m_deliveryTimer.isActive()) {
        m_deliveryTimer.start();
    }
}

void ProxyServer::captureBody(ExchangeEvent::Kind kind, quint64 exchange, QByteArrayView body,
                              qsizetype &taken)
{
    if (!m_sink || body.isEmpty() || taken >= m_sink->bodyBytesWanted()) {
        return;
    }
    const QByteArrayView part =
        body.first(std::min(body.size(), m_sink->bodyBytesWanted() - taken));
    if (!m_sink->reserve(part.size(), true)) {
        taken = m_sink->bodyBytesWanted(); // cut here: a body with a gap would mislead
        return;
    }
    taken += part.size();
    capture(kind, exchange, part);
}

void ProxyServer::captureFinished(quint64 exchange, qint64 requestBodySize, qint64 responseBodySize)
{
    if (m_sink) {
        queue({exchange,
               ExchangeEvent::Kind::Finished,
               QDateTime::currentMSecsSinceEpoch(),
               {},
               requestBodySize,
               responseBodySize});
    }
}

void ProxyServer::captureAnswer(quint64 exchange, QByteArrayView requestHead,
                                QByteArrayView response, const QByteArray &visitor)
{
    if (!m_sink) {
        return;
    }
    if (exchange == 0) {
        // A link with key and a failing service are worth seeing each time; refusals are not.
        const int status = response.sliced(9, 3).toInt();
        if (status >= 400 && status != 502 && repeated(status, visitor, exchange)) {
            return;
        }
        exchange = exchange == 0 ? nextExchange() : exchange;
        capture(ExchangeEvent::Kind::Request, exchange, requestHead);
    }
    capture(ExchangeEvent::Kind::Answered, exchange, response);
}

bool ProxyServer::repeated(int status, const QByteArray &visitor, quint64 &exchange)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QByteArray key = visitor + ' ' + QByteArray::number(status);
    if (const auto at = m_refusals.find(key);
        at != m_refusals.end() && now - at->lastMsecs < refusalWindow) {
        at->lastMsecs = now;
        // One event per batch for a flood: the last few are looked at for one to add to.
        const auto recent = m_batch.rbegin() + std::min<qsizetype>(qsizetype(m_batch.size()), 8);
        const auto same = std::find_if(m_batch.rbegin(), recent, [&](const ExchangeEvent &e) {
            return e.exchange == at->exchange && e.kind == ExchangeEvent::Kind::Repeated;
        });
        if (same != recent) {
            ++same->times;
        } else {
            queue({at->exchange, ExchangeEvent::Kind::Repeated, now, {}, 0, 0, 1});
        }
        return true;
    }
    if (m_refusals.size() >= refusalRecords) {
        m_refusals.removeIf([now](QHash<QByteArray, Refusals>::iterator it) {
            return now - it->lastMsecs >= refusalWindow;
        });
        if (m_refusals.size() >= refusalRecords) {
            m_refusals.clear();
        }
    }
    exchange = nextExchange();
    m_refusals.insert(key, {exchange, now});
    return false;
}

void ProxyServer::captureEnded(quint64 exchange, const QString &why)
{
    if (m_sink) {
        queue({exchange, ExchangeEvent::Kind::Ended, QDateTime::currentMSecsSinceEpoch(),
               why.toUtf8()});
    }
}

void ProxyServer::deliver()
{
    m_deliveryTimer.stop();
    if (m_sink && !m_batch.empty()) {
        for (ExchangeEvent &event : m_batch) {
            event.bytes.squeeze(); // the store keeps these bytes as they are
        }
        m_sink->deliver(std::exchange(m_batch, {}));
    }
    m_batch.clear();
    m_batchBytes = 0;
}

void ProxyServer::noteActivity()
{
    m_active = true;
    if (!m_quietCheck.isActive()) {
        m_quietCheck.start();
    }
}

void ProxyServer::quietCheck()
{
    if (std::exchange(m_active, false)) {
        m_quietCheck.start();
        return;
    }
    // The burst is over: the memory it took goes back to the system, not only to the heap.
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

} // namespace Velumo
