// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

namespace Velumo {

// The modules of one QR symbol, row by row, without the quiet zone around it.
struct QrCode {
    int size = 0;
    std::vector<uint8_t> modules; // size * size entries, non-zero where the module is dark

    // Outside the symbol counts as light, which is what the quiet zone is.
    bool dark(int x, int y) const;
};

// Byte mode at error correction level M, smallest version that fits. Nothing when the text is
// empty or too long for any version.
std::optional<QrCode> encodeQrCode(const QByteArray &text);

} // namespace Velumo
