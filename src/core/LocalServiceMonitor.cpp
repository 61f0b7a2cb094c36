// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/LocalServiceMonitor.h"

#include "core/PortNumber.h"

#include <QNetworkProxy>
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
    const std::optional<quint16> number = hostname.isEmpty() ? std::nullopt : parsePort(port);
    const auto service = number ? std::optional(Service{hostname, *number}) : std::nullopt;
    if (const auto found = m_watched.constFind(key);
        found != m_watched.cend() && found->service == service) {
        return;
    }
    unwatch(key);
    m_watched.insert(key, Watched{service, std::nullopt});
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

// QCoro's connect awaitable waits for connected() alone, so a refused connection would take
// the whole timeout; the socket's own signals answer at once either way.
void LocalServiceMonitor::check(const std::optional<Service> &service)
{
    if (!service || m_checks.contains(*service)) {
        return;
    }
    auto *socket = new QTcpSocket(this);
    // The service is on this machine or its network, never behind the user's proxy.
    socket->setProxy(QNetworkProxy::NoProxy);
    const auto answer = [this, service = *service, socket](bool listening) {
        return [=, this] { finish(service, socket, listening); };
    };
    // Queued, so that no result reaches a caller still in watch() or checkNow(); the socket is
    // the context, so none comes from a socket that is gone.
    connect(socket, &QAbstractSocket::connected, socket, answer(true), Qt::QueuedConnection);
    connect(socket, &QAbstractSocket::errorOccurred, socket, answer(false), Qt::QueuedConnection);
    // A dropped handshake or a name server that does not answer is as good as nothing
    // listening. A child of the socket, so it never fires once the check is over.
    auto *deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, answer(false));
    m_checks.insert(*service, socket);
    socket->connectToHost(service->first, service->second);
    deadline->start(connectTimeout);
}

void LocalServiceMonitor::finish(const Service &service, const QTcpSocket *socket, bool listening)
{
    // An answer from a check that was dropped, or already answered.
    if (m_checks.value(service) != socket) {
        return;
    }
    endCheck(service);
    // Every key has its answer before the first is announced, so a listener that checks again
    // starts a new check for all of them.
    QList<QUuid> changed;
    for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
        if (it->service == service && it->listening != listening) {
            it->listening = listening;
            changed.append(it.key());
        }
    }
    for (const QUuid &key : std::as_const(changed)) {
        // A listener may have stopped watching, or changed, a later key in the meantime.
        if (m_watched.value(key).listening == listening) {
            Q_EMIT listeningChanged(key, listening);
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
