// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QObject>
#include <QThread>

namespace Velumo {

class ProxyServer;

// The one thread every reverse proxy of the app runs on, so that forwarding never waits for
// the window and the window never waits for a transfer. The thread starts with the first
// proxy; the app owns the host and destroys it after its proxies (any left are ended too).
class ProxyHost : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProxyHost)

public:
    explicit ProxyHost(QObject *parent = nullptr);
    // Ends the proxies still on the thread, closing their connections, and joins it.
    ~ProxyHost() override;

    bool isRunning() const { return m_thread.isRunning(); }

private:
    friend class ReverseProxy;
    // Moves a server made on the caller's thread onto the proxy thread, which keeps it.
    void adopt(ProxyServer *server);

    QThread m_thread;
    QObject *m_root; // lives on the thread; parent of every server there
};

} // namespace Velumo
