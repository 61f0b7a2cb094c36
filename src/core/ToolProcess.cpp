// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ToolProcess.h"

#include "core/Logging.h"
#include "core/Shell.h"
#include "proxy/DescriptorLimit.h"

#include <QCoreApplication>
#include <QStringDecoder>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace Velumo {

namespace {

// Each chunk is decoded on its own: a chunk that is not valid UTF-8 as a whole is dropped and
// nothing carries over, so a character split across two reads loses both pieces.
std::optional<QString> decodeChunk(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                       QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

QString quoteArgument(const QString &argument)
{
    static const QString safe = QStringLiteral("-_./:=@%+,");
    bool plain = !argument.isEmpty();
    for (const QChar c : argument) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && !safe.contains(c)) {
            plain = false;
            break;
        }
    }
    if (plain) {
        return argument;
    }
    QString quoted = argument;
    quoted.replace(u'\'', QStringLiteral("'\\''"));
    return u'\'' + quoted + u'\'';
}

} // namespace

ToolProcess::ToolProcess(QString program, QStringList arguments,
                         std::optional<QProcessEnvironment> environment,
                         OutputStream::Producer producer, QObject *parent,
                         QString missingProgramDescription, StandardOutput standardOutput)
    : QObject(parent)
    , m_program(std::move(program))
    , m_arguments(std::move(arguments))
    , m_producer(std::move(producer))
    , m_missingProgramDescription(std::move(missingProgramDescription))
    , m_standardOutput(standardOutput)
    , m_process(new QProcess)
{
    m_killTimer.setSingleShot(true);
    connect(&m_killTimer, &QTimer::timeout, this, &ToolProcess::kill);
    start(std::move(environment));
}

ToolProcess::~ToolProcess()
{
    m_process->disconnect(this);
    QCoreApplication *app = QCoreApplication::instance();
    if (m_process->state() == QProcess::NotRunning) {
        delete m_process;
    } else if (app && m_process->thread() == app->thread()) {
        // Killed now and reaped from the event loop once gone, not waited for here. Until then
        // the application holds it: at exit its destructor waits for the child, so none
        // outlives the application.
        m_process->kill();
        m_process->setParent(app);
        connect(m_process, &QProcess::finished, m_process, &QObject::deleteLater);
    } else {
        m_process->kill();
        m_process->waitForFinished(1000);
        delete m_process;
    }
    m_producer.finish();
}

QString ToolProcess::commandLine() const
{
    QStringList parts{quoteArgument(m_program)};
    for (const QString &argument : m_arguments) {
        parts.append(quoteArgument(argument));
    }
    return parts.join(u' ');
}

void ToolProcess::start(std::optional<QProcessEnvironment> environment)
{
    if (m_program.isEmpty()) {
        // Reported from the event loop, like any other failed start.
        QMetaObject::invokeMethod(
            this,
            [this] {
                failStart(m_missingProgramDescription.isEmpty() ? tr("No program to start")
                                                                : m_missingProgramDescription);
            },
            Qt::QueuedConnection);
        return;
    }

    m_process->setProgram(m_program);
    m_process->setArguments(m_arguments);
    if (environment) {
        m_process->setProcessEnvironment(*environment);
    }
    // The tool's standard input stays the application's, and so does its standard output unless
    // the caller wants it; its error stream is read into the output stream.
    if (m_standardOutput == StandardOutput::Forwarded) {
        m_process->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    } else {
        connect(m_process, &QProcess::readyReadStandardOutput, this,
                &ToolProcess::captureStandardOutput);
    }
    m_process->setInputChannelMode(QProcess::ForwardedInputChannel);
    m_process->setReadChannel(QProcess::StandardError);

#ifdef Q_OS_LINUX
    // The tool must not outlive us even if we crash: the kernel kills it when this (the main)
    // thread goes away. The parent check closes the race with a parent that died before prctl.
    const pid_t parent = ::getpid();
    m_process->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        restoreDescriptorLimit();
        if (::getppid() != parent) {
            ::_exit(127);
        }
    });
#endif

    connect(m_process, &QProcess::started, this, [this] {
        m_state = State::Running;
        m_pid = m_process->processId();
        qCDebug(lcCore) << "started" << m_pid << commandLine();
        Q_EMIT started();
    });
    connect(m_process, &QProcess::readyReadStandardError, this, &ToolProcess::readChunk);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart && m_state == State::Starting) {
            failStart(m_process->errorString());
        }
    });
    connect(m_process, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) {
                readChunk();
                if (m_standardOutput == StandardOutput::Captured) {
                    captureStandardOutput();
                }
                m_killTimer.stop();
                m_exitCode = exitCode;
                m_crashed = status == QProcess::CrashExit;
                m_state = State::Exited;
                qCDebug(lcCore) << "ended" << m_pid << "exit code" << exitCode
                                << (m_crashed ? "crashed" : "");
                m_producer.finish();
                Q_EMIT ended();
            });

    m_process->start(QIODevice::ReadOnly);
}

void ToolProcess::captureStandardOutput()
{
    const QByteArray bytes = m_process->readAllStandardOutput();
    m_captured.append(bytes.left(maxCapturedOutput - m_captured.size()));
}

void ToolProcess::readChunk()
{
    const QByteArray bytes = m_process->readAllStandardError();
    if (bytes.isEmpty()) {
        return;
    }
    if (std::optional<QString> text = decodeChunk(bytes); text && !text->isEmpty()) {
        m_producer.yield(StreamedTerminalOutput::standardOutput(std::move(*text)));
    }
}

void ToolProcess::failStart(const QString &description)
{
    if (m_state != State::Starting) {
        return;
    }
    m_state = State::FailedToStart;
    m_errorDescription = description;
    printDiagnostic(description);
    m_producer.finish();
    Q_EMIT ended();
}

void ToolProcess::stop(std::chrono::milliseconds grace)
{
    if (m_process->state() == QProcess::NotRunning) {
        return;
    }
    m_stopRequested = true;
    m_process->terminate();
    if (!m_killTimer.isActive() || m_killTimer.remainingTime() > grace.count()) {
        m_killTimer.start(grace);
    }
}

void ToolProcess::kill()
{
    if (m_process->state() == QProcess::NotRunning) {
        return;
    }
    m_stopRequested = true;
    m_process->kill();
}

} // namespace Velumo
