// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/StrictFraming.h"

namespace Velumo {

std::optional<StrictFraming::Refusal> StrictFraming::refusal(const MessageHead &head)
{
    int lengths = 0;
    bool hasCodings = false;
    QByteArray codings;
    for (qsizetype i = 0; i < head.fieldCount(); ++i) {
        const QByteArrayView name = head.name(i);
        const QByteArrayView value = head.value(i);
        if (value.contains('\n')) {
            return Refusal{400, tr("The request has a header field folded onto a second line, "
                                   "which services may read otherwise.")};
        }
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            lengths += value.contains(',') ? 2 : 1;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            codings += (hasCodings ? "," : "") + value.toByteArray();
            hasCodings = true;
        }
    }
    if (hasCodings && head.version() < 11) {
        return Refusal{400, tr("An HTTP/1.0 request cannot have a Transfer-Encoding.")};
    }
    if (hasCodings && lengths > 0) {
        return Refusal{400, tr("The request has both a Content-Length and a "
                               "Transfer-Encoding.")};
    }
    if (lengths > 1) {
        return Refusal{400, tr("The request has more than one Content-Length.")};
    }
    if (!hasCodings || codings.trimmed().compare("chunked", Qt::CaseInsensitive) == 0) {
        return std::nullopt;
    }
    // "chunked" anywhere but last is malformed (400); any other coding is one the proxy does
    // not implement (501).
    const QList<QByteArray> items = codings.split(',');
    for (qsizetype i = 0; i + 1 < items.size(); ++i) {
        if (items[i].trimmed().compare("chunked", Qt::CaseInsensitive) == 0) {
            return Refusal{400, tr("The request's Transfer-Encoding has \"chunked\" before its "
                                   "end.")};
        }
    }
    return Refusal{501, tr("The request's Transfer-Encoding is other than \"chunked\".")};
}

} // namespace Velumo
