// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Shell.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>

namespace Velumo {

// How a one-shot command of the tool ended, and what it wrote.
struct CommandResult {
    enum class End { Exited, Crashed, FailedToStart, TimedOut, Stopped };

    End end = End::Exited;
    int exitCode = 0;
    // Standard output: create's text, list's JSON, older versions' messages.
    QString output;
    // Standard error: the tool's log lines.
    QString log;
    // Why it could not be started.
    QString error;

    // Exited with 0 and without a flag error, which the tool reports on standard output while
    // exiting with 0.
    bool succeeded() const;
    // The last line the tool wrote on either stream, without its "<time> <LEVEL> " prefix.
    QString lastLine() const;
    // Why it failed, in one line: why it could not start, or its last line.
    QString reason() const;
};

// Waits for a one-shot command started with Shell::runCommand to end, reading its log as it
// comes (`onLog` sees each piece). Stops it after `timeout`. The caller owns the process and
// may stop it, or drop it, which ends the command as Stopped.
QCoro::Task<CommandResult> finishCommand(OutputStream output, std::weak_ptr<ToolProcess> process,
                                         std::chrono::milliseconds timeout,
                                         std::function<void(const QString &)> onLog = {});

// The last non-empty line of a piece of the tool's output, without its log prefix.
QString lastMeaningfulLine(const QString &text);

} // namespace Velumo
