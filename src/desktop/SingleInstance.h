// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QDBusPendingReply>
#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class QLocalServer;
class QLocalSocket;

namespace Velumo {

// Keeps one running copy of the app per user session. The first copy owns the app id on the
// session bus (and answers org.freedesktop.Application there, as desktops expect); a later copy
// asks it to come forward and steps aside. Without a session bus a local socket does the same.
class SingleInstance : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    enum class Transport {
        Automatic,   // the session bus when there is one, else a local socket
        LocalSocket, // always the local socket
    };
    Q_ENUM(Transport)

    explicit SingleInstance(const QString &appId = QStringLiteral("org.velumo.Velumo"),
                            Transport transport = Transport::Automatic, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Connects to the session bus on a worker thread: libdbus's handshake with the bus takes
    // several round trips, which Qt waits for, and the caller can build its window meanwhile.
    // Optional: the first use of the bus connects otherwise.
    static void connectInBackground();
    // The object whose adaptors the app exports at its object path, beside
    // org.freedesktop.Application; by default this one. Set it before claiming.
    void exportOn(QObject *object) { m_exported = object; }
    // Asks the session bus for the app id without waiting for the answer, so the caller can
    // go on meanwhile. Optional: claim() asks itself when this was not called.
    void beginClaim();
    // True when this is the only copy and it should go on; false when a running copy was asked
    // to come forward instead. May block briefly on that request, so call it before showing
    // any window.
    bool claim();

    QString appId() const { return m_appId; }
    static bool sessionBusAvailable();

Q_SIGNALS:
    // Another copy was started. The launcher's Wayland activation token or X11 startup id
    // comes along when it had one: a window may only take focus on Wayland with it.
    void activated(const QString &activationToken);

private:
    bool claimOnBus();
    bool claimLocally();
    bool notifyLocalServer(const QString &name) const;
    void readRequests(QLocalSocket *socket);
    QString objectPath() const;
    QString localServerName() const;

    QString m_appId;
    Transport m_transport;
    std::optional<QDBusPendingReply<uint>> m_request;
    bool m_ownsBusName = false;
    QLocalServer *m_server = nullptr;
    QPointer<QObject> m_exported;
};

} // namespace Velumo
