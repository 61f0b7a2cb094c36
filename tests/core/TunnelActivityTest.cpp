// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"
#include "TestSupport.h"
#include "ToolLog.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Velumo;
using namespace Velumo::Testing;

Q_DECLARE_METATYPE(Velumo::TunnelState)

class TunnelActivityTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private:
    // A stored, stopped tunnel to restart.
    Tunnel storedTunnel(const QString &hostname, const QString &port)
    {
        Tunnel tunnel;
        tunnel.hostname = hostname;
        tunnel.port = port;
        writeStore(encodeTunnels({tunnel}));
        m_model->loadTunnels();
        return tunnel;
    }

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void state_followsTheToolsOutputAndExit_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<TunnelState>("state");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");
        QTest::newRow("connects") << QStringLiteral("quick-tunnel.script") << TunnelState::Connected
                                  << 0 << false;
        QTest::newRow("self-update")
            << QStringLiteral("self-update.script") << TunnelState::Ended << 11 << false;
        QTest::newRow("edge unreachable")
            << QStringLiteral("edge-unreachable.script") << TunnelState::Ended << 1 << false;
        QTest::newRow("crash after the address")
            << QStringLiteral("address-then-crash.script") << TunnelState::Ended << 0 << true;
    }
    void state_followsTheToolsOutputAndExit()
    {
        QFETCH(QString, transcript);
        QFETCH(TunnelState, state);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);
        useTranscript(transcript);
        QSignalSpy ready(m_model.get(), &ContentModel::tunnelReady);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(ready.count(), 1);
        const QUuid id = m_model->tunnels().first().id;
        QTRY_COMPARE(m_model->activity(id).state, state);
        const TunnelActivity activity = m_model->activity(id);
        QCOMPARE(activity.running, state == TunnelState::Connected);
        if (state == TunnelState::Ended) {
            QCOMPARE(activity.crashed, crashed);
            if (!crashed) {
                QCOMPARE(activity.exitCode, exitCode);
            }
            // The status line says so too: the listed address no longer answers.
            QVERIFY2(m_model->statusMessage().startsWith(
                         QStringLiteral("The tunnel to localhost:3000 ended")),
                     qPrintable(m_model->statusMessage()));
        }
        QVERIFY(activity.log);
        QVERIFY(
            activity.log->commandLine().endsWith(QStringLiteral("tunnel --url localhost:3000")));
        QVERIFY(activity.log->lines().join(u'\n').contains(QStringLiteral("trycloudflare.com")));
    }

    void restart_goesThroughStartingAndCanFailToStart()
    {
        const Tunnel tunnel = storedTunnel(QStringLiteral("h"), QStringLiteral("1"));
        QCOMPARE(m_model->activity(tunnel.id).state, TunnelState::Idle);
        useScript(*m_dir, QStringLiteral("script"), "wait\n");
        m_model->restartTunnel(tunnel);
        QCOMPARE(m_model->activity(tunnel.id).state, TunnelState::Starting);
        m_model->stopTunnel(m_model->tunnels().first());
        QCOMPARE(m_model->activity(tunnel.id).state, TunnelState::Stopped);

        m_model->setToolPath(QStringLiteral("/nonexistent/cloudflared"));
        StdoutCapture capture;
        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_COMPARE(m_model->activity(tunnel.id).state, TunnelState::FailedToStart);
        QVERIFY(!m_model->activity(tunnel.id).running);
    }

    void stop_endsTheToolAndClearsTheAddressWithoutSaving()
    {
        const Tunnel stored = storedTunnel(QStringLiteral("h"), QStringLiteral("1"));
        const QByteArray before = storedBytes();
        const QString pidFile = m_dir->filePath(QStringLiteral("pid"));
        useScript(*m_dir, QStringLiteral("script"),
                  "pidfile " + pidFile.toUtf8() +
                      "\non-term INF Initiating graceful shutdown\n"
                      "err INF |  https://a-b-c.trycloudflare.com  |\nwait\n");
        m_model->restartTunnel(stored);
        QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        QVERIFY(m_model->activity(stored.id).running);
        QFile file(pidFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const qint64 pid = file.readAll().trimmed().toLongLong();

        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        m_model->stopTunnel(m_model->tunnels().first());
        QCOMPARE(changes.count(), 1);
        QVERIFY(!m_model->tunnels().first().url);
        QVERIFY(!m_model->tunnels().first().loading);
        QTRY_VERIFY(!processExists(pid));
        QCOMPARE(m_model->activity(stored.id).state, TunnelState::Stopped);
        QVERIFY(!m_model->activity(stored.id).running);
        QCOMPARE(storedBytes(), before);
        QCOMPARE(m_model->tunnels().size(), 1);
    }

    void log_staysBounded_data()
    {
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<int>("lineCount");
        QTest::addColumn<QString>("lastLine");
        QStringList flood;
        for (int i = 0; i < 2500; ++i) {
            flood.append(QStringLiteral("line %1\n").arg(i));
        }
        QTest::newRow("flood keeps the last 1000") << flood << 1000 << QStringLiteral("line 2499");
        QTest::newRow("line across chunks")
            << QStringList{QStringLiteral("first ha"), QStringLiteral("lf\nsecond\n")} << 2
            << QStringLiteral("second");
        QTest::newRow("unfinished last line")
            << QStringList{QStringLiteral("done\nstill writ")} << 2 << QStringLiteral("still writ");
        const QString huge(3 * ToolLog::maxLineLength, u'x');
        QTest::newRow("long line cut, even across chunks")
            << QStringList{huge, huge, QStringLiteral("\nnext\n")} << 2 << QStringLiteral("next");
    }
    void log_staysBounded()
    {
        QFETCH(QStringList, chunks);
        QFETCH(int, lineCount);
        QFETCH(QString, lastLine);
        ToolLog log(QStringLiteral("cloudflared tunnel --url localhost:3000"));
        for (const QString &chunk : chunks) {
            log.append(chunk);
        }
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), lineCount);
        QCOMPARE(lines.last(), lastLine);
        for (const QString &line : lines) {
            QVERIFY(line.size() <= ToolLog::maxLineLength + 8);
        }
    }

    void serviceCheck_warnsWhenNothingListens()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString port = QString::number(probe.serverPort());
        probe.close();

        const Tunnel tunnel = storedTunnel(QStringLiteral("127.0.0.1"), port);
        useScript(*m_dir, QStringLiteral("script"), "wait\n");
        QSignalSpy changed(m_model.get(), &ContentModel::serviceListeningChanged);
        m_model->restartTunnel(tunnel);
        QTRY_COMPARE(m_model->serviceListening(tunnel.id), std::optional<bool>(false));

        // The service comes up: the next periodic check clears the warning.
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost, quint16(port.toUInt())));
        QTRY_VERIFY_WITH_TIMEOUT(m_model->serviceListening(tunnel.id) == std::optional<bool>(true),
                                 15000);
        QVERIFY(changed.count() >= 2);

        m_model->stopTunnel(m_model->tunnels().first());
        QCOMPARE(m_model->serviceListening(tunnel.id), std::optional<bool>());
    }

    void create_withNothingListening_saysSoAtOnce()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString port = QString::number(probe.serverPort());
        probe.close();
        useScript(*m_dir, QStringLiteral("script"), "wait\n");
        m_model->createTunnel(QStringLiteral("127.0.0.1"), port);
        QTRY_VERIFY(m_model->statusMessage().contains(
            QStringLiteral("Nothing is listening on 127.0.0.1:") + port));
    }
};

QTEST_GUILESS_MAIN(TunnelActivityTest)
#include "TunnelActivityTest.moc"
