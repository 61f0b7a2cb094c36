// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "TunnelUrl.h"

#include "LinkDetector.h"

namespace Velumo {

namespace {

// The tool announces its address with the scheme. A bare name ending in the suffix is some
// other mention of the service, such as "lookup api.trycloudflare.com: no such host" in a
// failed request, and must not be taken for a tunnel.
bool isTunnelAddress(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty()) {
        return false;
    }
    const QString scheme = url.scheme();
    return scheme == QStringLiteral("https") || scheme == QStringLiteral("http");
}

} // namespace

std::optional<QUrl> detectTunnelURL(QStringView text)
{
    // Only a link that contains the suffix can end with it, so instead of recognising every
    // link in the chunk, look at the words that hold an occurrence, in order. Words are
    // independent (links never cross a break), so this finds the same first link.
    const qsizetype size = text.size();
    qsizetype from = 0;
    while (from < size) {
        const qsizetype hit = text.indexOf(tunnelDomainSuffix, from);
        if (hit < 0) {
            return std::nullopt;
        }
        qsizetype begin = hit;
        while (begin > 0 && !LinkDetection::isLinkBreak(text[begin - 1])) {
            --begin;
        }
        qsizetype end = hit + tunnelDomainSuffix.size();
        while (end < size && !LinkDetection::isLinkBreak(text[end])) {
            ++end;
        }

        std::optional<std::optional<QUrl>> decided;
        LinkDetection::forEachLinkInWord(text, begin, end, [&](const LinkMatch &match) {
            const QStringView linkText = text.sliced(match.start, match.length);
            if (!linkText.endsWith(tunnelDomainSuffix)) {
                return true;
            }
            QUrl url(linkText.toString(), QUrl::StrictMode);
            decided = isTunnelAddress(url) ? std::optional<QUrl>(std::move(url)) : std::nullopt;
            return false;
        });
        if (decided) {
            return *decided;
        }
        from = end;
    }
    return std::nullopt;
}

} // namespace Velumo
