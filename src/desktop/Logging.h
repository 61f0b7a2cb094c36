// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QLoggingCategory>

namespace Velumo {

// What the desktop library logs, as "velumo.desktop": warnings and information by default, debug
// messages when QT_LOGGING_RULES turns them on ("velumo.desktop.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcDesktop)

} // namespace Velumo
