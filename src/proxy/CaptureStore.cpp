// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/CaptureStore.h"

#include <QMutex>
#include <QSet>

#include <algorithm>
#include <atomic>

namespace Velumo {

namespace {

// Bytes on their way from the proxies to the store, at most: with the store's own, they stay
// within its capacity. The heap they took stays with the proxy's thread until its traffic
// ends, beside a store that may be full by then, so this is also what capturing may add to
// the process beyond the store's capacity.
constexpr qint64 inFlightLimit = 8 * 1024 * 1024;

// Appends to a captured body as far as the limit; true when some did not fit. A body that
// arrives whole in one piece is kept as it came, not copied. One that comes in parts gets the
// room its Content-Length asks for at once: grown by appending, it would be copied at each
// doubling and keep room it never uses (a body of 1 MiB would hold 2).
bool appendCut(QByteArray &body, const QByteArray &bytes, const CapturedHead &head)
{
    const qsizetype room = CaptureStore::bodyLimit - body.size();
    const qsizetype length =
        std::clamp<qint64>(head.field("Content-Length").toLongLong(), 0, CaptureStore::bodyLimit);
    if (body.isEmpty() && bytes.size() <= room && bytes.size() >= length) {
        body = bytes;
        return false;
    }
    if (body.capacity() < length) {
        body.reserve(length);
    }
    body += QByteArrayView(bytes).first(std::clamp<qsizetype>(room, 0, bytes.size()));
    return bytes.size() > room;
}

// A body grown without a length known gives back the room it did not use.
void fit(QByteArray &body)
{
    if (body.capacity() > body.size()) {
        body.squeeze();
    }
}

qint64 batchBytes(const std::vector<ExchangeEvent> &batch)
{
    qint64 bytes = 0;
    for (const ExchangeEvent &event : batch) {
        bytes += event.bytes.size();
    }
    return bytes;
}

} // namespace

// The store's address for the sinks, cleared when it goes, since a proxy on its thread may
// deliver a last batch after that.
struct CaptureStore::Link {
    QMutex mutex;
    CaptureStore *store = nullptr;
    std::atomic<qint64> inFlight{0}; // reserved by the proxies, not yet taken here
};

class CaptureStore::Sink final : public ExchangeSink
{
public:
    Sink(std::shared_ptr<Link> link, quint64 serial, QString tunnel)
        : m_link(std::move(link))
        , m_serial(serial)
        , m_tunnel(std::move(tunnel))
    {}

    // One more byte than is kept, to know that a body was cut.
    qsizetype bodyBytesWanted() const override { return bodyLimit + 1; }

    bool reserve(qsizetype bytes, bool refusable) override
    {
        if (m_link->inFlight.fetch_add(bytes) + bytes > inFlightLimit && refusable) {
            m_link->inFlight.fetch_sub(bytes);
            return false;
        }
        return true;
    }

    void deliver(std::vector<ExchangeEvent> batch) override
    {
        const QMutexLocker lock(&m_link->mutex);
        CaptureStore *store = m_link->store;
        if (!store) {
            m_link->inFlight.fetch_sub(batchBytes(batch));
            return;
        }
        QMetaObject::invokeMethod(
            store,
            [store, serial = m_serial, tunnel = m_tunnel, batch = std::move(batch)] {
                store->take(serial, tunnel, batch);
            },
            Qt::QueuedConnection);
    }

private:
    std::shared_ptr<Link> m_link;
    quint64 m_serial;
    QString m_tunnel;
};

CaptureStore::CaptureStore(QObject *parent)
    : QObject(parent)
    , m_link(std::make_shared<Link>())
{
    m_link->store = this;
}

CaptureStore::~CaptureStore()
{
    const QMutexLocker lock(&m_link->mutex);
    m_link->store = nullptr;
}

std::shared_ptr<ExchangeSink> CaptureStore::sinkFor(const QString &tunnel)
{
    return std::make_shared<Sink>(m_link, ++m_nextSink, tunnel);
}

QList<quint64> CaptureStore::exchanges(const QString &tunnel) const
{
    QList<quint64> ids;
    for (const auto &[id, entry] : m_entries) {
        if (entry.exchange.tunnel == tunnel) {
            ids.append(id);
        }
    }
    return ids;
}

const CapturedExchange *CaptureStore::exchange(quint64 id) const
{
    const auto at = m_entries.find(id);
    return at == m_entries.end() ? nullptr : &at->second.exchange;
}

void CaptureStore::clear(const QString &tunnel)
{
    CaptureChange change;
    for (auto at = m_entries.begin(); at != m_entries.end();) {
        if (at->second.exchange.tunnel == tunnel) {
            change.removed.append(at->first);
            erase(at++);
        } else {
            ++at;
        }
    }
    if (!change.removed.isEmpty()) {
        Q_EMIT changed(tunnel, change);
    }
}

quint64 CaptureStore::add(CapturedExchange exchange)
{
    exchange.id = ++m_nextId;
    exchange.requestTruncated |= exchange.requestBody.size() > bodyLimit;
    exchange.responseTruncated |= exchange.responseBody.size() > bodyLimit;
    if (exchange.requestBody.size() > bodyLimit) {
        exchange.requestBody.truncate(bodyLimit);
        exchange.readRequest();
    }
    exchange.responseBody.truncate(bodyLimit);
    m_bytes += exchange.cost();
    Changes changes;
    changes[exchange.tunnel].added.append(exchange.id);
    const quint64 id = exchange.id;
    m_entries.emplace(id, Entry{std::move(exchange), {}, false});
    makeRoom(changes);
    emitChanges(changes);
    return id;
}

void CaptureStore::take(quint64 sink, const QString &tunnel,
                        const std::vector<ExchangeEvent> &batch)
{
    const quint64 firstNew = m_nextId + 1;
    QSet<quint64> updated;
    Changes changes;
    for (const ExchangeEvent &event : batch) {
        const Source source{sink, event.exchange};
        if (event.kind == ExchangeEvent::Kind::Request) {
            Entry entry{{}, source, true};
            entry.exchange.id = ++m_nextId;
            entry.exchange.tunnel = tunnel;
            entry.exchange.startedMsecs = event.atMsecs;
            m_bytes += entry.exchange.cost();
            m_live.insert(source, entry.exchange.id);
            changes[tunnel].added.append(entry.exchange.id);
            apply(m_entries.emplace(entry.exchange.id, std::move(entry)).first->second, event);
            continue;
        }
        const auto live = m_live.constFind(source);
        if (live == m_live.cend()) {
            continue; // cleared, or out for room, while it was under way
        }
        Entry &entry = m_entries.at(*live);
        apply(entry, event);
        if (entry.exchange.id < firstNew) {
            updated.insert(entry.exchange.id);
        }
        if (!entry.live) {
            m_live.erase(live);
        }
    }
    m_link->inFlight.fetch_sub(batchBytes(batch)); // counted in m_bytes from here on
    if (!updated.isEmpty()) {
        QList<quint64> &list = changes[tunnel].updated;
        list = updated.values();
        std::sort(list.begin(), list.end());
    }
    makeRoom(changes);
    emitChanges(changes);
}

void CaptureStore::apply(Entry &entry, const ExchangeEvent &event)
{
    CapturedExchange &exchange = entry.exchange;
    const qint64 before = exchange.cost();
    switch (event.kind) {
    case ExchangeEvent::Kind::Request:
        exchange.request.bytes = event.bytes;
        exchange.readRequest();
        break;
    case ExchangeEvent::Kind::Rewritten:
        exchange.forwardedHead = event.bytes;
        break;
    case ExchangeEvent::Kind::RequestBody:
        exchange.requestSize += event.bytes.size();
        exchange.requestTruncated |= appendCut(exchange.requestBody, event.bytes, exchange.request);
        exchange.readRequest();
        break;
    case ExchangeEvent::Kind::Response:
        exchange.response = CapturedHead::response(event.bytes);
        if (exchange.response.status == 101) {
            // What follows are frames, which are not captured.
            exchange.durationMsecs = event.atMsecs - exchange.startedMsecs;
            exchange.finished = true;
            entry.live = false;
        }
        break;
    case ExchangeEvent::Kind::ResponseBody:
        exchange.responseSize += event.bytes.size();
        exchange.responseTruncated |=
            appendCut(exchange.responseBody, event.bytes, exchange.response);
        break;
    case ExchangeEvent::Kind::Finished:
        exchange.requestSize = event.requestBodySize;
        exchange.responseSize = event.responseBodySize;
        exchange.requestTruncated |= exchange.requestSize > exchange.requestBody.size();
        // A body cut while the store had no room; a decoded one is never longer than sent.
        exchange.responseTruncated |= exchange.responseBody.isEmpty() && exchange.responseSize > 0;
        exchange.durationMsecs = event.atMsecs - exchange.startedMsecs;
        exchange.finished = true;
        entry.live = false;
        fit(exchange.requestBody);
        fit(exchange.responseBody);
        break;
    case ExchangeEvent::Kind::Answered: {
        // Kept live, so that the same refusal to the same visitor is counted here.
        const qsizetype body = event.bytes.indexOf("\r\n\r\n") + 4;
        exchange.response = CapturedHead::response(event.bytes.first(body));
        exchange.responseBody = event.bytes.sliced(body);
        exchange.responseSize = exchange.responseBody.size();
        exchange.byProxy = true;
        exchange.durationMsecs = event.atMsecs - exchange.startedMsecs;
        exchange.finished = true;
        break;
    }
    case ExchangeEvent::Kind::Repeated:
        exchange.times += event.times;
        break;
    case ExchangeEvent::Kind::Ended:
        if (!exchange.finished) {
            exchange.ended = event.bytes;
            exchange.durationMsecs = event.atMsecs - exchange.startedMsecs;
            exchange.finished = true;
        }
        entry.live = false;
        break;
    }
    m_bytes += exchange.cost() - before;
}

void CaptureStore::makeRoom(Changes &changes)
{
    // What the proxies are still handing over counts as well, so the bound holds for the app.
    while (m_bytes + m_link->inFlight.load() > capacity && !m_entries.empty()) {
        const auto oldest = m_entries.begin();
        CaptureChange &change = changes[oldest->second.exchange.tunnel];
        const quint64 id = oldest->first;
        change.added.removeOne(id);
        change.updated.removeOne(id);
        change.removed.append(id);
        erase(oldest);
    }
}

void CaptureStore::erase(std::map<quint64, Entry>::iterator at)
{
    if (at->second.live) {
        m_live.remove(at->second.source);
    }
    m_bytes -= at->second.exchange.cost();
    m_entries.erase(at);
}

void CaptureStore::emitChanges(const Changes &changes)
{
    for (auto at = changes.cbegin(); at != changes.cend(); ++at) {
        const CaptureChange &change = at.value();
        if (!change.added.isEmpty() || !change.updated.isEmpty() || !change.removed.isEmpty()) {
            Q_EMIT changed(at.key(), change);
        }
    }
}

} // namespace Velumo
