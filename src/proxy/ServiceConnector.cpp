// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ServiceConnector.h"

#include "proxy/ProxyServer.h"

#include <QCryptographicHash>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace Velumo {

ServiceConnector::ServiceConnector(QTcpSocket &socket, ProxyServer &server, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_server(server)
{
    socket.setProxy(QNetworkProxy::NoProxy);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_socket.abort();
        attemptFailed(tr("no answer"));
    });
    connect(&socket, &QTcpSocket::connected, this, &ServiceConnector::tcpConnected);
    if (auto *tls = qobject_cast<QSslSocket *>(&socket)) {
        connect(tls, &QSslSocket::sslErrors, this, &ServiceConnector::checkCertificate);
        connect(tls, &QSslSocket::encrypted, this, [this] {
            m_timer.stop();
            m_trying = false;
            Q_EMIT connected();
        });
    }
    connect(&socket, &QTcpSocket::errorOccurred, this, [this] {
        // Once connected, the end of the connection is its owner's to handle.
        if (!m_trying) {
            return;
        }
        m_timer.stop();
        if (!m_certificateRefused.isEmpty()) {
            // Another address would be the same service with the same certificate.
            m_trying = false;
            m_socket.abort();
            Q_EMIT failed();
            return;
        }
        m_handshakeFailed = m_handshakeFailed || m_handshaking;
        attemptFailed(m_handshaking ? tr("TLS handshake failed: %1").arg(m_socket.errorString())
                                    : m_socket.errorString());
    });
}

void ServiceConnector::start()
{
    connect(&m_server, &ProxyServer::resolved, this, &ServiceConnector::addressesKnown,
            Qt::SingleShotConnection);
    m_server.resolve();
}

QString ServiceConnector::attempts() const
{
    return m_attempts.join(u"; "_s);
}

void ServiceConnector::addressesKnown()
{
    m_addresses = m_server.addresses();
    if (m_addresses.isEmpty()) {
        m_attempts << m_server.lookupError();
    }
    tryNext();
}

void ServiceConnector::tryNext()
{
    if (m_next >= m_addresses.size()) {
        m_server.addressesFailed();
        Q_EMIT failed();
        return;
    }
    m_trying = true;
    m_handshaking = false;
    m_timer.start(m_server.timeouts().connect);
    m_socket.connectToHost(m_addresses[m_next], m_server.target().port);
}

void ServiceConnector::tcpConnected()
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_server.addressWorked(m_addresses[m_next]);
    auto *tls = qobject_cast<QSslSocket *>(&m_socket);
    if (!tls) {
        m_timer.stop();
        m_trying = false;
        Q_EMIT connected();
        return;
    }
    // The handshake counts against the same timeout: a service that takes the connection and
    // never answers it is as unreachable as one that never takes it.
    m_handshaking = true;
    tls->setPeerVerifyName(m_server.target().host);
    tls->startClientEncryption();
}

void ServiceConnector::checkCertificate(const QList<QSslError> &errors)
{
    // A certificate this system trusts needs nothing more; one it does not is accepted only
    // when it is exactly the one the user trusted for this service.
    auto &tls = static_cast<QSslSocket &>(m_socket);
    const QByteArray fingerprint = tls.peerCertificate().digest(QCryptographicHash::Sha256);
    const QByteArray &trusted = m_server.trustedCertificate();
    if (!trusted.isEmpty() && fingerprint == trusted) {
        tls.ignoreSslErrors();
        return;
    }
    QStringList reasons;
    for (const QSslError &error : errors) {
        reasons << error.errorString();
    }
    m_certificateRefused = reasons.join(u"; "_s);
    m_certificateChanged = !trusted.isEmpty();
}

void ServiceConnector::attemptFailed(const QString &reason)
{
    m_trying = false;
    m_attempts << ProxyServer::endpoint(m_addresses[m_next].toString(), m_server.target().port) +
                      u": "_s + reason;
    ++m_next;
    m_socket.abort();
    // The socket may still be inside its own error handling.
    QMetaObject::invokeMethod(this, &ServiceConnector::tryNext, Qt::QueuedConnection);
}

} // namespace Velumo
