// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <memory>
#include <optional>
#include <unordered_map>

class QHostInfo;

namespace Velumo {

// Watches whether the local services behind the tunnels accept connections, so a row can say
// that nothing is listening before the user wonders why the public address fails. Checks run
// on the event loop and never hold anything up; one timer serves every watched service and
// stops when none can be checked, and tunnels in front of the same service share its check.
class LocalServiceMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalServiceMonitor)

public:
    static constexpr std::chrono::milliseconds interval{5000};
    static constexpr std::chrono::milliseconds connectTimeout{2000};
    // How long a name's addresses are used before it is looked up again. Qt keeps answers as
    // long, but hands even a kept one over on a later turn of the event loop; kept here, a
    // round of checks runs in one go.
    static constexpr std::chrono::seconds resolvedLifetime{60};

    explicit LocalServiceMonitor(QObject *parent = nullptr);
    ~LocalServiceMonitor() override;

    // Starts watching, or follows a changed hostname or port. A new or changed target is
    // checked at once and its earlier result forgotten, without a signal. An empty hostname
    // or a port that is not a number from 1 to 65535 leaves the result unknown.
    void watch(const QUuid &key, const QString &hostname, const QString &port);
    void unwatch(const QUuid &key);
    // Checks without waiting for the timer, unless a check is already under way. Results
    // always arrive later, from the event loop.
    void checkNow(const QUuid &key);

    // Nothing while unwatched, unchecked or not checkable.
    std::optional<bool> isListening(const QUuid &key) const;
    bool isChecking(const QUuid &key) const;
    bool isTimerActive() const { return m_timer.isActive(); }
    // Services being checked right now: one per distinct hostname and port.
    int checksUnderWay() const { return int(m_probes.size()); }

Q_SIGNALS:
    // On the first result for a target, then whenever the result differs from the last one.
    void listeningChanged(const QUuid &key, bool listening);

private Q_SLOTS:
    void addressesFound(const QHostInfo &info);

private:
    struct Target {
        QString hostname;
        quint16 port = 0;
        bool operator==(const Target &) const = default;
    };
    struct TargetHash {
        size_t operator()(const Target &target) const noexcept
        {
            return qHash(target.hostname, target.port);
        }
    };
    struct Watched {
        QString hostname;
        std::optional<quint16> port;
        std::optional<bool> listening;
        bool checking = false;
    };
    struct Probe;

    void checkAll();
    void updateTimer();
    void startCheck(const QUuid &key, Watched &watched);
    void stopChecking(const QUuid &key, Watched &watched);
    void startQueuedProbes();
    void connectNext(const Target &target);
    void connectionSettled(const Target &target);
    void finishProbe(const Target &target, bool listening);
    void expireProbes();

    QHash<QUuid, Watched> m_watched;
    std::unordered_map<Target, std::unique_ptr<Probe>, TargetHash> m_probes;
    // Probes wait here for the one queued call that starts them, so a round of checks costs
    // one event, and no result reaches a caller that is still in watch() or checkNow().
    QList<Target> m_queued;
    // Names being resolved, each once however many probes wait for it.
    QSet<QString> m_lookups;
    struct Resolved {
        QList<QHostAddress> addresses;
        std::chrono::steady_clock::time_point until;
    };
    QHash<QString, Resolved> m_resolved;
    bool m_startingRound = false;
    QTimer m_timer;
    // Fires only when a probe outlives the connect timeout; stopped once none is left.
    QTimer m_deadline;
};

} // namespace Velumo
