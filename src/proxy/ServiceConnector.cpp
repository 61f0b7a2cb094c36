// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ServiceConnector.h"

#include "proxy/ServiceEndpoint.h"

#include <QCryptographicHash>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>

using namespace Qt::StringLiterals;

namespace Velumo {

ServiceConnector::ServiceConnector(QTcpSocket &socket, ServiceEndpoint &service, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_service(service)
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
    connect(&m_service, &ServiceEndpoint::resolved, this, &ServiceConnector::addressesKnown,
            Qt::SingleShotConnection);
    m_service.resolve();
}

QString ServiceConnector::failure() const
{
    if (!m_certificateRefused.isEmpty()) {
        return m_certificateChanged
                   ? tr("The service at %1 presented a certificate other than the one trusted "
                        "for it (%2). If the service has a new certificate, trust it in Velumo "
                        "again: \"Trust the service's own certificate\" in the tunnel's menu.")
                         .arg(m_service.name(), m_certificateRefused)
                   : tr("The service at %1 presented a certificate that this system does not "
                        "trust (%2). If it is the service's own certificate, choose \"Trust the "
                        "service's own certificate\" in the tunnel's menu in Velumo.")
                         .arg(m_service.name(), m_certificateRefused);
    }
    if (m_handshakeFailed) {
        return tr("Velumo reached the service at %1 but could not complete a TLS handshake with "
                  "it. Tried: %2. If the service speaks plain HTTP, write its hostname without "
                  "https://.")
            .arg(m_service.name(), attempts());
    }
    return tr("Velumo could not reach the service at %1. Tried: %2.")
        .arg(m_service.name(), attempts());
}

QString ServiceConnector::attempts() const
{
    return m_attempts.join(u"; "_s);
}

void ServiceConnector::addressesKnown()
{
    m_addresses = m_service.addresses();
    if (m_addresses.isEmpty()) {
        m_attempts << m_service.lookupError();
    }
    tryNext();
}

void ServiceConnector::tryNext()
{
    if (m_next >= m_addresses.size()) {
        m_service.addressesFailed();
        Q_EMIT failed();
        return;
    }
    m_trying = true;
    m_handshaking = false;
    m_timer.start(m_service.connectTimeout());
    m_socket.connectToHost(m_addresses[m_next], m_service.target().port);
}

void ServiceConnector::tcpConnected()
{
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_service.addressWorked(m_addresses[m_next]);
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
    tls->setPeerVerifyName(m_service.target().host);
    tls->startClientEncryption();
}

void ServiceConnector::checkCertificate(const QList<QSslError> &errors)
{
    // A certificate this system trusts needs nothing more; one it does not is accepted only
    // when it is exactly the one the user trusted for this service.
    auto &tls = static_cast<QSslSocket &>(m_socket);
    const QByteArray fingerprint = tls.peerCertificate().digest(QCryptographicHash::Sha256);
    const QByteArray &trusted = m_service.trustedCertificate();
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
    m_attempts << ServiceEndpoint::endpoint(m_addresses[m_next].toString(),
                                            m_service.target().port) +
                      u": "_s + reason;
    ++m_next;
    m_socket.abort();
    // The socket may still be inside its own error handling.
    QMetaObject::invokeMethod(this, &ServiceConnector::tryNext, Qt::QueuedConnection);
}

} // namespace Velumo
