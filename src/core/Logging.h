// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QLoggingCategory>

namespace Velumo {

// What the core library logs, as "velumo.core": warnings and information by default, debug
// messages when QT_LOGGING_RULES turns them on ("velumo.core.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcCore)

} // namespace Velumo
