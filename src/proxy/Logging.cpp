// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/Logging.h"

Q_LOGGING_CATEGORY(lcProxy, "velumo.proxy", QtInfoMsg)
