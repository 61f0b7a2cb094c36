// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ProxyServer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <utility>

namespace Velumo {

class CaptureStore;
struct CapturedExchange;

// What "edit and replay" sends in place of the captured request. The body is sent with a
// Content-Length that matches it; Transfer-Encoding fields are left out.
struct ReplayEdit {
    QByteArray method;
    QByteArray target;
    QList<std::pair<QByteArray, QByteArray>> fields; // names and values, in order
    QByteArray body;
};

// Sends a captured request again, straight to the tunnel's local service (not through the
// tunnel, the proxy or its gate), on the caller's thread without blocking it, and keeps what
// comes back in the store as a new exchange marked as a replay.
class Replayer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Replayer)

public:
    explicit Replayer(CaptureStore &store, QObject *parent = nullptr);

    // How long the service may take to connect and answer whole.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Sends exchange `id`'s request exactly as it was forwarded. Returns why it cannot be
    // sent (and nothing happens), or an empty string: replayed() or failed() follows.
    QString replay(quint64 id, const ProxyTarget &service);
    // Sends a request built from `edit` instead, kept with `id`'s tunnel.
    QString replayEdited(quint64 id, const ProxyTarget &service, const ReplayEdit &edit);

    // The bytes each of those sends; empty with `why` set when there are none to send.
    static QByteArray requestBytes(const CapturedExchange &exchange, QString *why = nullptr);
    static QByteArray requestBytes(const ReplayEdit &edit, QString *why = nullptr);

Q_SIGNALS:
    // `replay`: the new exchange's id in the store.
    void replayed(quint64 original, quint64 replay);
    void failed(quint64 original, const QString &message);

private:
    QString send(quint64 id, const ProxyTarget &service, QByteArray bytes, const QString &why);

    CaptureStore &m_store;
    std::chrono::milliseconds m_timeout{30'000};
};

} // namespace Velumo
