// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "TestSupport.h"
#include "proxy/ProxyHost.h"
#include "proxy/ReverseProxy.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

namespace Velumo::Testing {

// What the proxy adds to every request it forwards from a loopback visitor.
inline const QByteArray xff = "X-Forwarded-For: 127.0.0.1\r\n";

// A reverse proxy on its own host thread, listening once constructed (port() is 0 otherwise).
struct RunningProxy {
    explicit RunningProxy(const QString &service, quint16 servicePort, ProxyTimeouts timeouts = {})
        : proxy(host, {service, servicePort}, nullptr, timeouts)
    {
        QSignalSpy listening(&proxy, &ReverseProxy::listening);
        proxy.start();
        listening.wait();
    }
    quint16 port() const { return proxy.port(); }

    ProxyHost host;
    ReverseProxy proxy;
};

// A service on loopback that keeps what each connection sends, for the test to answer with
// exact bytes.
class Origin : public QObject
{
public:
    explicit Origin(const QHostAddress &address = QHostAddress::LocalHost)
    {
        m_server.listen(address);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                sockets.append(socket);
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket] { received += socket->readAll(); });
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    QTcpSocket *last() const { return sockets.isEmpty() ? nullptr : sockets.last(); }

    QList<QTcpSocket *> sockets;
    QByteArray received; // from every connection, in order of arrival

private:
    QTcpServer m_server;
};

// A visitor's connection that keeps what the proxy sends back.
class Visitor : public QTcpSocket
{
public:
    explicit Visitor(quint16 port)
    {
        connect(this, &QTcpSocket::readyRead, this, [this] { received += readAll(); });
        connectToHost(QHostAddress::LocalHost, port);
    }
    QByteArray received;
};

} // namespace Velumo::Testing
