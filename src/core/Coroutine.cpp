// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Coroutine.h"

#include "core/Logging.h"

#include <QObject>

#include <exception>

namespace Velumo {

namespace {

QCoro::Task<> watch(const char *owner, QCoro::Task<> task)
{
    try {
        co_await std::move(task);
    } catch (const std::exception &error) {
        qCWarning(lcCore, "%s: a task failed: %s", owner, error.what());
    } catch (...) {
        qCWarning(lcCore, "%s: a task failed", owner);
    }
}

} // namespace

void startOwned(const QObject *owner, QCoro::Task<> task)
{
    // The class name is static data, so it outlives the owner.
    watch(owner->metaObject()->className(), std::move(task));
}

} // namespace Velumo
