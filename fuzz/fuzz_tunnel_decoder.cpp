// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "FuzzCheck.h"
#include "core/Tunnel.h"

#include <cstddef>
#include <cstdint>

using namespace Velumo;

// The stored file is the one input a user (or a crash, or another build) can hand us whole.
// Whatever is accepted must survive a save and a load unchanged.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const Result<TunnelList> decoded = decodeTunnels(bytes);
    if (!decoded) {
        Fuzzing::check(!decoded.reason().isEmpty(), "a rejected list says why");
        return 0;
    }
    const QByteArray encoded = encodeTunnels(*decoded);
    const Result<TunnelList> again = decodeTunnels(encoded);
    Fuzzing::check(again.has_value(), "an accepted list decodes again after encoding");
    Fuzzing::check(*again == *decoded, "an accepted list round-trips unchanged");
    Fuzzing::check(encodeTunnels(*again) == encoded, "encoding is stable");
    return 0;
}
