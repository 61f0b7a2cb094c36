// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ServiceConnector.h"

#include "proxy/ProxyServer.h"

#include <QNetworkProxy>
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
    connect(&socket, &QTcpSocket::connected, this, [this] {
        m_timer.stop();
        m_trying = false;
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_server.addressWorked(m_addresses[m_next]);
        Q_EMIT connected();
    });
    connect(&socket, &QTcpSocket::errorOccurred, this, [this] {
        // Once connected, the end of the connection is its owner's to handle.
        if (m_trying) {
            m_timer.stop();
            attemptFailed(m_socket.errorString());
        }
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
    m_timer.start(m_server.timeouts().connect);
    m_socket.connectToHost(m_addresses[m_next], m_server.target().port);
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
