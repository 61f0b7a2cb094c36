// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Coroutine.h"

#include "core/Logging.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QObject>
#include <QPointer>

#include <exception>

namespace Velumo {

namespace {

QCoro::Task<> watch(QPointer<const QObject> owner, const char *name, QCoro::Task<> task)
{
    // A task only ends, and its frames with it, when it is resumed. Once its owner is gone,
    // what it waits for is queued for the event loop (a finished tool's output, say), which
    // at the app's exit never turns again: those resumptions run now, and the task ends at its
    // next check of a QPointer.
    const QMetaObject::Connection gone = QObject::connect(owner.data(), &QObject::destroyed, [] {
        if (QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance()) {
            QCoreApplication::sendPostedEvents(loop, QEvent::MetaCall);
        }
    });
    try {
        co_await std::move(task);
    } catch (const std::exception &error) {
        qCWarning(lcCore, "%s: a task failed: %s", name, error.what());
    } catch (...) {
        qCWarning(lcCore, "%s: a task failed", name);
    }
    if (owner) {
        QObject::disconnect(gone);
    }
}

} // namespace

void startOwned(const QObject *owner, QCoro::Task<> task)
{
    // The class name is static data, so it outlives the owner.
    watch(owner, owner->metaObject()->className(), std::move(task));
}

} // namespace Velumo
