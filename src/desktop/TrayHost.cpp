// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/TrayHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QSystemTrayIcon>

namespace Velumo {

namespace {

const QString statusNotifierWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

TrayHost::TrayHost(std::chrono::milliseconds patience, QObject *parent)
    : QObject(parent)
    , m_patience(patience)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &TrayHost::decide);
}

TrayHost::~TrayHost() = default;

void TrayHost::wait()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QTimer::singleShot(0, this, &TrayHost::decide);
        return;
    }
    m_watcher = new QDBusServiceWatcher(statusNotifierWatcher, bus,
                                        QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayHost::decide);
    m_deadline.start(m_patience);
    // It may be there already; asked without blocking, after the watch began.
    auto *call = new QDBusPendingCallWatcher(
        bus.interface()->asyncCall(QStringLiteral("NameHasOwner"), statusNotifierWatcher), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const QDBusPendingReply<bool> reply = *call;
        if (!reply.isError() && reply.value()) {
            decide();
        }
    });
}

void TrayHost::decide()
{
    if (std::exchange(m_decided, true)) {
        return;
    }
    m_deadline.stop();
    Q_EMIT decided(QSystemTrayIcon::isSystemTrayAvailable());
}

} // namespace Velumo
