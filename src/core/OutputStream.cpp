// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/OutputStream.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

namespace Velumo {

struct OutputStream::State {
    std::mutex mutex;
    std::deque<StreamedTerminalOutput> queue;
    bool finished = false;
    std::coroutine_handle<> waiter;
    // Where the waiting consumer is resumed: the event dispatcher of its thread.
    QPointer<QAbstractEventDispatcher> dispatcher;

    // Called with the mutex held; hands the waiting consumer to its event loop.
    void wakeLocked()
    {
        if (!waiter) {
            return;
        }
        auto handle = std::exchange(waiter, {});
        QObject *context = dispatcher ? static_cast<QObject *>(dispatcher.data())
                                      : static_cast<QObject *>(QCoreApplication::instance());
        if (!context) {
            return;
        }
        QMetaObject::invokeMethod(
            context, [handle] { handle.resume(); }, Qt::QueuedConnection);
    }
};

OutputStream::OutputStream()
    : m_state(std::make_shared<State>())
{}

std::size_t OutputStream::pending() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->queue.size();
}

bool OutputStream::Producer::yield(StreamedTerminalOutput value) const
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->finished) {
        return false;
    }
    m_state->queue.push_back(std::move(value));
    m_state->wakeLocked();
    return true;
}

void OutputStream::Producer::finish() const
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->finished) {
        return;
    }
    m_state->finished = true;
    m_state->wakeLocked();
}

bool OutputStream::Producer::isFinished() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->finished;
}

bool OutputStream::NextAwaiter::await_ready() const noexcept
{
    std::lock_guard lock(m_state->mutex);
    return !m_state->queue.empty() || m_state->finished;
}

void OutputStream::NextAwaiter::await_suspend(std::coroutine_handle<> handle)
{
    std::lock_guard lock(m_state->mutex);
    m_state->waiter = handle;
    m_state->dispatcher = QThread::currentThread()->eventDispatcher();
    // A value may have arrived between await_ready and here.
    if (!m_state->queue.empty() || m_state->finished) {
        m_state->wakeLocked();
    }
}

std::optional<StreamedTerminalOutput> OutputStream::NextAwaiter::await_resume()
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->queue.empty()) {
        return std::nullopt;
    }
    StreamedTerminalOutput value = std::move(m_state->queue.front());
    m_state->queue.pop_front();
    return value;
}

} // namespace Velumo
