// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ProxyTarget.h"

#include <QUrl>

namespace Velumo {

std::optional<ProxyTarget> ProxyTarget::fromHostname(const QString &hostname, quint16 port)
{
    if (hostname.isEmpty()) {
        return std::nullopt;
    }
    if (!hostname.contains(u"://")) {
        return ProxyTarget{hostname, port, false};
    }
    const QUrl url(hostname);
    const QString scheme = url.scheme().toLower();
    if (url.host().isEmpty() || (scheme != u"http" && scheme != u"https")) {
        return std::nullopt;
    }
    return ProxyTarget{url.host(), port, scheme == u"https"};
}

} // namespace Velumo
