// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace Velumo {

// The public domain quick tunnels are issued under; the leading dot keeps the bare domain out.
inline constexpr QStringView tunnelDomainSuffix = u".trycloudflare.com";

// The tunnel's public address in one chunk of tool output: the first link, by position, whose
// own text ends with the suffix (case-sensitive), parsed strictly. When that link is not an
// absolute http(s) address there is no address; later links are not tried.
std::optional<QUrl> detectTunnelURL(QStringView text);

} // namespace Velumo
