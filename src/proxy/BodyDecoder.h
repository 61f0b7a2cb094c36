// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/CapturedExchange.h"

namespace Velumo {

// A captured body made readable: its content codings undone and its kind told, for display.
struct DecodedBody {
    enum class Kind { Empty, Json, Text, Image, Binary };

    Kind kind = Kind::Empty;
    QString text;           // Json pretty-printed; Text as is; Binary as a hex dump
    QByteArray bytes;       // the decoded bytes (for an Image, to load with QImage)
    QByteArray mimeType;    // from Content-Type, or guessed from the bytes when it says nothing
    bool truncated = false; // the capture was cut, or decoding stopped at decodedLimit
    QString problem;        // why the body shows as received: an unknown coding, bad data
};

// Decodes copies only: what the proxy forwards is never touched. gzip, deflate (zlib or raw)
// and br, stacked in any order Content-Encoding names them.
class BodyDecoder
{
public:
    // Decoding stops here, so a small compressed body cannot fill the memory.
    static constexpr qsizetype decodedLimit = 8 * 1024 * 1024;
    // Only this much of a binary body is dumped as hex.
    static constexpr qsizetype hexLimit = 64 * 1024;

    static DecodedBody request(const CapturedExchange &exchange);
    static DecodedBody response(const CapturedExchange &exchange);
    // `head`: the head the body came with; `body`: without chunk framing.
    static DecodedBody decode(const CapturedHead &head, QByteArrayView body, bool truncated);
};

} // namespace Velumo
