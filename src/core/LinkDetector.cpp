// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/LinkDetector.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace Velumo {

namespace LinkDetection {

namespace {

bool isAsciiLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAsciiDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// Letters, digits and hyphens of ASCII host names, plus any non-ASCII letter or digit so
// internationalised names are found too. Either half of a surrogate pair is judged by the whole
// code point: an emoji glued to a link is not part of a name.
bool isHostChar(QStringView text, qsizetype i)
{
    const QChar c = text[i];
    const char16_t u = c.unicode();
    if (u < 128) {
        return isAsciiLetter(u) || isAsciiDigit(u) || u == u'-';
    }
    if (!c.isSurrogate()) {
        return c.isLetterOrNumber() || c.isMark();
    }
    const qsizetype high = c.isHighSurrogate() ? i : i - 1;
    if (high < 0 || high + 1 >= text.size() || !text[high].isHighSurrogate() ||
        !text[high + 1].isLowSurrogate()) {
        return false;
    }
    const char32_t code = QChar::surrogateToUcs4(text[high], text[high + 1]);
    return QChar::isLetterOrNumber(code) || QChar::isMark(code);
}

bool isSchemeChar(char16_t c)
{
    return isAsciiLetter(c) || isAsciiDigit(c) || c == u'+' || c == u'-' || c == u'.';
}

bool isTrailingPunctuation(char16_t c)
{
    switch (c) {
    case u'.':
    case u',':
    case u';':
    case u':':
    case u'!':
    case u'?':
        return true;
    default:
        return false;
    }
}

// Drops trailing punctuation and closing brackets or quotes that have no partner inside.
qsizetype trimEnd(QStringView text, qsizetype begin, qsizetype end)
{
    // The brackets are counted once and the counts kept as characters are dropped: counting
    // afresh for each one made a link ending in a long run of them quadratic.
    static constexpr char16_t counted[] = {u'(', u')', u'[', u']', u'{', u'}', u'\''};
    const auto slot = [](char16_t c) {
        return static_cast<std::size_t>(std::find(std::begin(counted), std::end(counted), c) -
                                        std::begin(counted));
    };
    std::array<qsizetype, std::size(counted) + 1> counts{};
    bool haveCounts = false;
    while (end > begin) {
        const char16_t last = text[end - 1].unicode();
        if (isTrailingPunctuation(last)) {
            --end;
            continue;
        }
        char16_t open = 0;
        switch (last) {
        case u')':
            open = u'(';
            break;
        case u']':
            open = u'[';
            break;
        case u'}':
            open = u'{';
            break;
        case u'\'':
            open = u'\'';
            break;
        default:
            break;
        }
        if (!open) {
            break;
        }
        if (!haveCounts) {
            for (qsizetype k = begin; k < end; ++k) {
                ++counts[slot(text[k].unicode())];
            }
            haveCounts = true;
        }
        const qsizetype closes = counts[slot(last)];
        const qsizetype opens = open == last ? 0 : counts[slot(open)];
        const bool unbalanced = open == last ? (closes % 2) == 1 : closes > opens;
        if (!unbalanced) {
            break;
        }
        --counts[slot(last)];
        --end;
    }
    return end;
}

// A start boundary: not inside a word of host characters, a dotted name or an e-mail address.
bool isStartBoundary(QStringView text, qsizetype begin, qsizetype i)
{
    if (i == begin) {
        return true;
    }
    const QChar before = text[i - 1];
    return !isHostChar(text, i - 1) && before != u'.' && before != u'@' && before != u'_';
}

// Reads a dotted host name at i; returns its end or -1. The last label must be two or more
// letters, so version numbers and addresses like 127.0.0.1 are not names.
qsizetype readHostName(QStringView text, qsizetype i, qsizetype end)
{
    qsizetype pos = i;
    int labels = 0;
    qsizetype lastLabelStart = i;
    qsizetype nameEnd = -1;
    while (pos < end && isHostChar(text, pos)) {
        lastLabelStart = pos;
        while (pos < end && isHostChar(text, pos)) {
            ++pos;
        }
        ++labels;
        if (labels >= 2) {
            bool letters = pos - lastLabelStart >= 2;
            for (qsizetype k = lastLabelStart; letters && k < pos; ++k) {
                const QChar c = text[k];
                letters = c.unicode() < 128 ? isAsciiLetter(c.unicode()) : c.isLetter();
            }
            if (letters) {
                nameEnd = pos;
            }
        }
        if (pos + 1 < end && text[pos] == u'.' && isHostChar(text, pos + 1)) {
            ++pos;
        } else {
            break;
        }
    }
    return nameEnd;
}

} // namespace

bool isLinkBreak(QChar c)
{
    const char16_t u = c.unicode();
    if (u <= 0x20 || u == 0x7f) {
        return true;
    }
    switch (u) {
    case u'|':
    case u'"':
    case u'<':
    case u'>':
        return true;
    default:
        return u >= 0x80 && (c.isSpace() || c.category() == QChar::Other_Control);
    }
}

bool nextLinkInWord(QStringView text, qsizetype &pos, qsizetype end, LinkMatch &match)
{
    const qsizetype begin = pos;
    // Where the last run of scheme characters ended: a start inside that run ends at the same
    // place, so the run is not scanned again from each of its letters.
    qsizetype schemeRunEnd = -1;
    for (qsizetype i = pos; i < end; ++i) {
        if (!isStartBoundary(text, begin, i)) {
            continue;
        }
        const char16_t first = text[i].unicode();

        if (isAsciiLetter(first)) {
            qsizetype s = i + 1;
            if (s < schemeRunEnd) {
                s = schemeRunEnd;
            }
            while (s < end && isSchemeChar(text[s].unicode())) {
                ++s;
            }
            schemeRunEnd = s;
            if (end - s >= 3 && text[s] == u':' && text[s + 1] == u'/' && text[s + 2] == u'/') {
                const qsizetype afterScheme = s + 3;
                // Trimming never reaches back over a host character or '[', so the link is
                // decided before paying for the trim.
                if (afterScheme < end &&
                    (isHostChar(text, afterScheme) || text[afterScheme] == u'[')) {
                    match = {i, trimEnd(text, i, end) - i};
                    pos = end;
                    return true;
                }
                // "scheme://" with nothing usable behind it: move past it.
                i = afterScheme - 1;
                continue;
            }
        }

        if (!isHostChar(text, i) || first == u'-') {
            continue;
        }
        const qsizetype nameEnd = readHostName(text, i, end);
        if (nameEnd < 0) {
            continue;
        }
        qsizetype linkEnd = nameEnd;
        if (linkEnd < end && (text[linkEnd] == u'@' || text[linkEnd] == u'_')) {
            // Part of an e-mail address or some identifier, not a link.
            i = linkEnd;
            continue;
        }
        if (linkEnd + 1 < end && text[linkEnd] == u':' &&
            isAsciiDigit(text[linkEnd + 1].unicode())) {
            linkEnd += 1;
            while (linkEnd < end && isAsciiDigit(text[linkEnd].unicode())) {
                ++linkEnd;
            }
        }
        if (linkEnd < end &&
            (text[linkEnd] == u'/' || text[linkEnd] == u'?' || text[linkEnd] == u'#')) {
            linkEnd = end;
        }
        linkEnd = trimEnd(text, i, linkEnd);
        match = {i, linkEnd - i};
        pos = linkEnd;
        return true;
    }
    pos = end;
    return false;
}

} // namespace LinkDetection

QList<LinkMatch> findLinks(QStringView text)
{
    QList<LinkMatch> links;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    while (pos < size) {
        while (pos < size && LinkDetection::isLinkBreak(text[pos])) {
            ++pos;
        }
        qsizetype end = pos;
        while (end < size && !LinkDetection::isLinkBreak(text[end])) {
            ++end;
        }
        LinkDetection::forEachLinkInWord(text, pos, end, [&](const LinkMatch &match) {
            links.append(match);
            return true;
        });
        pos = end;
    }
    return links;
}

} // namespace Velumo
