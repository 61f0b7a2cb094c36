// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "LocalServiceMonitor.h"

#include <QTcpSocket>

#include <algorithm>

namespace Velumo {

namespace {

// Digits only: toUInt() would also take signs and surrounding spaces, which cloudflared
// would not.
std::optional<quint16> portNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > 5) {
        return std::nullopt;
    }
    uint value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint>(c.unicode() - u'0');
    }
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<quint16>(value);
}

} // namespace

LocalServiceMonitor::LocalServiceMonitor(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, &LocalServiceMonitor::checkAll);
}

LocalServiceMonitor::~LocalServiceMonitor()
{
    for (Watched &watched : m_watched) {
        dropCheck(watched);
    }
}

void LocalServiceMonitor::watch(const QUuid &key, const QString &hostname, const QString &port)
{
    const std::optional<quint16> number = hostname.isEmpty() ? std::nullopt : portNumber(port);
    auto found = m_watched.find(key);
    if (found != m_watched.end() && found->hostname == hostname && found->port == number) {
        return;
    }
    if (found == m_watched.end()) {
        found = m_watched.insert(key, Watched{});
    } else {
        dropCheck(*found);
    }
    found->hostname = hostname;
    found->port = number;
    found->listening.reset();
    updateTimer();
    startCheck(key, *found);
}

void LocalServiceMonitor::unwatch(const QUuid &key)
{
    const auto found = m_watched.find(key);
    if (found == m_watched.end()) {
        return;
    }
    dropCheck(*found);
    m_watched.erase(found);
    updateTimer();
}

void LocalServiceMonitor::checkNow(const QUuid &key)
{
    const auto found = m_watched.find(key);
    if (found != m_watched.end()) {
        startCheck(key, *found);
    }
}

std::optional<bool> LocalServiceMonitor::isListening(const QUuid &key) const
{
    const auto found = m_watched.constFind(key);
    return found == m_watched.cend() ? std::nullopt : found->listening;
}

bool LocalServiceMonitor::isChecking(const QUuid &key) const
{
    const auto found = m_watched.constFind(key);
    return found != m_watched.cend() && found->check;
}

void LocalServiceMonitor::checkAll()
{
    for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
        startCheck(it.key(), it.value());
    }
}

void LocalServiceMonitor::updateTimer()
{
    // Only while there is something to check: an idle app should not wake up every few seconds.
    const bool needed =
        std::any_of(m_watched.cbegin(), m_watched.cend(),
                    [](const Watched &watched) { return watched.port.has_value(); });
    if (!needed) {
        m_timer.stop();
    } else if (!m_timer.isActive()) {
        m_timer.start();
    }
}

void LocalServiceMonitor::startCheck(const QUuid &key, Watched &watched)
{
    if (!watched.port || watched.check) {
        return;
    }
    auto *socket = new QTcpSocket(this);
    watched.check = socket;
    connect(socket, &QTcpSocket::connected, this,
            [this, key, socket] { finishCheck(key, socket, true); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, key, socket] { finishCheck(key, socket, false); });
    // Something that neither accepts nor refuses (a dropped SYN) is as good as nothing for
    // the tunnel. The timer is the socket's child, so it dies with the check: a context-bound
    // QTimer::singleShot would go on waking the idle loop after the socket is gone.
    auto *timeout = new QTimer(socket);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this,
            [this, key, socket] { finishCheck(key, socket, false); });
    timeout->start(connectTimeout);
    // Queued, because a refused connection to an address can be reported inside
    // connectToHost(); results then never reach a caller that is still in watch() or
    // checkNow(), and never while checkAll() walks the list.
    QMetaObject::invokeMethod(
        socket,
        [socket, hostname = watched.hostname, port = *watched.port] {
            socket->connectToHost(hostname, port);
        },
        Qt::QueuedConnection);
}

void LocalServiceMonitor::finishCheck(const QUuid &key, QTcpSocket *socket, bool listening)
{
    const auto found = m_watched.find(key);
    if (found == m_watched.end() || found->check != socket) {
        return;
    }
    dropCheck(*found);
    if (found->listening == listening) {
        return;
    }
    found->listening = listening;
    Q_EMIT listeningChanged(key, listening);
}

void LocalServiceMonitor::dropCheck(Watched &watched)
{
    QTcpSocket *socket = watched.check;
    watched.check = nullptr;
    if (!socket) {
        return;
    }
    // Deleted later: this may run inside one of the socket's own signals.
    socket->disconnect();
    socket->abort();
    socket->deleteLater();
}

} // namespace Velumo
