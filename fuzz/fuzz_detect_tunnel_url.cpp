// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "FuzzCheck.h"
#include "core/TunnelUrl.h"

#include <cstddef>
#include <cstdint>

using namespace Velumo;

// Every chunk the tool writes is scanned; the bytes are the tool's, decoded as the runner does.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<QUrl> url = detectTunnelURL(text);
    if (!url) {
        return 0;
    }
    Fuzzing::check(url->isValid(), "a detected address is a valid URL");
    Fuzzing::check(url->toString().endsWith(tunnelDomainSuffix),
                   "a detected address ends with the tunnel domain");
    return 0;
}
