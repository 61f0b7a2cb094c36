// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QSslError;
class QTcpSocket;

namespace Velumo {

class ServiceEndpoint;

// Connects a socket to a tunnel's service as a user would expect of a host name: each of its
// addresses in turn, the one that worked last first, each within the connect timeout. For a
// service that speaks TLS the socket is a QSslSocket, connected once the handshake is over and
// the certificate is one this system trusts or exactly the one trusted for the service.
class ServiceConnector : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceConnector)

public:
    ServiceConnector(QTcpSocket &socket, ServiceEndpoint &service, QObject *parent);

    void start();
    // After failed(): why, and what the user can do about it, for the visitor's error page or
    // the window that replays.
    QString failure() const;
    // What was tried and how it failed.
    QString attempts() const;
    // Why the service's certificate was refused, when that ended the attempts.
    const QString &certificateRefused() const { return m_certificateRefused; }

Q_SIGNALS:
    void connected();
    void failed();

private:
    void addressesKnown();
    void tryNext();
    void attemptFailed(const QString &reason);
    void tcpConnected();
    void checkCertificate(const QList<QSslError> &errors);

    QTcpSocket &m_socket;
    ServiceEndpoint &m_service;
    QTimer m_timer;
    QList<QHostAddress> m_addresses;
    qsizetype m_next = 0;
    QStringList m_attempts;
    QString m_certificateRefused;
    bool m_trying = false;
    bool m_handshaking = false;
    bool m_handshakeFailed = false;
    bool m_certificateChanged = false;
};

} // namespace Velumo
