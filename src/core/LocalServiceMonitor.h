// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <optional>

class QTcpSocket;

namespace Velumo {

// Watches whether the local services behind the tunnels accept connections, so a row can say
// that nothing is listening before the user wonders why the public address fails. Checks run
// on the event loop and never hold anything up; one timer serves every watched service and
// stops when none can be checked.
class LocalServiceMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalServiceMonitor)

public:
    static constexpr std::chrono::milliseconds interval{5000};
    static constexpr std::chrono::milliseconds connectTimeout{2000};

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

Q_SIGNALS:
    // On the first result for a target, then whenever the result differs from the last one.
    void listeningChanged(const QUuid &key, bool listening);

private:
    struct Watched {
        QString hostname;
        std::optional<quint16> port;
        std::optional<bool> listening;
        QPointer<QTcpSocket> check;
    };

    void checkAll();
    void updateTimer();
    void startCheck(const QUuid &key, Watched &watched);
    void finishCheck(const QUuid &key, QTcpSocket *socket, bool listening);
    static void dropCheck(Watched &watched);

    QHash<QUuid, Watched> m_watched;
    QTimer m_timer;
};

} // namespace Velumo
