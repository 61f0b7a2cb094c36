// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace Velumo {

// The config files cloudflared reads without --config, in the order it tries them; it uses the
// first that exists.
QStringList cloudflaredConfigCandidates();

// The config file cloudflared will read when it has `ingress:` rules, which take precedence
// over --url: visitors then reach the services listed there, not the one typed.
std::optional<QString> configFileWithIngress();

} // namespace Velumo
