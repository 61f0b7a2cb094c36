// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "desktop/ScriptingService.h"

#include <QDBusConnection>
#include <QString>

#include <memory>
#include <optional>

class OrgVelumoVelumo1Interface;

namespace Velumo {

// The command line's side of org.velumo.Velumo1: finds the running Velumo on the session bus,
// starts one in the background when none runs, and turns its answers and errors into what a
// command prints and exits with.
class ScriptClient
{
public:
    static constexpr int startTimeoutMs = 10'000;

    struct Failure {
        int exit;
        QString message;
    };
    struct Shared {
        QString id;
        QString address;
        std::optional<Failure> failure;
    };
    struct Secret {
        QString password;
        QString linkWithKey;
        std::optional<Failure> failure;
    };
    struct Listed {
        QVariantMapList tunnels;
        std::optional<Failure> failure;
    };

    ScriptClient();
    ~ScriptClient();

    // Reaches the running Velumo, starting `velumo --background` when none runs.
    std::optional<Failure> connect();
    // Shares hostname:port and waits until its address is ready or the tool fails.
    Shared share(const QString &hostname, const QString &port, const QVariantMap &options,
                 int timeoutSeconds);
    Listed list();
    // The password of a tunnel with one, and its link with key.
    Secret password(const QString &id);
    // start, stop or delete the one tunnel that `target` names: an id, an address or
    // hostname:port.
    std::optional<Failure> act(const QString &command, const QString &target);

private:
    Failure failureOf(const QDBusError &error) const;

    QDBusConnection m_bus;
    std::unique_ptr<OrgVelumoVelumo1Interface> m_velumo;
};

} // namespace Velumo
