// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace Velumo {

// One tunnel as the list keeps it: which local service it exposes, under which public
// address, and whether a tool run for it is still waiting for that address.
struct Tunnel {
    QUuid id = QUuid::createUuid();
    std::optional<QUrl> url;
    QString hostname = QStringLiteral("localhost");
    QString port = QStringLiteral("3000");
    bool loading = false;

    // Field-by-field, so two versions of one record (same id) are told apart.
    friend bool operator==(const Tunnel &, const Tunnel &) = default;
};

using TunnelList = QList<Tunnel>;

// The JSON keys of a record, in the order they are written.
enum class CodingKeys { id, url, hostname, port, loading };
QString codingKeyText(CodingKeys key);

// Upper-case 8-4-4-4-12 form without braces, as stored.
QString uuidText(const QUuid &id);
// Accepts exactly 36 characters in either case, no braces.
std::optional<QUuid> uuidFromText(QStringView text);

// Compact JSON exactly as stored lists are written: keys in declaration order, `url` left
// out when absent, forward slashes escaped, non-ASCII as UTF-8.
QByteArray encodeTunnels(const TunnelList &tunnels);

// Decoding says why it failed so callers can tell the user what was wrong.
Result<Tunnel> decodeTunnel(const QJsonObject &object);
Result<TunnelList> decodeTunnels(const QByteArray &json);

} // namespace Velumo
