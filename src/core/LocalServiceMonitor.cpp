// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/LocalServiceMonitor.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <algorithm>
#include <cstring>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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

// A check only needs to know whether a connection is accepted. QTcpSocket did this at about
// 40 µs of CPU per check in a running app (a socket object and engine, several posted events
// and event-loop turns per address), which with a hundred tunnels every five seconds was most
// of what the idle app spent. A bare non-blocking connect costs a few system calls.
#ifdef Q_OS_WIN
using NativeSocket = SOCKET;
constexpr NativeSocket noSocket = INVALID_SOCKET;

void closeSocket(NativeSocket socket)
{
    ::closesocket(socket);
}

NativeSocket openSocket(int family)
{
    // Qt Network has started Winsock for any name lookup, but an address typed as such needs
    // none; the count is per process, so one more start is harmless.
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        return noSocket;
    }
    const NativeSocket socket = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    if (socket != noSocket && ::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        closeSocket(socket);
        return noSocket;
    }
    return socket;
}

bool connectPending()
{
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}
#else
using NativeSocket = int;
constexpr NativeSocket noSocket = -1;

void closeSocket(NativeSocket socket)
{
    ::close(socket);
}

NativeSocket openSocket(int family)
{
#ifdef SOCK_NONBLOCK
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    // macOS has no socket flags for these.
    const NativeSocket socket = ::socket(family, SOCK_STREAM, 0);
    if (socket == noSocket) {
        return noSocket;
    }
    if (::fcntl(socket, F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK) != 0) {
        closeSocket(socket);
        return noSocket;
    }
    return socket;
#endif
}

bool connectPending()
{
    return errno == EINPROGRESS || errno == EINTR;
}

// On the loopback interface the answer is usually there by the time connect() returns, and
// taking it at once spares a notifier and a turn of the event loop. Asking connect() again
// tells all three cases apart in one call.
std::optional<bool> connectSettled(NativeSocket socket, const sockaddr_storage &storage,
                                   socklen_t length)
{
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&storage), length) == 0 ||
        errno == EISCONN) {
        return true;
    }
    if (errno == EALREADY || connectPending()) {
        return std::nullopt;
    }
    return false;
}
#endif

// The result of a connect that was under way.
bool connectionAccepted(NativeSocket socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) ==
               0 &&
           error == 0;
}

// Fills in the socket address; false for anything but IPv4 and IPv6.
bool socketAddress(const QHostAddress &address, quint16 port, sockaddr_storage &storage,
                   socklen_t &length)
{
    std::memset(&storage, 0, sizeof storage);
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto &ipv4 = reinterpret_cast<sockaddr_in &>(storage);
        ipv4.sin_family = AF_INET;
        ipv4.sin_port = htons(port);
        ipv4.sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof ipv4;
        return true;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto &ipv6 = reinterpret_cast<sockaddr_in6 &>(storage);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&ipv6.sin6_addr, bytes.c, sizeof bytes.c);
        if (const QString scope = address.scopeId(); !scope.isEmpty()) {
            bool numeric = false;
            const uint index = scope.toUInt(&numeric);
            ipv6.sin6_scope_id =
                numeric ? index : uint(QNetworkInterface::interfaceIndexFromName(scope));
        }
        length = sizeof ipv6;
        return true;
    }
    return false;
}

} // namespace

// One check of one service: its addresses are tried in turn, as a client connecting to the
// name would, until one accepts.
struct LocalServiceMonitor::Probe {
    Q_DISABLE_COPY_MOVE(Probe)

    explicit Probe(Target target)
        : target(std::move(target))
    {}
    ~Probe() { closeConnection(); }

    void closeConnection()
    {
        notifier.reset();
#ifdef Q_OS_WIN
        failureNotifier.reset();
#endif
        if (socket != noSocket) {
            closeSocket(socket);
            socket = noSocket;
        }
    }

    Target target;
    QList<QUuid> waiting;
    std::chrono::steady_clock::time_point deadline;
    bool started = false;
    bool resolving = false;
    QList<QHostAddress> addresses;
    qsizetype next = 0;
    NativeSocket socket = noSocket;
    std::unique_ptr<QSocketNotifier> notifier;
#ifdef Q_OS_WIN
    // Winsock reports a refused connect as an exception, not as writable.
    std::unique_ptr<QSocketNotifier> failureNotifier;
#endif
};

LocalServiceMonitor::LocalServiceMonitor(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(interval);
    connect(&m_timer, &QTimer::timeout, this, &LocalServiceMonitor::checkAll);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &LocalServiceMonitor::expireProbes);
}

// A name lookup under way is left to finish: its answer goes nowhere once this is gone, and
// aborting it makes Qt lose its callback.
LocalServiceMonitor::~LocalServiceMonitor() = default;

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
        stopChecking(key, *found);
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
    stopChecking(key, *found);
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
    return found != m_watched.cend() && found->checking;
}

void LocalServiceMonitor::checkAll()
{
    // Called by the timer, so nobody waits in watch() or checkNow(): the round starts at once
    // rather than on another turn of the event loop, which with many tools is most of its cost.
    m_startingRound = true;
    for (auto it = m_watched.begin(); it != m_watched.end(); ++it) {
        startCheck(it.key(), it.value());
    }
    m_startingRound = false;
    startQueuedProbes();
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
    if (!watched.port || watched.checking) {
        return;
    }
    watched.checking = true;
    Target target{watched.hostname, *watched.port};
    auto found = m_probes.find(target);
    if (found == m_probes.end()) {
        found = m_probes.emplace(target, std::make_unique<Probe>(target)).first;
        found->second->deadline = std::chrono::steady_clock::now() + connectTimeout;
        if (!m_deadline.isActive()) {
            m_deadline.start(connectTimeout);
        }
        if (m_queued.isEmpty() && !m_startingRound) {
            QMetaObject::invokeMethod(this, &LocalServiceMonitor::startQueuedProbes,
                                      Qt::QueuedConnection);
        }
        m_queued.append(std::move(target));
    }
    found->second->waiting.append(key);
}

void LocalServiceMonitor::stopChecking(const QUuid &key, Watched &watched)
{
    if (!watched.checking) {
        return;
    }
    watched.checking = false;
    const auto found = m_probes.find(Target{watched.hostname, *watched.port});
    if (found == m_probes.end()) {
        return;
    }
    found->second->waiting.removeOne(key);
    if (found->second->waiting.isEmpty()) {
        m_probes.erase(found);
        if (m_probes.empty()) {
            m_deadline.stop();
        }
    }
}

void LocalServiceMonitor::startQueuedProbes()
{
    const QList<Target> queued = std::exchange(m_queued, {});
    for (const Target &target : queued) {
        const auto found = m_probes.find(target);
        // Gone, or a later probe of the same service that an earlier entry started already.
        if (found == m_probes.end() || found->second->started) {
            continue;
        }
        Probe &probe = *found->second;
        probe.started = true;
        if (const QHostAddress address(target.hostname); !address.isNull()) {
            probe.addresses = {address};
            connectNext(target);
            continue;
        }
        if (const auto known = m_resolved.constFind(target.hostname);
            known != m_resolved.cend() && known->until > std::chrono::steady_clock::now()) {
            probe.addresses = known->addresses;
            connectNext(target);
            continue;
        }
        probe.resolving = true;
        if (!m_lookups.contains(target.hostname)) {
            // By slot name: Qt 6.4 leaks the callback object of the functor form when the
            // answer comes after its receiver is gone, or never.
            QHostInfo::lookupHost(target.hostname, this, SLOT(addressesFound(QHostInfo)));
            m_lookups.insert(target.hostname);
        }
    }
}

void LocalServiceMonitor::addressesFound(const QHostInfo &info)
{
    const QString hostname = info.hostName();
    m_lookups.remove(hostname);
    if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty()) {
        m_resolved.insert(hostname,
                          {info.addresses(), std::chrono::steady_clock::now() + resolvedLifetime});
    }
    QList<Target> waiting;
    for (const auto &[target, probe] : m_probes) {
        if (probe->resolving && target.hostname == hostname) {
            probe->resolving = false;
            probe->addresses =
                info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>{};
            waiting.append(target);
        }
    }
    for (const Target &target : std::as_const(waiting)) {
        connectNext(target);
    }
}

void LocalServiceMonitor::connectNext(const Target &target)
{
    const auto found = m_probes.find(target);
    if (found == m_probes.end()) {
        return;
    }
    Probe &probe = *found->second;
    probe.closeConnection();
    while (probe.next < probe.addresses.size()) {
        const QHostAddress &address = probe.addresses.at(probe.next++);
        sockaddr_storage storage;
        socklen_t length = 0;
        if (!socketAddress(address, target.port, storage, length)) {
            continue;
        }
        probe.socket = openSocket(storage.ss_family);
        if (probe.socket == noSocket) {
            continue;
        }
        if (::connect(probe.socket, reinterpret_cast<const sockaddr *>(&storage), length) == 0) {
            finishProbe(target, true);
            return;
        }
        if (!connectPending()) {
            probe.closeConnection();
            continue;
        }
#ifndef Q_OS_WIN
        if (const std::optional<bool> accepted = connectSettled(probe.socket, storage, length)) {
            if (*accepted) {
                finishProbe(target, true);
                return;
            }
            probe.closeConnection();
            continue;
        }
#endif
        probe.notifier =
            std::make_unique<QSocketNotifier>(qintptr(probe.socket), QSocketNotifier::Write);
        connect(probe.notifier.get(), &QSocketNotifier::activated, this,
                [this, target] { connectionSettled(target); });
#ifdef Q_OS_WIN
        probe.failureNotifier =
            std::make_unique<QSocketNotifier>(qintptr(probe.socket), QSocketNotifier::Exception);
        connect(probe.failureNotifier.get(), &QSocketNotifier::activated, this,
                [this, target] { connectionSettled(target); });
#endif
        return;
    }
    finishProbe(target, false);
}

void LocalServiceMonitor::connectionSettled(const Target &target)
{
    const auto found = m_probes.find(target);
    if (found == m_probes.end()) {
        return;
    }
    if (connectionAccepted(found->second->socket)) {
        finishProbe(target, true);
    } else {
        connectNext(target);
    }
}

void LocalServiceMonitor::finishProbe(const Target &target, bool listening)
{
    const auto found = m_probes.find(target);
    if (found == m_probes.end()) {
        return;
    }
    const QList<QUuid> waiting = found->second->waiting;
    // Closed before anyone hears the result, which may start the next check of the same
    // service; that may also be inside the notifier's own signal, which Qt allows.
    m_probes.erase(found);
    if (m_probes.empty()) {
        m_deadline.stop();
    }
    // Every waiting key has its answer before the first is announced, so a listener that
    // checks again starts a new check for all of them.
    QList<QUuid> changed;
    for (const QUuid &key : waiting) {
        const auto watched = m_watched.find(key);
        if (watched == m_watched.end() || !watched->checking) {
            continue;
        }
        watched->checking = false;
        if (watched->listening != listening) {
            watched->listening = listening;
            changed.append(key);
        }
    }
    for (const QUuid &key : std::as_const(changed)) {
        // A listener may have stopped watching, or changed, a later one in the meantime.
        const auto watched = m_watched.constFind(key);
        if (watched != m_watched.cend() && watched->listening == listening) {
            Q_EMIT listeningChanged(key, listening);
        }
    }
}

// Something that neither accepts nor refuses (a dropped SYN, a name server that does not
// answer) is as good as nothing for the tunnel.
void LocalServiceMonitor::expireProbes()
{
    const auto now = std::chrono::steady_clock::now();
    QList<Target> expired;
    auto next = std::chrono::steady_clock::time_point::max();
    for (const auto &[target, probe] : m_probes) {
        if (probe->deadline <= now) {
            expired.append(target);
        } else {
            next = std::min(next, probe->deadline);
        }
    }
    for (const Target &target : std::as_const(expired)) {
        finishProbe(target, false);
    }
    if (!m_probes.empty() && !m_deadline.isActive()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        m_deadline.start(std::max(wait, std::chrono::milliseconds(1)));
    }
}

} // namespace Velumo
