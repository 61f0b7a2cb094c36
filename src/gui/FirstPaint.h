// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <functional>

class QWidget;

namespace Velumo {

// Runs `call` from the event loop once `widget` has been painted for the first time: for work
// that must not hold up the first frame.
void afterFirstPaint(QWidget *widget, std::function<void()> call);

} // namespace Velumo
