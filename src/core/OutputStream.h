// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/StreamedTerminalOutput.h"

#include <coroutine>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

class QObject;

namespace Velumo {

// An unbounded single-consumer stream of tool output. The producer side may be used from any
// thread; the consumer awaits values with `co_await stream.next()` on a thread running a Qt
// event loop, and is always resumed from that loop, never from inside the producer's call.
class OutputStream
{
    struct State;

public:
    class Producer
    {
    public:
        Producer() = default;
        // Appends a value; false when the stream has already finished (the value is dropped).
        bool yield(StreamedTerminalOutput value) const;
        void finish() const;
        bool isFinished() const;

    private:
        friend class OutputStream;
        explicit Producer(std::shared_ptr<State> state)
            : m_state(std::move(state))
        {}
        std::shared_ptr<State> m_state;
    };

    class NextAwaiter
    {
    public:
        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> handle);
        std::optional<StreamedTerminalOutput> await_resume();

    private:
        friend class OutputStream;
        explicit NextAwaiter(std::shared_ptr<State> state)
            : m_state(std::move(state))
        {}
        std::shared_ptr<State> m_state;
    };

    OutputStream();

    Producer producer() const { return Producer(m_state); }

    // The next value, or nullopt once the stream has finished and every queued value was taken.
    NextAwaiter next() const { return NextAwaiter(m_state); }

    // Values queued and not yet taken; for tests and diagnostics.
    std::size_t pending() const;

private:
    std::shared_ptr<State> m_state;
};

} // namespace Velumo
