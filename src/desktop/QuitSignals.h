// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QObject>

class QSocketNotifier;

namespace Velumo {

// Turns SIGTERM, SIGINT and SIGHUP (a logout, a Ctrl-C) into a Qt signal on the event loop,
// so the app can quit in order instead of dying with its tunnels left to the kernel.
// One instance per process.
class QuitSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuitSignals)

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

Q_SIGNALS:
    void quitRequested(int signalNumber);

private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace Velumo
