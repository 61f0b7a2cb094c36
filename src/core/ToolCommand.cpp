// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ToolCommand.h"

#include <QRegularExpression>
#include <QTimer>

namespace Velumo {

namespace {

// A command's log is small; a misbehaving one is cut off rather than held whole.
constexpr qsizetype maxLog = 256 * 1024;

} // namespace

QString lastMeaningfulLine(const QString &text)
{
    static const QRegularExpression logPrefix(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(?:\\.\\d+)?Z\\s+"
                       "(?:DBG|INF|WRN|ERR|FTL)\\s+"));
    const auto lines = QStringView(text).split(u'\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QStringView line = it->trimmed();
        if (!line.isEmpty()) {
            QString result = line.toString();
            result.remove(logPrefix);
            return result.left(300);
        }
    }
    return {};
}

bool CommandResult::succeeded() const
{
    return end == End::Exited && exitCode == 0 &&
           !output.contains(QStringLiteral("Incorrect Usage")) &&
           !log.contains(QStringLiteral("Incorrect Usage"));
}

QString CommandResult::lastLine() const
{
    const QString fromLog = lastMeaningfulLine(log);
    return fromLog.isEmpty() ? lastMeaningfulLine(output) : fromLog;
}

QString CommandResult::reason() const
{
    return end == End::FailedToStart ? error : lastLine();
}

QCoro::Task<CommandResult> finishCommand(OutputStream output, std::weak_ptr<ToolProcess> process,
                                         std::chrono::milliseconds timeout,
                                         std::function<void(const QString &)> onLog)
{
    CommandResult result;
    bool timedOut = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &deadline, [process, &timedOut] {
        if (const std::shared_ptr<ToolProcess> running = process.lock()) {
            timedOut = true;
            running->stop(std::chrono::seconds(2));
        }
    });
    deadline.start(timeout);
    while (std::optional<StreamedTerminalOutput> chunk = co_await output.next()) {
        if (result.log.size() < maxLog) {
            result.log.append(chunk->text.left(maxLog - result.log.size()));
        }
        if (onLog) {
            onLog(chunk->text);
        }
    }
    const std::shared_ptr<ToolProcess> ended = process.lock();
    if (!ended) {
        result.end = CommandResult::End::Stopped;
    } else if (ended->state() == ToolProcess::State::FailedToStart) {
        result.end = CommandResult::End::FailedToStart;
        result.error = ended->errorDescription();
    } else if (timedOut) {
        result.end = CommandResult::End::TimedOut;
    } else if (ended->stopRequested()) {
        result.end = CommandResult::End::Stopped;
    } else if (ended->crashed()) {
        result.end = CommandResult::End::Crashed;
    } else {
        result.exitCode = ended->exitCode();
    }
    if (ended) {
        result.output = ended->capturedOutput();
    }
    co_return result;
}

} // namespace Velumo
