// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/LocalServiceMonitor.h"

#include "core/PortNumber.h"

#include "proxy/ProxyTarget.h"

#include <QCryptographicHash>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>

namespace Velumo {

LocalServiceMonitor::LocalServiceMonitor(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        for (const Watched &watched : std::as_const(m_watched)) {
            check(watched.service);
        }
    });
}

void LocalServiceMonitor::watch(const QUuid &key, const QString &hostname, const QString &port)
{
    const std::optional<Service> service = serviceOf(hostname, port);
    if (const auto found = m_watched.constFind(key);
        found != m_watched.cend() && found->service == service) {
        return;
    }
    unwatch(key);
    m_watched.insert(key, Watched{service, std::nullopt, std::nullopt});
    updateTimer();
    check(service);
}

void LocalServiceMonitor::unwatch(const QUuid &key)
{
    const auto found = m_watched.constFind(key);
    if (found == m_watched.cend()) {
        return;
    }
    const std::optional<Service> service = found->service;
    m_watched.erase(found);
    if (service && m_checks.contains(*service) &&
        std::none_of(m_watched.cbegin(), m_watched.cend(),
                     [&](const Watched &watched) { return watched.service == service; })) {
        endCheck(*service);
    }
    updateTimer();
}

void LocalServiceMonitor::checkNow(const QUuid &key)
{
    check(m_watched.value(key).service);
}

std::optional<bool> LocalServiceMonitor::isListening(const QUuid &key) const
{
    return m_watched.value(key).listening;
}

std::optional<ServiceTls> LocalServiceMonitor::tls(const QUuid &key) const
{
    return m_watched.value(key).tls;
}

std::optional<LocalServiceMonitor::Service> LocalServiceMonitor::serviceOf(const QString &hostname,
                                                                           const QString &port)
{
    const std::optional<quint16> number = parsePort(port);
    // The tool takes the scheme from the hostname; the check must reach the host after it.
    const std::optional<ProxyTarget> target =
        number ? ProxyTarget::fromHostname(hostname, *number) : std::nullopt;
    if (!target) {
        return std::nullopt;
    }
    return Service{target->host, target->port, target->tls};
}

// QCoro's connect awaitable waits for connected() alone, so a refused connection would take
// the whole timeout; the socket's own signals answer at once either way.
void LocalServiceMonitor::check(const std::optional<Service> &service)
{
    if (!service || m_checks.contains(*service)) {
        return;
    }
    QTcpSocket *socket = service->tls ? new QSslSocket(this) : new QTcpSocket(this);
    // The service is on this machine or its network, never behind the user's proxy.
    socket->setProxy(QNetworkProxy::NoProxy);
    const auto answer = [this, service = *service, socket](bool listening) {
        return [=, this] { finish(service, socket, listening); };
    };
    // Queued, so that no result reaches a caller still in watch() or checkNow(); the socket is
    // the context, so none comes from a socket that is gone.
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        // Listening is known at connected(); whether it speaks TLS, and with what certificate,
        // only once the handshake is over.
        auto trusted = std::make_shared<bool>(true);
        connect(tls, &QSslSocket::sslErrors, tls, [tls, trusted] {
            *trusted = false;
            tls->ignoreSslErrors();
        });
        const auto answered = [this, service = *service, tls, trusted](bool speaksTls) {
            return [=, this] {
                const QSslCertificate certificate = tls->peerCertificate();
                finish(service, tls, true,
                       ServiceTls{speaksTls, speaksTls && *trusted,
                                  certificate.isNull()
                                      ? QByteArray()
                                      : certificate.digest(QCryptographicHash::Sha256)});
            };
        };
        connect(tls, &QSslSocket::encrypted, tls, answered(true), Qt::QueuedConnection);
        // An error before the connection means nothing listens; after it, something listens
        // that did not complete the handshake.
        auto connected = std::make_shared<bool>(false);
        connect(tls, &QAbstractSocket::connected, tls, [connected] { *connected = true; });
        const auto failed = [this, service = *service, tls, answered, connected] {
            if (*connected) {
                QMetaObject::invokeMethod(tls, answered(false), Qt::QueuedConnection);
            } else {
                QMetaObject::invokeMethod(
                    tls, [=, this] { finish(service, tls, false); }, Qt::QueuedConnection);
            }
        };
        connect(tls, &QAbstractSocket::errorOccurred, tls, failed);
        // A service that takes the connection and never answers the handshake listens too.
        auto *deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, failed);
        deadline->start(connectTimeout);
    } else {
        connect(socket, &QAbstractSocket::connected, socket, answer(true), Qt::QueuedConnection);
        connect(socket, &QAbstractSocket::errorOccurred, socket, answer(false),
                Qt::QueuedConnection);
        // A dropped handshake or a name server that does not answer is as good as nothing
        // listening. A child of the socket, so it never fires once the check is over.
        auto *deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, answer(false));
        deadline->start(connectTimeout);
    }
    m_checks.insert(*service, socket);
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        tls->connectToHostEncrypted(service->host, service->port);
    } else {
        socket->connectToHost(service->host, service->port);
    }
}

void LocalServiceMonitor::finish(const Service &service, const QTcpSocket *socket, bool listening,
                                 const std::optional<ServiceTls> &tls)
{
    // An answer from a check that was dropped, or already answered.
    if (m_checks.value(service) != socket) {
        return;
    }
    endCheck(service);
    // Every key has its answer before the first is announced, so a listener that checks again
    // starts a new check for all of them.
    QList<QUuid> changed;
    QList<QUuid> tlsChanged;
    const std::optional<ServiceTls> handshake = listening ? tls : std::nullopt;
    for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
        if (it->service != service) {
            continue;
        }
        if (it->listening != listening) {
            it->listening = listening;
            changed.append(it.key());
        }
        if (it->tls != handshake) {
            it->tls = handshake;
            tlsChanged.append(it.key());
        }
    }
    for (const QUuid &key : std::as_const(changed)) {
        // A listener may have stopped watching, or changed, a later key in the meantime.
        if (m_watched.value(key).listening == listening) {
            Q_EMIT listeningChanged(key, listening);
        }
    }
    for (const QUuid &key : std::as_const(tlsChanged)) {
        if (m_watched.value(key).tls == handshake) {
            Q_EMIT this->tlsChanged(key);
        }
    }
}

void LocalServiceMonitor::endCheck(const Service &service)
{
    QTcpSocket *socket = m_checks.take(service);
    socket->abort();
    // Not deleted on the spot: this may run inside one of its signals.
    socket->deleteLater();
}

void LocalServiceMonitor::updateTimer()
{
    // Only while there is something to check: an idle app should not wake up every few seconds.
    const bool needed =
        std::any_of(m_watched.cbegin(), m_watched.cend(),
                    [](const Watched &watched) { return watched.service.has_value(); });
    if (!needed) {
        m_timer.stop();
    } else if (!m_timer.isActive()) {
        m_timer.start();
    }
}

} // namespace Velumo
