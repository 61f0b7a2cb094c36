// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

// The result type lives below core, so that the proxy library can say "refused" the same way.
#include "base/Result.h"
