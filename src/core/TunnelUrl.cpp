// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelUrl.h"

#include "core/LinkDetector.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace Velumo {

namespace {

// The suffix is searched in every chunk the tool writes, so the search is Horspool's over pairs
// of code units (as glibc's memmem does over bytes), with its table made once for the suffix.
class SuffixSearch
{
public:
    constexpr SuffixSearch()
    {
        for (auto &skip : m_skip) {
            skip = last;
        }
        // Where the pair of units under the end of the window could sit in the suffix; the
        // rightmost place gives the smallest, always safe, move.
        for (qsizetype i = 1; i < last; ++i) {
            m_skip[pairHash(i)] = std::uint8_t(last - i);
        }
        m_afterMismatch = m_skip[pairHash(last)];
        m_skip[pairHash(last)] = 0;
    }

    qsizetype indexIn(QStringView text, qsizetype from) const
    {
        if (text.size() - from < length) {
            return -1;
        }
        const char16_t *const begin = text.utf16();
        const char16_t *const lastStart = begin + (text.size() - length);
        for (const char16_t *p = begin + from; p <= lastStart;) {
            if (const std::uint8_t skip = m_skip[hash(p[last - 1], p[last])]) {
                p += skip;
                continue;
            }
            // Only the pair's hash matched: compare all of it.
            if (std::equal(p, p + length, tunnelDomainSuffix.utf16())) {
                return p - begin;
            }
            p += m_afterMismatch;
        }
        return -1;
    }

private:
    static constexpr qsizetype length = tunnelDomainSuffix.size();
    static constexpr qsizetype last = length - 1;
    static_assert(length >= 2 && length < 256);

    static constexpr std::uint8_t hash(char16_t before, char16_t unit)
    {
        return std::uint8_t(unit - (before << 3));
    }
    static constexpr std::uint8_t pairHash(qsizetype i)
    {
        return hash(tunnelDomainSuffix[i - 1].unicode(), tunnelDomainSuffix[i].unicode());
    }

    std::array<std::uint8_t, 256> m_skip{};
    std::uint8_t m_afterMismatch = 0;
};

constexpr SuffixSearch suffixSearch;

// The words around each occurrence are walked a unit at a time: the ASCII answers come from a
// table made from the one rule in LinkDetection.
const std::array<bool, 128> asciiLinkBreaks = [] {
    std::array<bool, 128> table{};
    for (char16_t u = 0; u < table.size(); ++u) {
        table[u] = LinkDetection::isLinkBreak(QChar(u));
    }
    return table;
}();

inline bool breaksLink(QChar c)
{
    const char16_t u = c.unicode();
    return u < asciiLinkBreaks.size() ? asciiLinkBreaks[u] : LinkDetection::isLinkBreak(c);
}

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
        const qsizetype hit = suffixSearch.indexIn(text, from);
        if (hit < 0) {
            return std::nullopt;
        }
        qsizetype begin = hit;
        while (begin > 0 && !breaksLink(text[begin - 1])) {
            --begin;
        }
        qsizetype end = hit + tunnelDomainSuffix.size();
        while (end < size && !breaksLink(text[end])) {
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
