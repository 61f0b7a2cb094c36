// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArrayView>
#include <QCoreApplication>
#include <QString>

#include <optional>

namespace Velumo {

// Development servers that refuse a request coming by an address they were not told about.
// Each says so in its own words; these are the ones recognised.
enum class DevServer {
    Vite,
    Webpack, // webpack-dev-server
    Django,
    Rails,
    NextJs,
};

class HostCheck
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::HostCheck)

public:
    // The server whose host check turned away a request, from the answer's status and the
    // start of its body; nothing for any other answer, an ordinary 403 or 400 included.
    static std::optional<DevServer> refusedBy(int status, QByteArrayView body);

    // Next.js refuses requests for its own resources (under /_next/) that come from another
    // origin: a 403 "Unauthorized", or a WebSocket closed without an answer (status 0).
    static bool refusedOrigin(QByteArrayView path, bool crossOrigin, int status,
                              QByteArrayView body);

    // Sending Host as localhost:<port> gets past the server's check. Rails also checks
    // X-Forwarded-Host and Next.js the Origin, which must keep the visitor's address.
    static bool hostRewriteHelps(DevServer server);

    // The line of the project's own configuration that lets the tunnel's address in: for a
    // quick tunnel (`hostname` empty) every name under trycloudflare.com, since the name
    // changes at each start; for a named tunnel its own hostname.
    static QString allowSetting(DevServer server, const QString &hostname = {});
    static QString name(DevServer server);
    // Where that line goes in the project.
    static QString settingPlace(DevServer server);
};

} // namespace Velumo
