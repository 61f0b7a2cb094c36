// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QLoggingCategory>

namespace Velumo {

// What the gui library logs, as "velumo.gui": warnings and information by default, debug
// messages when QT_LOGGING_RULES turns them on ("velumo.gui.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcGui)

} // namespace Velumo
