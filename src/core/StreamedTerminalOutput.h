// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QString>

namespace Velumo {

// One piece of a tool's output. The runner only ever produces `standardOutput`, even though
// it reads the tool's error stream; `standardError` is what consumers treat as an error report.
struct StreamedTerminalOutput {
    enum class Kind { standardOutput, standardError };

    Kind kind = Kind::standardOutput;
    QString text;

    static StreamedTerminalOutput standardOutput(QString text)
    {
        return {Kind::standardOutput, std::move(text)};
    }
    static StreamedTerminalOutput standardError(QString text)
    {
        return {Kind::standardError, std::move(text)};
    }
};

} // namespace Velumo
