// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/Logging.h"

namespace Velumo {

Q_LOGGING_CATEGORY(lcDesktop, "velumo.desktop", QtInfoMsg)

} // namespace Velumo
