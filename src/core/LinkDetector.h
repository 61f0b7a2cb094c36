// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QList>
#include <QStringView>

namespace Velumo {

// Finds web links in plain text: addresses with a scheme ("https://host/path") and bare
// domain names ("host.example.com"). Qt has no link recogniser, so this is ours.
//
// A link never crosses white space, control characters or any of | " < >; it keeps its port,
// path, query and fragment, and drops trailing sentence punctuation and unbalanced closing
// brackets or quotes. Positions count UTF-16 code units.
struct LinkMatch {
    qsizetype start = 0;
    qsizetype length = 0;

    friend bool operator==(const LinkMatch &, const LinkMatch &) = default;
};

QList<LinkMatch> findLinks(QStringView text);

namespace LinkDetection {

// True for characters that end a link outright.
bool isLinkBreak(QChar c);
// Calls `visit(match)` for each link inside [begin, end) of text, which must not contain a
// link break, in order; stops when visit returns false. Returns false if stopped.
template <typename Visit>
bool forEachLinkInWord(QStringView text, qsizetype begin, qsizetype end, Visit &&visit);

// Finds the next link in [pos, end), a run with no link breaks; false when there is none.
bool nextLinkInWord(QStringView text, qsizetype &pos, qsizetype end, LinkMatch &match);

template <typename Visit>
bool forEachLinkInWord(QStringView text, qsizetype begin, qsizetype end, Visit &&visit)
{
    qsizetype pos = begin;
    LinkMatch match;
    while (nextLinkInWord(text, pos, end, match)) {
        if (!visit(match)) {
            return false;
        }
    }
    return true;
}

} // namespace LinkDetection

} // namespace Velumo
