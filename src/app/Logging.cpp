// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Logging.h"

namespace Velumo {

Q_LOGGING_CATEGORY(lcApp, "velumo.app", QtInfoMsg)

} // namespace Velumo
