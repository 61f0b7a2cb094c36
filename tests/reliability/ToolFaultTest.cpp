// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"
#include "ReliabilitySupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <signal.h>

using namespace Velumo;
using namespace Velumo::Testing;

// Under AddressSanitizer freed blocks sit in a 256 MB quarantine, which would show up as growth
// in the flood's memory check; a small one keeps that check about our buffers.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=8";
}

// The tool failing, dying, misbehaving or drowning us in output: the app keeps running, keeps
// what it has and tells the user what happened.
class ToolFaultTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private:
    QString path(const char *name) const { return m_dir->filePath(QString::fromLatin1(name)); }

    // The model still does its job: a well-behaved tool gets its tunnel listed and saved.
    void verifyStillCreates()
    {
        m_model->setToolPath(standinPath());
        script(announcement() + "wait\n");
        const qsizetype before = m_model->tunnels().size();
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), before + 1);
        QCOMPARE(m_model->readStoredTunnels(), std::optional<TunnelList>(m_model->tunnels()));
    }

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void unusableTool_failsTheCreationAndSaysSo_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not executable") << QStringLiteral("not-executable");
        QTest::newRow("a directory") << QStringLiteral("directory");
        QTest::newRow("missing interpreter") << QStringLiteral("bad-interpreter");
        QTest::newRow("empty file") << QStringLiteral("empty");
    }
    void unusableTool_failsTheCreationAndSaysSo()
    {
        QFETCH(QString, kind);
        QString tool = path("cloudflared");
        if (kind == QStringLiteral("directory")) {
            QVERIFY(QDir().mkpath(tool));
        } else {
            const QByteArray content = kind == QStringLiteral("bad-interpreter")
                                           ? QByteArray("#!/nonexistent/interpreter\n")
                                       : kind == QStringLiteral("empty")
                                           ? QByteArray()
                                           : QByteArray("#!/bin/sh\n");
            QVERIFY(writeFile(tool, content));
            const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
            QVERIFY(QFile::setPermissions(tool, kind == QStringLiteral("not-executable")
                                                    ? readable
                                                    : readable | QFile::ExeOwner));
        }
        m_model->setToolPath(tool);
        QSignalSpy status(m_model.get(), &ContentModel::statusMessageChanged);

        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY(!m_model->loading());
        QVERIFY(m_model->tunnels().isEmpty());
        QCOMPARE(m_model->runningToolCount(), 0);
        // The failure is said last; the check of the service at Create may have spoken first.
        QVERIFY(status.count() == 1 ||
                (status.count() == 2 && status.first().first().toString().startsWith(
                                            QStringLiteral("Nothing is listening on "))));
        QVERIFY2(
            m_model->statusMessage().startsWith(QStringLiteral("Could not start cloudflared: ")),
            qPrintable(m_model->statusMessage()));
        QVERIFY(!QFile::exists(storePath()));

        verifyStillCreates();
    }

    void toolEndingWithoutAddress_saysHowItEnded_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("killFromOutside");
        QTest::addColumn<QStringList>("told");
        QTest::newRow("exits at once") << QByteArray("exit 0\n") << false
                                       << QStringList{QStringLiteral("ended with exit code 0")};
        QTest::newRow("crashes at once")
            << QByteArray("crash\n") << false << QStringList{QStringLiteral("crashed")};
        QTest::newRow("crashes after a line")
            << QByteArray("err {now} ERR failed to dial to edge\ncrash\n") << false
            << QStringList{QStringLiteral("crashed"), QStringLiteral(": failed to dial to edge")};
        QTest::newRow("self-update before any address")
            << QByteArray("err {now} INF cloudflared has been updated version=2026.8.2\nexit 11\n")
            << false
            << QStringList{QStringLiteral("ended with exit code 11"),
                           QStringLiteral("cloudflared has been updated")};
        // As the OOM killer would.
        QTest::newRow("killed from outside")
            << QByteArray("wait\n") << true << QStringList{QStringLiteral("crashed")};
    }
    void toolEndingWithoutAddress_saysHowItEnded()
    {
        QFETCH(QByteArray, script);
        QFETCH(bool, killFromOutside);
        QFETCH(QStringList, told);
        const QString pidFile = path("pid");
        this->script("pidfile " + pidFile.toUtf8() + "\n" + script);

        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        if (killFromOutside) {
            QTRY_VERIFY(readPid(pidFile) > 0);
            QCOMPARE(::kill(static_cast<pid_t>(readPid(pidFile)), SIGKILL), 0);
        }
        QTRY_VERIFY(!m_model->loading());
        QVERIFY(m_model->tunnels().isEmpty());
        QCOMPARE(m_model->runningToolCount(), 0);
        for (const QString &part : told) {
            QVERIFY2(m_model->statusMessage().contains(part), qPrintable(m_model->statusMessage()));
        }
        QVERIFY(!QFile::exists(storePath()));

        verifyStillCreates();
    }

    void toolEndingAfterItsAddress_keepsTheTunnelAndSaysHow_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<bool>("killFromOutside");
        QTest::addColumn<bool>("crashed");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("crashes") << QStringLiteral("address-then-crash.script") << false << true
                                 << 0;
        QTest::newRow("self-update, exit 11")
            << QStringLiteral("self-update.script") << false << false << 11;
        QTest::newRow("killed from outside")
            << QStringLiteral("quick-tunnel.script") << true << true << 0;
    }
    void toolEndingAfterItsAddress_keepsTheTunnelAndSaysHow()
    {
        QFETCH(QString, transcript);
        QFETCH(bool, killFromOutside);
        QFETCH(bool, crashed);
        QFETCH(int, exitCode);
        const QString pidFile = path("pid");
        script("pidfile " + pidFile.toUtf8() + "\ninclude " + transcriptPath(transcript).toUtf8() +
               "\n");

        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        if (killFromOutside) {
            QCOMPARE(::kill(static_cast<pid_t>(readPid(pidFile)), SIGKILL), 0);
        }
        QTRY_COMPARE(m_model->runningToolCount(), 0);
        QTRY_VERIFY(!processExists(readPid(pidFile)));
        const Tunnel tunnel = m_model->tunnels().first();
        QTRY_COMPARE(m_model->activity(tunnel.id).state, TunnelState::Ended);

        // Nothing is lost: the record and its saved copy stay as they were announced.
        QCOMPARE(m_model->tunnels().size(), 1);
        QCOMPARE(tunnel.url, std::optional<QUrl>(QUrl(announcedAddress)));
        QVERIFY(!m_model->loading());
        QCOMPARE(m_model->readStoredTunnels(), std::optional<TunnelList>(m_model->tunnels()));

        // The address is dead now; the tunnel's own status line says how its tool ended.
        const TunnelActivity activity = m_model->activity(tunnel.id);
        QVERIFY(!activity.running);
        QCOMPARE(activity.crashed, crashed);
        if (!crashed) {
            QCOMPARE(activity.exitCode, exitCode);
        }

        verifyStillCreates();
    }

    void flood_keepsMemoryBoundedAndTheLoopAnswering()
    {
        // 200 MB of 160-byte debug lines, as fast as we read them.
        script("flood 209715200 160\n");
        qint64 ticksWhileFlooding = 0;
        QTimer ticker;
        ticker.setInterval(0);
        connect(&ticker, &QTimer::timeout, this, [this, &ticksWhileFlooding] {
            if (m_model->loading()) {
                ++ticksWhileFlooding;
            }
        });
        QVERIFY(resetPeakMemory());
        const qint64 before = processStatusKiB("VmHWM");
        QVERIFY(before > 0);

        ticker.start();
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->loading(), 120000);
        ticker.stop();

        const qint64 grownKiB = processStatusKiB("VmHWM") - before;
        qInfo("reading 200 MB: peak memory grew by %lld KiB, the loop ticked %lld times", grownKiB,
              ticksWhileFlooding);
        QVERIFY2(grownKiB < 50 * 1024, qPrintable(QString::number(grownKiB)));
        // Some thousands of pipe reads: a loop blocked by the reading would tick a handful of
        // times, not hundreds.
        QVERIFY2(ticksWhileFlooding >= 500, qPrintable(QString::number(ticksWhileFlooding)));
        QVERIFY(m_model->tunnels().isEmpty());
        QVERIFY2(m_model->statusMessage().contains(QStringLiteral("ended with exit code 0")),
                 qPrintable(m_model->statusMessage()));
        QVERIFY(m_model->statusMessage().contains(QStringLiteral("flood line=")));
    }

    void longLineWithoutNewline_isSurvived_data()
    {
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<bool>("announced");
        QTest::newRow("then the address") << announcement() + "wait\n" << true;
        QTest::newRow("then exit 1") << QByteArray("exit 1\n") << false;
    }
    void longLineWithoutNewline_isSurvived()
    {
        QFETCH(QByteArray, then);
        QFETCH(bool, announced);
        script("longline 10485760\n" + then);
        QVERIFY(resetPeakMemory());
        const qint64 before = processStatusKiB("VmHWM");

        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->loading(), 60000);

        const qint64 grownKiB = processStatusKiB("VmHWM") - before;
        QVERIFY2(grownKiB < 50 * 1024, qPrintable(QString::number(grownKiB)));
        if (announced) {
            QCOMPARE(m_model->tunnels().size(), 1);
            QCOMPARE(m_model->tunnels().first().url, std::optional<QUrl>(QUrl(announcedAddress)));
        } else {
            QVERIFY(m_model->tunnels().isEmpty());
            QVERIFY(m_model->statusMessage().contains(QStringLiteral("exit code 1")));
            // The line is quoted, but not all ten megabytes of it.
            QVERIFY2(m_model->statusMessage().size() < 1000,
                     qPrintable(QString::number(m_model->statusMessage().size())));
        }
    }

    void badEncoding_doesNotHideALaterAddress_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("invalid bytes") << QByteArray("raw \\xff\\xfe\\xc0\\x80 oops\\n\n");
        QTest::newRow("character split across writes")
            << QByteArray("raw caf\\xc3\nsleep 50\nraw \\xa9 fin\\n\n");
        QTest::newRow("truncated sequence at the end") << QByteArray("raw abc\\xe2\\x9c\n");
        QTest::newRow("NUL bytes and CR") << QByteArray("raw \\x00\\x00x\\r\\n\\r\n");
        QTest::newRow("encoded surrogate") << QByteArray("raw \\xed\\xa0\\x80\\n\n");
    }
    void badEncoding_doesNotHideALaterAddress()
    {
        QFETCH(QByteArray, before);
        // The pause keeps the bad bytes in a read of their own, as separate log lines would be.
        script(before + "sleep 100\n" + announcement() + "wait\n");
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        QCOMPARE(m_model->tunnels().first().url, std::optional<QUrl>(QUrl(announcedAddress)));
        QCOMPARE(m_model->runningToolCount(), 1);
    }

    void nonAsciiAroundTheAddress_takesJustTheAddress()
    {
        script("raw 2026-05-29T09:25:38Z INF |  \\xe2\\x9c\\x93 "
               "https://seasonal-deck-organisms-sf.trycloudflare.com \\xc3\\xa9\\xf0\\x9f\\x9a\\x80"
               "  |\\n\nwait\n");
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        QCOMPARE(m_model->tunnels().first().url, std::optional<QUrl>(QUrl(announcedAddress)));
    }
};

QTEST_GUILESS_MAIN(ToolFaultTest)
#include "ToolFaultTest.moc"
