// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Logging.h"

namespace Velumo {

Q_LOGGING_CATEGORY(lcCore, "velumo.core", QtInfoMsg)

} // namespace Velumo
