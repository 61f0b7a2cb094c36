// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <optional>
#include <utility>

class QTcpSocket;

namespace Velumo {

// How a service given with https:// answered the TLS handshake.
struct ServiceTls {
    // The handshake completed: the service speaks TLS.
    bool speaksTls = false;
    // Its certificate is trusted by this system for the name it was reached by.
    bool trusted = false;
    // SHA-256 of its certificate, when it spoke TLS.
    QByteArray fingerprint;

    friend bool operator==(const ServiceTls &, const ServiceTls &) = default;
};

// Watches whether the local services behind the tunnels accept connections, so a row can say
// that nothing is listening before the user wonders why the public address fails. Checks run
// on the event loop; one timer serves every watched service and runs only while one can be
// checked, and tunnels in front of the same service share its check.
class LocalServiceMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalServiceMonitor)

public:
    static constexpr std::chrono::milliseconds interval{5000};
    static constexpr std::chrono::milliseconds connectTimeout{2000};

    explicit LocalServiceMonitor(QObject *parent = nullptr);

    // Starts watching, or follows a changed hostname or port. A new or changed target is
    // checked at once and its earlier result forgotten, without a signal. An empty hostname
    // or a port that is not a number from 1 to 65535 leaves the result unknown. A hostname
    // with http:// or https:// names the host after it; with https:// the check also makes
    // the TLS handshake.
    void watch(const QUuid &key, const QString &hostname, const QString &port);
    void unwatch(const QUuid &key);
    // Checks without waiting for the timer, unless the service's check is under way. Results
    // always arrive later, from the event loop.
    void checkNow(const QUuid &key);

    // Nothing while unwatched, unchecked or not checkable.
    std::optional<bool> isListening(const QUuid &key) const;
    // How an https:// service that listens answered the handshake; nothing otherwise.
    std::optional<ServiceTls> tls(const QUuid &key) const;

Q_SIGNALS:
    // On the first result for a target, then whenever the result differs from the last one.
    void listeningChanged(const QUuid &key, bool listening);
    // An https:// service's handshake came out differently from the last time.
    void tlsChanged(const QUuid &key);

private:
    struct Service {
        QString host;
        quint16 port = 0;
        bool tls = false;

        friend bool operator==(const Service &, const Service &) = default;
        friend size_t qHash(const Service &service, size_t seed = 0)
        {
            return qHashMulti(seed, service.host, service.port, service.tls);
        }
    };
    struct Watched {
        std::optional<Service> service;
        std::optional<bool> listening;
        std::optional<ServiceTls> tls;
    };

    static std::optional<Service> serviceOf(const QString &hostname, const QString &port);
    void check(const std::optional<Service> &service);
    void finish(const Service &service, const QTcpSocket *socket, bool listening,
                const std::optional<ServiceTls> &tls = std::nullopt);
    void endCheck(const Service &service);
    void updateTimer();

    QHash<QUuid, Watched> m_watched;
    // The check under way for each service, at most one.
    QHash<Service, QTcpSocket *> m_checks;
    QTimer m_timer;
};

} // namespace Velumo
