// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/OutputStream.h"

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>

namespace Velumo {

// One started tool: owns the child process, feeds its error stream into an OutputStream and
// can stop it gracefully. Destroying it ends the child, so no tool outlives its owner.
class ToolProcess : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolProcess)

public:
    enum class State { Starting, Running, FailedToStart, Exited };
    Q_ENUM(State)

    static constexpr std::chrono::milliseconds defaultStopGrace{5000};

    // What to do with the tool's standard output: leave it ours (a long-running tunnel), or
    // keep it for the caller (one-shot commands print their results there).
    enum class StandardOutput { Forwarded, Captured };

    ToolProcess(QString program, QStringList arguments,
                std::optional<QProcessEnvironment> environment, OutputStream::Producer producer,
                QObject *parent = nullptr, QString missingProgramDescription = {},
                StandardOutput standardOutput = StandardOutput::Forwarded);
    ~ToolProcess() override;

    // The command line as a user could type it, for logs.
    QString commandLine() const;
    QString program() const { return m_program; }
    QStringList arguments() const { return m_arguments; }

    State state() const { return m_state; }
    bool isRunning() const { return m_state == State::Starting || m_state == State::Running; }
    qint64 processId() const { return m_pid; }
    bool stopRequested() const { return m_stopRequested; }
    int exitCode() const { return m_exitCode; }
    bool crashed() const { return m_crashed; }
    QString errorDescription() const { return m_errorDescription; }
    // What the tool wrote on its standard output when it is captured, decoded as UTF-8; at most
    // the first `maxCapturedOutput` bytes.
    QString capturedOutput() const { return QString::fromUtf8(m_captured); }
    static constexpr qsizetype maxCapturedOutput = 1024 * 1024;

    // SIGTERM now, SIGKILL when the tool is still there after `grace`. Returns at once;
    // `ended` follows. Harmless when the tool has already ended.
    void stop(std::chrono::milliseconds grace = defaultStopGrace);
    // SIGKILL now.
    void kill();

Q_SIGNALS:
    void started();
    // Once, after a failed start or when the process has exited and its output was drained.
    void ended();

private:
    void start(std::optional<QProcessEnvironment> environment);
    void readChunk();
    void captureStandardOutput();
    void failStart(const QString &description);

    QString m_program;
    QStringList m_arguments;
    OutputStream::Producer m_producer;
    QTimer m_killTimer;
    State m_state = State::Starting;
    qint64 m_pid = 0;
    bool m_stopRequested = false;
    bool m_crashed = false;
    int m_exitCode = 0;
    QString m_errorDescription;
    QString m_missingProgramDescription;
    StandardOutput m_standardOutput;
    // Owned; outlives this object only while a killed child is reaped (see the destructor).
    QProcess *m_process;
    QByteArray m_captured;
};

} // namespace Velumo
