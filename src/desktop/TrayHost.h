// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

class QDBusServiceWatcher;

namespace Velumo {

// Waits a while for the desktop's tray host, which at login often starts after the programs
// started with the session. Qt decides once per process whether a StatusNotifier host exists,
// so it is asked only once one is on the bus, or once the wait is over (an XEmbed tray, which
// Qt follows as it comes and goes, is found then).
class TrayHost : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayHost)

public:
    static constexpr std::chrono::seconds defaultPatience{10};

    explicit TrayHost(std::chrono::milliseconds patience = defaultPatience,
                      QObject *parent = nullptr);
    ~TrayHost() override;

    // Starts waiting; `decided` follows once, from the event loop.
    void wait();

Q_SIGNALS:
    void decided(bool available);

private:
    void decide();

    std::chrono::milliseconds m_patience;
    QTimer m_deadline;
    QDBusServiceWatcher *m_watcher = nullptr;
    bool m_decided = false;
};

} // namespace Velumo
