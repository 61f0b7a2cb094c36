// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/Logging.h"

namespace Velumo {

Q_LOGGING_CATEGORY(lcGui, "velumo.gui", QtInfoMsg)

} // namespace Velumo
