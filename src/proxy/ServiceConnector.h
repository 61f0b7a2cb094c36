// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

class QTcpSocket;

namespace Velumo {

class ProxyServer;

// Connects a socket to the proxy's service as a user would expect of a host name: each of its
// addresses in turn, the one that worked last first, each within the connect timeout.
class ServiceConnector : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceConnector)

public:
    ServiceConnector(QTcpSocket &socket, ProxyServer &server, QObject *parent);

    void start();
    // What was tried and how it failed, for the visitor's error page.
    QString attempts() const;

Q_SIGNALS:
    void connected();
    void failed();

private:
    void addressesKnown();
    void tryNext();
    void attemptFailed(const QString &reason);

    QTcpSocket &m_socket;
    ProxyServer &m_server;
    QTimer m_timer;
    QList<QHostAddress> m_addresses;
    qsizetype m_next = 0;
    QStringList m_attempts;
    bool m_trying = false;
};

} // namespace Velumo
