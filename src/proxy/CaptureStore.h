// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/CapturedExchange.h"
#include "proxy/ExchangeSink.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

namespace Velumo {

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
