// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/StoreFile.h"
#include "core/TunnelChoices.h"

#include <QHash>
#include <QUuid>

#include <optional>

namespace Velumo {

using ChoicesList = QHash<QUuid, TunnelChoices>;

// Each tunnel's choices between runs, in a file of their own beside the tunnel lists:
// $XDG_CONFIG_HOME/velumo/tunnelOptions.json, an object keyed by tunnel id, e.g.
// {"<ID>": {"inspect": true, "password": true, "http2": false, "startWithVelumo": false,
// "hostHeader": false}} (ids as in the lists; a field missing is off), and "trustedCertificate":
// the hex SHA-256 of a service certificate the user trusted. Only tunnels with a choice on are
// written. The password itself never is: gateSecret() is what the secret store keeps.
class TunnelChoicesStore
{
public:
    explicit TunnelChoicesStore(QString filePath);

    const QString &filePath() const { return m_file.filePath(); }
    Result<std::optional<ChoicesList>> load();
    QString save(const ChoicesList &choices);

    // The secret store's entry for a tunnel's gate, and what it holds: the password, the key of
    // its link and the cookie's token, as {"password": …, "key": …, "cookie": …}.
    static QString gateKey(const QUuid &id);
    static QString gateSecret(const PasswordGate::Kept &kept);
    static std::optional<PasswordGate::Kept> readGateSecret(const QString &secret);

private:
    StoreFile m_file;
};

} // namespace Velumo
