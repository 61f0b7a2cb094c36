// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"

#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace Velumo {

// A tunnel with a stable address on the user's own domain: a named tunnel of their Cloudflare
// account. Velumo keeps how to run it, never a secret: the credentials file lives in Velumo's
// data folder, a dashboard token in the desktop's secret store.
struct NamedTunnel {
    enum class Kind {
        CredentialsFile, // run with the credentials file `create` wrote
        Token,           // run with a token copied from the dashboard
    };

    QUuid id = QUuid::createUuid();
    Kind kind = Kind::CredentialsFile;
    // The tunnel's UUID at Cloudflare and its name there; for a token, the name the user gave.
    QString tunnelId;
    QString tunnelName;
    // The hostname routed to it (optional for a token: its routes live in the dashboard).
    QString publicHostname;
    // The local service; unused for a token.
    QString hostname = QStringLiteral("localhost");
    QString port = QStringLiteral("3000");

    // https://<public hostname>, known before the tool runs; none without a hostname.
    std::optional<QUrl> address() const;

    friend bool operator==(const NamedTunnel &, const NamedTunnel &) = default;
};

using NamedTunnelList = QList<NamedTunnel>;

QString kindText(NamedTunnel::Kind kind);

// The JSON form of the list as namedTunnels.json holds it: an array of objects with the keys
// "id", "kind" ("credentials file" or "token"), "tunnelId", "tunnelName", "publicHostname",
// "hostname" and "port". Decoding fails as a whole on any element it cannot read.
QByteArray encodeNamedTunnels(const NamedTunnelList &tunnels);
Result<NamedTunnelList> decodeNamedTunnels(const QByteArray &json);

} // namespace Velumo
