// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ExchangeSink.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

namespace Velumo {

// One request and its response as the request list keeps them.
struct CapturedExchange {
    quint64 id = 0; // unique in the store; a newer exchange has a larger one
    QString tunnel;
    qint64 startedMsecs = 0;   // since the epoch, when the request head was forwarded
    qint64 durationMsecs = -1; // until the response was forwarded whole; -1 until then
    QByteArray method;
    QByteArray target; // as forwarded: the path and query, usually
    int status = 0;    // 0 until a response head is in
    // Body bytes on the wire (chunk framing included); so far, until finished.
    qint64 requestSize = 0;
    qint64 responseSize = 0;
    QByteArray requestHead;        // as forwarded, start line to blank line, names as received
    QByteArray responseHead;       // the last one received (after any interim 1xx)
    QByteArray requestBody;        // as forwarded, chunk framing included, at most bodyLimit
    QByteArray responseBody;       // without chunk framing, at most bodyLimit
    bool requestTruncated = false; // more followed than the body holds
    bool responseTruncated = false;
    bool replay = false;   // sent again from here, not by a visitor
    bool finished = false; // the response was forwarded whole (or switched protocols)
    bool byProxy = false;  // the proxy answered itself, not the service
    qint64 times = 1;      // a refusal the same visitor got again counts here, not anew
    QByteArray ended;      // why the connection ended before a whole response, if it did

    qint64 cost() const; // what it counts for against the store's capacity
};

struct CaptureChange {
    QList<quint64> added;
    QList<quint64> updated;
    QList<quint64> removed; // out for room, or cleared
};

// The exchanges that every tunnel's proxy forwarded, for the request lists: one store for the
// app, on the GUI thread, bounded by bytes across all tunnels (the oldest exchange goes first).
// Each proxy hands it its events through a sink; they arrive here in batches, a few a second
// at most, and each batch ends in one changed() per tunnel that it touched. WebSocket frames
// are never captured: an upgrade ends with its 101.
class CaptureStore : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CaptureStore)

public:
    static constexpr qint64 capacity = 50 * 1024 * 1024;
    static constexpr qsizetype bodyLimit = 1024 * 1024;

    explicit CaptureStore(QObject *parent = nullptr);
    ~CaptureStore() override;

    // A sink for one proxy of `tunnel` (ReverseProxy::setSink); a restarted tunnel's new proxy
    // gets a new one. It may outlive the store, and then keeps nothing.
    std::shared_ptr<ExchangeSink> sinkFor(const QString &tunnel);

    QList<quint64> exchanges(const QString &tunnel) const; // oldest first
    // nullptr once the exchange is gone; valid until control returns to the event loop.
    const CapturedExchange *exchange(quint64 id) const;
    qint64 bytes() const { return m_bytes; }

    void clear(const QString &tunnel);
    // Keeps an exchange made here (a replay, say), as the newest; returns its id.
    quint64 add(CapturedExchange exchange);

Q_SIGNALS:
    void changed(const QString &tunnel, const Velumo::CaptureChange &change);

private:
    class Sink;
    struct Link;
    // Which proxy's exchange an entry still expects events for: the sink's serial, the
    // proxy's number for it.
    using Source = std::pair<quint64, quint64>;
    struct Entry {
        CapturedExchange exchange;
        Source source;
        bool live = false;
    };
    using Changes = QHash<QString, CaptureChange>;

    void take(quint64 sink, const QString &tunnel, const std::vector<ExchangeEvent> &batch);
    void apply(Entry &entry, const ExchangeEvent &event);
    void makeRoom(Changes &changes);
    void erase(std::map<quint64, Entry>::iterator at);
    void emitChanges(const Changes &changes);

    std::shared_ptr<Link> m_link;
    quint64 m_nextSink = 0;
    quint64 m_nextId = 0;
    qint64 m_bytes = 0;
    std::map<quint64, Entry> m_entries; // by id, so oldest first
    QHash<Source, quint64> m_live;
};

} // namespace Velumo
