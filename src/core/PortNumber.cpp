// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/PortNumber.h"

#include <QString>

#include <algorithm>

namespace Velumo {

std::optional<quint16> parsePort(QStringView text)
{
    if (text.isEmpty() || text.size() > 5 ||
        !std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
        return std::nullopt;
    }
    const uint value = text.toString().toUInt();
    return value >= 1 && value <= 65535 ? std::optional<quint16>(quint16(value)) : std::nullopt;
}

} // namespace Velumo
