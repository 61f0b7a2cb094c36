// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/HostCheck.h"

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

// The refusals are short pages; their telling words come early, whatever follows.
constexpr qsizetype bodyLookedAt = 16 * 1024;

bool contains(QByteArrayView body, QByteArrayView words)
{
    return body.first(std::min(body.size(), bodyLookedAt)).contains(words);
}

} // namespace

std::optional<DevServer> HostCheck::refusedBy(int status, QByteArrayView body)
{
    switch (status) {
    case 403:
        // server.allowedHosts, or preview.allowedHosts from `vite preview`
        if (body.startsWith("Blocked request. This host (") && contains(body, "allowedHosts")) {
            return DevServer::Vite;
        }
        if (body.trimmed() == "Invalid Host header") {
            return DevServer::Webpack;
        }
        if (contains(body, "Blocked host")) { // "Blocked hosts:" since Rails 6.1
            return DevServer::Rails;
        }
        break;
    case 400:
        // Only Django's debug page names the check; with DEBUG off it is a bare 400.
        if (contains(body, "DisallowedHost") && contains(body, "ALLOWED_HOSTS")) {
            return DevServer::Django;
        }
        break;
    case 200:
        // webpack-dev-server before 4 answered the same words with 200.
        if (body.trimmed() == "Invalid Host header") {
            return DevServer::Webpack;
        }
        break;
    default:
        break;
    }
    return std::nullopt;
}

bool HostCheck::refusedOrigin(QByteArrayView path, bool crossOrigin, int status,
                              QByteArrayView body)
{
    if (!crossOrigin || !path.startsWith("/_next/")) {
        return false;
    }
    return status == 0 || (status == 403 && body.trimmed() == "Unauthorized");
}

bool HostCheck::hostRewriteHelps(DevServer server)
{
    return server == DevServer::Vite || server == DevServer::Webpack ||
           server == DevServer::Django;
}

QString HostCheck::allowSetting(DevServer server, const QString &hostname)
{
    const bool quick = hostname.isEmpty();
    switch (server) {
    case DevServer::Vite:
        return u"server.allowedHosts: ['%1']"_s.arg(quick ? u".trycloudflare.com"_s : hostname);
    case DevServer::Webpack:
        return quick ? u"allowedHosts: 'all'"_s : u"allowedHosts: ['%1']"_s.arg(hostname);
    case DevServer::Django:
        return u"ALLOWED_HOSTS = ['%1']"_s.arg(quick ? u".trycloudflare.com"_s : hostname);
    case DevServer::Rails:
        return u"config.hosts << \"%1\""_s.arg(quick ? u".trycloudflare.com"_s : hostname);
    case DevServer::NextJs:
        return u"allowedDevOrigins: ['%1']"_s.arg(quick ? u"*.trycloudflare.com"_s : hostname);
    }
    return {};
}

QString HostCheck::settingPlace(DevServer server)
{
    switch (server) {
    case DevServer::Vite:
        return tr("vite.config.js (or .ts)");
    case DevServer::Webpack:
        return tr("the devServer section of webpack.config.js");
    case DevServer::Django:
        return tr("the project's settings.py");
    case DevServer::Rails:
        return tr("config/environments/development.rb, inside the configure block");
    case DevServer::NextJs:
        return tr("next.config.js (or .ts)");
    }
    return {};
}

QString HostCheck::name(DevServer server)
{
    switch (server) {
    case DevServer::Vite:
        return u"Vite"_s;
    case DevServer::Webpack:
        return u"webpack-dev-server"_s;
    case DevServer::Django:
        return u"Django"_s;
    case DevServer::Rails:
        return u"Rails"_s;
    case DevServer::NextJs:
        return u"Next.js"_s;
    }
    return {};
}

} // namespace Velumo
