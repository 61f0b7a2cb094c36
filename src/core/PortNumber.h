// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QStringView>
#include <QtGlobal>

#include <optional>

namespace Velumo {

// A port as typed: ASCII digits only, from 1 to 65535. Signs, spaces and other digit forms,
// which QString::toUInt() would take, are refused, since cloudflared would not take them.
std::optional<quint16> parsePort(QStringView text);

} // namespace Velumo
