// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "Shell.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace Velumo;
using namespace Velumo::Testing;

class ShellTest : public QObject
{
    Q_OBJECT

private:
    // Starts the stand-in under `script` and drains its stream; the run is kept for inspection.
    std::shared_ptr<Drained> runScript(const QByteArray &script, ToolRun *keep = nullptr,
                                       const QStringList &arguments = {QStringLiteral("tunnel")})
    {
        useScript(m_dir, QStringLiteral("script"), script);
        ToolRun run = Shell().run(standinPath(), arguments);
        auto drained = std::make_shared<Drained>();
        drain(run.output, drained);
        if (keep) {
            *keep = run;
        } else {
            m_runs.append(run);
        }
        return drained;
    }

    QTemporaryDir m_dir;
    QList<ToolRun> m_runs;

private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }
    void cleanup() { m_runs.clear(); }

    void oneLetter_yieldsOneValueThenEnd()
    {
        auto drained = runScript("raw a\nsleep 50\n");
        QTRY_VERIFY(drained->finished);
        QCOMPARE(drained->values.size(), 1);
        QCOMPARE(drained->values.first().kind, StreamedTerminalOutput::Kind::standardOutput);
        QCOMPARE(drained->values.first().text, QStringLiteral("a"));
    }

    void standardOutput_neverReachesTheStream()
    {
        StdoutCapture capture;
        auto drained = runScript("out on-stdout\nerr on-stderr\n");
        QTRY_VERIFY(drained->finished);
        capture.restore();
        QCOMPARE(drained->text(), QStringLiteral("on-stderr\n"));
        // It went to our own standard output instead.
        QVERIFY(capture.text().contains("on-stdout"));
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
        QTest::newRow("whole character in one write")
            << QByteArray("raw caf\\xc3\\xa9 \\xe2\\x9c\\x93\\n\n")
            << QString::fromUtf8("café ✓\n");
    }
    void invalidUtf8_dropsOnlyTheBadChunks()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, expected);
        auto drained = runScript(script);
        QTRY_VERIFY(drained->finished);
        QCOMPARE(drained->text(), expected);
    }

    void missingProgram_printsALineAndEndsTheStream_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("no such file") << QStringLiteral("/nonexistent/velumo/cloudflared");
        QTest::newRow("a directory") << QDir::tempPath();
        QTest::newRow("not executable")
            << QStringLiteral(VELUMO_TRANSCRIPTS "/quick-tunnel.script");
    }
    void missingProgram_printsALineAndEndsTheStream()
    {
        QFETCH(QString, path);
        StdoutCapture capture;
        ToolRun run = Shell().run(path, {QStringLiteral("tunnel")});
        auto drained = std::make_shared<Drained>();
        drain(run.output, drained);
        QTRY_VERIFY(drained->finished);
        capture.restore();
        QVERIFY(drained->values.isEmpty());
        QCOMPARE(run.process->state(), ToolProcess::State::FailedToStart);
        const QByteArray printed = capture.text();
        QVERIFY2(printed.endsWith('\n') && printed.count('\n') == 1, printed.constData());
        QVERIFY(printed.size() > 1);
    }

    void arguments_reachTheToolLiterally_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("spaces") << QStringLiteral("my host:30 00");
        QTest::newRow("quotes") << QStringLiteral("\"lo'cal\":3000");
        QTest::newRow("shell syntax") << QStringLiteral("$(touch /tmp/x);`id`|cat:&&");
        QTest::newRow("leading dash") << QStringLiteral("--help:3000");
        QTest::newRow("non-ASCII") << QString::fromUtf8("höst.例え:三千");
        QTest::newRow("empty host") << QStringLiteral(":3000");
    }
    void arguments_reachTheToolLiterally()
    {
        QFETCH(QString, url);
        const QString record = m_dir.filePath(QStringLiteral("argv.json"));
        QFile::remove(record);
        auto drained = runScript("record " + record.toUtf8() + "\n", nullptr,
                                 {QStringLiteral("tunnel"), QStringLiteral("--url"), url});
        QTRY_VERIFY(drained->finished);
        const QJsonArray argv = readRecord(record).value(QStringLiteral("argv")).toArray();
        QCOMPARE(argv.size(), 4);
        QCOMPARE(argv.at(1).toString(), QStringLiteral("tunnel"));
        QCOMPARE(argv.at(2).toString(), QStringLiteral("--url"));
        QCOMPARE(argv.at(3).toString(), url);
    }

    void environment_isInheritedOrReplaced()
    {
        qputenv("VELUMO_TEST_MARKER", "inherited");
        const QString record = m_dir.filePath(QStringLiteral("env.json"));
        auto inherited = runScript("record " + record.toUtf8() + "\n");
        QTRY_VERIFY(inherited->finished);
        QJsonObject env = readRecord(record).value(QStringLiteral("env")).toObject();
        QCOMPARE(env.value(QStringLiteral("VELUMO_TEST_MARKER")).toString(),
                 QStringLiteral("inherited"));

        const QString script = m_dir.filePath(QStringLiteral("script"));
        ToolRun run =
            Shell().run(standinPath(), {},
                        QMap<QString, QString>{{QStringLiteral("VELUMO_STANDIN_SCRIPT"), script},
                                               {QStringLiteral("ONLY_THIS"), QStringLiteral("1")}});
        auto replaced = std::make_shared<Drained>();
        drain(run.output, replaced);
        QTRY_VERIFY(replaced->finished);
        env = readRecord(record).value(QStringLiteral("env")).toObject();
        QCOMPARE(env.value(QStringLiteral("ONLY_THIS")).toString(), QStringLiteral("1"));
        QVERIFY(!env.contains(QStringLiteral("VELUMO_TEST_MARKER")));
        qunsetenv("VELUMO_TEST_MARKER");
    }

    void stop_endsEvenAToolThatIgnoresTerm_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("graceful");
        QTest::newRow("graceful")
            << QByteArray("on-term INF Initiating graceful shutdown\nerr ready\nwait\n") << true;
        QTest::newRow("ignores SIGTERM") << QByteArray("ignore-term\nerr ready\nwait\n") << false;
    }
    void stop_endsEvenAToolThatIgnoresTerm()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, graceful);
        ToolRun run;
        auto drained = runScript(script + "", &run);
        QTRY_VERIFY(run.process->state() == ToolProcess::State::Running);
        const qint64 pid = run.process->processId();
        QVERIFY(processExists(pid));
        // The signal handling is set up once the tool has said it is ready.
        QTRY_VERIFY(!drained->values.isEmpty());
        QSignalSpy ended(run.process.get(), &ToolProcess::ended);
        run.process->stop(std::chrono::milliseconds(300));
        QTRY_COMPARE(ended.count(), 1);
        QTRY_VERIFY(drained->finished);
        QVERIFY(!processExists(pid));
        QVERIFY(run.process->stopRequested());
        QCOMPARE(run.process->crashed(), !graceful);
        if (graceful) {
            QVERIFY(drained->text().contains(QStringLiteral("graceful shutdown")));
        }
    }

    void droppingTheHandle_endsTheTool()
    {
        ToolRun run;
        auto drained = runScript("ignore-term\nwait\n", &run);
        QTRY_VERIFY(run.process->state() == ToolProcess::State::Running);
        const qint64 pid = run.process->processId();
        run.process.reset();
        QVERIFY(!processExists(pid));
        QTRY_VERIFY(drained->finished);
    }

    void exitCodeAndCrash_areReported_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");
        QTest::newRow("self-update") << QByteArray("exit 11\n") << 11 << false;
        QTest::newRow("crash") << QByteArray("crash\n") << 0 << true;
    }
    void exitCodeAndCrash_areReported()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);
        ToolRun run;
        auto drained = runScript(script, &run);
        QTRY_VERIFY(drained->finished);
        QCOMPARE(run.process->state(), ToolProcess::State::Exited);
        QCOMPARE(run.process->crashed(), crashed);
        if (!crashed) {
            QCOMPARE(run.process->exitCode(), exitCode);
        }
        QVERIFY(!run.process->stopRequested());
    }

    void stream_keepsOrderFromAnotherThread_andDropsValuesAfterFinish()
    {
        OutputStream stream;
        auto drained = std::make_shared<Drained>();
        drain(stream, drained);
        const OutputStream::Producer producer = stream.producer();
        std::thread writer([producer] {
            for (int i = 0; i < 2000; ++i) {
                producer.yield(StreamedTerminalOutput::standardOutput(QString::number(i)));
            }
            producer.finish();
        });
        writer.join();
        QVERIFY(!producer.yield(StreamedTerminalOutput::standardOutput(QStringLiteral("late"))));
        QTRY_VERIFY(drained->finished);
        QCOMPARE(drained->values.size(), 2000);
        for (int i = 0; i < 2000; ++i) {
            QCOMPARE(drained->values.at(i).text, QString::number(i));
        }
    }

    // Must stay last: the path is computed once per process.
    void toolPath_isLookedUpOnceOnPath()
    {
        QTemporaryDir bin;
        const QString tool = bin.filePath(QStringLiteral("cloudflared"));
        QVERIFY(QFile::copy(standinPath(), tool));
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + oldPath);
        const QString first = cloudflaredPath();
        qputenv("PATH", oldPath);
        QCOMPARE(first, tool);
        QVERIFY(QFile::remove(tool));
        QCOMPARE(cloudflaredPath(), first);
    }
};

QTEST_GUILESS_MAIN(ShellTest)
#include "ShellTest.moc"
