// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/TlsProbe.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QSslSocket>

namespace Velumo {

TlsProbe::TlsProbe(const QHostAddress &address, quint16 port, std::chrono::milliseconds timeout,
                   QObject *parent)
    : QObject(parent)
    , m_socket(new QSslSocket(this))
{
    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Reaching the certificate is enough; whether anyone trusts it is not the question.
    connect(m_socket, &QSslSocket::sslErrors, this, [this] { answer(true); });
    connect(m_socket, &QSslSocket::encrypted, this, [this] { answer(true); });
    connect(m_socket, &QSslSocket::errorOccurred, this, [this] { answer(false); });
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { answer(false); });
    m_timer.start(timeout);
    m_socket->connectToHostEncrypted(address.toString(), port);
}

QString TlsProbe::speaksTlsMessage(const QString &endpoint, const QString &host)
{
    return tr("The service at %1 speaks TLS (HTTPS), not plain HTTP: write https:// before its "
              "hostname in Velumo, as https://%2.")
        .arg(endpoint, host);
}

bool TlsProbe::looksLikeTls(QByteArrayView reply)
{
    constexpr char alert = 0x15, handshake = 0x16;
    return reply.size() >= 3 && (reply[0] == alert || reply[0] == handshake) && reply[1] == 3 &&
           quint8(reply[2]) <= 4;
}

void TlsProbe::answer(bool speaksTls)
{
    if (m_answered) {
        return;
    }
    m_answered = true;
    m_timer.stop();
    // Not from inside the socket's own signal.
    QMetaObject::invokeMethod(
        this,
        [this, speaksTls] {
            m_socket->abort();
            Q_EMIT finished(speaksTls);
        },
        Qt::QueuedConnection);
}

} // namespace Velumo
