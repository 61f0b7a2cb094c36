// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArrayView>
#include <QObject>
#include <QTimer>

#include <chrono>

class QHostAddress;
class QSslSocket;

namespace Velumo {

// Asks a service that closed on a plain request whether it speaks TLS: a handshake that gets
// as far as a certificate, or completes, says it does. Once answered, the probe is done with.
class TlsProbe : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TlsProbe)

public:
    // A TLS service answers a greeting at once; a silent one is not kept waiting on.
    static constexpr std::chrono::milliseconds patience{1000};

    TlsProbe(const QHostAddress &address, quint16 port, std::chrono::milliseconds timeout,
             QObject *parent);

    // The first bytes of a reply to a plain request look like a TLS record (an alert or a
    // handshake, version 3.x): the service answered in TLS.
    static bool looksLikeTls(QByteArrayView reply);
    // What the visitor or the replay is told when it did: `endpoint` as the user wrote it,
    // `host` the hostname alone.
    static QString speaksTlsMessage(const QString &endpoint, const QString &host);

Q_SIGNALS:
    void finished(bool speaksTls);

private:
    void answer(bool speaksTls);

    QSslSocket *m_socket;
    QTimer m_timer;
    bool m_answered = false;
};

} // namespace Velumo
