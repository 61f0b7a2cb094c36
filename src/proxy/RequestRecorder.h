// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "base/Result.h"
#include "proxy/BodyDecoder.h"
#include "proxy/CaptureStore.h"
#include "proxy/ProxyTarget.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>

namespace Velumo {

// What "edit and replay" sends in place of the captured request. The body is sent with a
// Content-Length that matches it; Transfer-Encoding fields are left out.
struct ReplayEdit {
    QByteArray method;
    QByteArray target;
    HeaderFields fields;
    QByteArray body;
};

// Where a replay goes: the tunnel's service, and the certificate the user trusted for it (its
// SHA-256; empty for none), accepted there as the proxy accepts it.
struct ReplayService {
    ProxyTarget target;
    QByteArray trustedCertificate;
};

// Inspecting a tunnel's requests: the exchanges its proxy captured, their bodies decoded for
// display (BodyDecoder), and replays. A replay goes straight to the tunnel's local service
// (not through the tunnel, the proxy or its gate), on the caller's thread without blocking
// it, and what comes back is kept as a new exchange marked as a replay.
class RequestRecorder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RequestRecorder)

public:
    explicit RequestRecorder(QObject *parent = nullptr);

    CaptureStore &captures() { return m_store; }
    const CaptureStore &captures() const { return m_store; }

    // How long the service may take to connect and answer whole.
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Sends exchange `id`'s request exactly as it was forwarded; once done, replayed() or
    // failed() follows. Refused when it cannot be sent, and then nothing happens.
    Done replay(quint64 id, const ReplayService &service);
    // Sends a request built from `edit` instead, kept with `id`'s tunnel.
    Done replayEdited(quint64 id, const ReplayService &service, const ReplayEdit &edit);

    // The bytes each of those sends, or why there are none to send.
    static Result<QByteArray> requestBytes(const CapturedExchange &exchange);
    static Result<QByteArray> requestBytes(const ReplayEdit &edit);

Q_SIGNALS:
    // `replay`: the new exchange's id in the store.
    void replayed(quint64 original, quint64 replay);
    void failed(quint64 original, const QString &message);

private:
    Done send(quint64 id, const ReplayService &service, const Result<QByteArray> &bytes);

    CaptureStore m_store;
    std::chrono::milliseconds m_timeout{30'000};
};

} // namespace Velumo
