// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/QrCode.h"

#include <qrencode.h>

#include <memory>

namespace Velumo {

bool QrCode::dark(int x, int y) const
{
    if (x < 0 || y < 0 || x >= size || y >= size) {
        return false;
    }
    return modules[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) +
                   static_cast<std::size_t>(x)] != 0;
}

std::optional<QrCode> encodeQrCode(const QByteArray &text)
{
    if (text.isEmpty()) {
        return std::nullopt;
    }
    // Byte mode keeps the text exactly as given; version 0 lets the library pick the smallest.
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> symbol(
        QRcode_encodeData(static_cast<int>(text.size()),
                          reinterpret_cast<const unsigned char *>(text.constData()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!symbol || symbol->width <= 0) {
        return std::nullopt;
    }

    QrCode code;
    code.size = symbol->width;
    const auto count = static_cast<std::size_t>(code.size) * static_cast<std::size_t>(code.size);
    code.modules.resize(count);
    // The low bit is the colour; the others tell which function pattern a module belongs to.
    for (std::size_t i = 0; i < count; ++i) {
        code.modules[i] = symbol->data[i] & 1U;
    }
    return code;
}

} // namespace Velumo
