// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QLoggingCategory>

// What the proxy thread turns away and why, at debug level (QT_LOGGING_RULES=
// "velumo.proxy.debug=true"): connections refused, timeouts, gate refusals. Never a password,
// a key, a cookie or a body.
Q_DECLARE_LOGGING_CATEGORY(lcProxy)
