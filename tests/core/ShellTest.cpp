// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Shell.h"

#include "TestSupport.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <unistd.h>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

struct Drained {
    QList<StreamedTerminalOutput> values;
    bool finished = false;
    QString text() const
    {
        QString all;
        for (const StreamedTerminalOutput &value : values) {
            all += value.text;
        }
        return all;
    }
};

// Reads a stream to its end into `into`.
QCoro::Task<> drain(OutputStream stream, std::shared_ptr<Drained> into)
{
    while (std::optional<StreamedTerminalOutput> value = co_await stream.next()) {
        into->values.append(std::move(*value));
    }
    into->finished = true;
}

// What the code under test writes on our standard output while this is alive.
class StdoutCapture
{
public:
    StdoutCapture()
        : m_file(std::tmpfile())
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(::fileno(m_file), STDOUT_FILENO);
    }
    ~StdoutCapture() { std::fclose(m_file); }
    QByteArray finish()
    {
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        std::rewind(m_file);
        QByteArray bytes;
        char buffer[4096];
        while (const size_t n = std::fread(buffer, 1, sizeof buffer, m_file)) {
            bytes.append(buffer, qsizetype(n));
        }
        return bytes;
    }

private:
    std::FILE *m_file;
    int m_saved;
};

} // namespace

class ShellTest : public QObject
{
    Q_OBJECT

private:
    // Starts the stand-in under `script` and drains its stream into the result.
    std::shared_ptr<Drained> run(const QByteArray &script, ToolRun *keep = nullptr)
    {
        useScriptAt(m_dir.filePath(QStringLiteral("script")), script);
        ToolRun run = Shell().run(standinPath(), {QStringLiteral("tunnel")});
        auto drained = std::make_shared<Drained>();
        drain(run.output, drained);
        m_runs.append(run);
        if (keep) {
            *keep = run;
        }
        return drained;
    }

    QTemporaryDir m_dir;
    QList<ToolRun> m_runs;

private Q_SLOTS:
    void cleanup() { m_runs.clear(); }

    void oneLetter_yieldsOneValueThenEnd()
    {
        auto drained = run("raw a\nsleep 50\n");
        QTRY_VERIFY(drained->finished);
        QCOMPARE(drained->values.size(), 1);
        QCOMPARE(drained->values.first().kind, StreamedTerminalOutput::Kind::standardOutput);
        QCOMPARE(drained->values.first().text, QStringLiteral("a"));
    }

    void standardOutput_goesToOursNotTheStream()
    {
        StdoutCapture capture;
        auto drained = run("out on-stdout\nerr on-stderr\n");
        QTRY_VERIFY(drained->finished);
        QVERIFY(capture.finish().contains("on-stdout"));
        QCOMPARE(drained->text(), QStringLiteral("on-stderr\n"));
    }

    void invalidUtf8_dropsOnlyTheBadChunks_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("expected");
        QTest::newRow("character split across two writes")
            << QByteArray("err before\nsleep 300\nraw \\xc3\nsleep 300\nraw \\xa9 rest\\n\n"
                          "sleep 300\nerr after\n")
            << QStringLiteral("before\nafter\n");
        QTest::newRow("invalid byte") << QByteArray("raw \\xff\\xfeoops\\n\nsleep 300\nerr fine\n")
                                      << QStringLiteral("fine\n");
        QTest::newRow("whole character") << QByteArray("raw caf\\xc3\\xa9 \\xe2\\x9c\\x93\\n\n")
                                         << QString::fromUtf8("café ✓\n");
    }
    void invalidUtf8_dropsOnlyTheBadChunks()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, expected);
        auto drained = run(script);
        QTRY_VERIFY(drained->finished);
        QCOMPARE(drained->text(), expected);
    }

    void failedLaunch_printsOneLineAndEndsTheStream()
    {
        StdoutCapture capture;
        ToolRun run = Shell().run(QStringLiteral("/nonexistent/cloudflared"), {});
        auto drained = std::make_shared<Drained>();
        drain(run.output, drained);
        QTRY_VERIFY(drained->finished);
        const QByteArray printed = capture.finish();
        QVERIFY(drained->values.isEmpty());
        QCOMPARE(run.process->state(), ToolProcess::State::FailedToStart);
        QVERIFY2(printed.size() > 1 && printed.count('\n') == 1 && printed.endsWith('\n'),
                 printed.constData());
    }

    void end_isReported_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");
        QTest::newRow("graceful stop")
            << QByteArray("on-term INF Initiating graceful shutdown\nerr ready\nwait\n") << true
            << 0 << false;
        QTest::newRow("stop of a tool ignoring SIGTERM")
            << QByteArray("ignore-term\nerr ready\nwait\n") << true << 0 << true;
        QTest::newRow("self-update") << QByteArray("err ready\nexit 11\n") << false << 11 << false;
        QTest::newRow("crash") << QByteArray("err ready\ncrash\n") << false << 0 << true;
    }
    void end_isReported()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, stop);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);
        ToolRun tool;
        auto drained = run(script, &tool);
        // Its signal handling is set up once it has said it is ready.
        QTRY_VERIFY(!drained->values.isEmpty());
        const qint64 pid = tool.process->processId();
        if (stop) {
            tool.process->stop(std::chrono::milliseconds(300));
        }
        QTRY_VERIFY(drained->finished);
        QVERIFY(!processExists(pid));
        QCOMPARE(tool.process->state(), ToolProcess::State::Exited);
        QCOMPARE(tool.process->stopRequested(), stop);
        QCOMPARE(tool.process->crashed(), crashed);
        if (!crashed) {
            QCOMPARE(tool.process->exitCode(), exitCode);
        }
    }
};

QTEST_GUILESS_MAIN(ShellTest)
#include "ShellTest.moc"
