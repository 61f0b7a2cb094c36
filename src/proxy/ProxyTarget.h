// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QString>

#include <optional>

namespace Velumo {

// Where a proxy forwards to: the tunnel's service, fixed for the proxy's life.
struct ProxyTarget {
    QString host;
    quint16 port = 0;
    // The service speaks TLS: its hostname was given with https://.
    bool tls = false;

    // The service a tunnel's hostname names: the host itself, or the host after http:// or
    // https:// (the tool takes the scheme from there). Nothing for an empty hostname or
    // another scheme.
    static std::optional<ProxyTarget> fromHostname(const QString &hostname, quint16 port);

    friend bool operator==(const ProxyTarget &, const ProxyTarget &) = default;
};

} // namespace Velumo
