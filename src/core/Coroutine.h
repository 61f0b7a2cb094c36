// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <qcoro/qcorotask.h>

class QObject;

namespace Velumo {

// Lets `task`, started by `owner` and awaited by nobody, run to its end: what it throws is
// caught and logged (velumo.core, naming the owner's class) instead of vanishing with the
// dropped task. The task's body re-checks a QPointer to its object after each co_await; when
// the owner is destroyed, the resumptions already queued for the task run at once, so that it
// ends there even if no event loop turns again (at the app's exit) and leaves no frame behind.
void startOwned(const QObject *owner, QCoro::Task<> task);

} // namespace Velumo
