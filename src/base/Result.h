// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace Velumo {

// Why something was not done, in plain words a user can be shown.
struct Refusal {
    QString reason;
};

// Done (with a value, unless T is void-like std::monostate), or refused with a reason. Reads
// like std::optional where only the value matters.
template <typename T = std::monostate>
class [[nodiscard]] Result
{
public:
    Result()
        requires std::is_same_v<T, std::monostate>
        : m_state(T{})
    {}
    Result(T value)
        : m_state(std::move(value))
    {}
    Result(Refusal refusal)
        : m_state(std::move(refusal))
    {}

    bool has_value() const { return std::holds_alternative<T>(m_state); }
    explicit operator bool() const { return has_value(); }
    const T &operator*() const & { return std::get<T>(m_state); }
    T &operator*() & { return std::get<T>(m_state); }
    T &&operator*() && { return std::get<T>(std::move(m_state)); }
    const T *operator->() const { return &std::get<T>(m_state); }
    T *operator->() { return &std::get<T>(m_state); }
    // Empty when done.
    QString reason() const
    {
        const auto *refusal = std::get_if<Refusal>(&m_state);
        return refusal ? refusal->reason : QString();
    }
    std::optional<T> toOptional() const &
    {
        return has_value() ? std::optional<T>(**this) : std::nullopt;
    }

private:
    std::variant<T, Refusal> m_state;
};

using Done = Result<>;

} // namespace Velumo
