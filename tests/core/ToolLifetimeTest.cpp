// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ContentModel.h"

#include "TestSupport.h"

using namespace Velumo;
using namespace Velumo::Testing;

// Deleting tunnels or stopping every tool leaves no tool behind, even one that ignores SIGTERM.
// (Quitting and a killed app: tests/app.)
class ToolLifetimeTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void noToolRemains_data()
    {
        QTest::addColumn<bool>("deleting");
        QTest::addColumn<bool>("obeysTerm");
        for (const bool obeys : {true, false}) {
            const char *tool = obeys ? "tool obeys SIGTERM" : "tool ignores SIGTERM";
            QTest::addRow("delete, %s", tool) << true << obeys;
            QTest::addRow("stop all, %s", tool) << false << obeys;
        }
    }
    void noToolRemains()
    {
        QFETCH(bool, deleting);
        QFETCH(bool, obeysTerm);
        Tunnel stored;
        loadStored({stored});
        // A creation that gets its address, a restart that gets one, and (unless deleting,
        // which stops only tools serving a deleted tunnel) a creation still waiting.
        QList<qint64> pids;
        for (int i = 0; i < (deleting ? 2 : 3); ++i) {
            const QString pidFile = m_dir->filePath(QStringLiteral("pid%1").arg(i));
            script(QByteArray(obeysTerm ? "on-term {now} INF Initiating graceful shutdown\n"
                                        : "ignore-term\n") +
                       "pidfile " + pidFile.toUtf8() + "\n" +
                       (i < 2 ? announcement() : QByteArray()) + "wait\n",
                   QStringLiteral("script%1").arg(i));
            if (i == 1) {
                m_model->restartTunnel(m_model->tunnels().first());
            } else {
                m_model->createTunnel(QStringLiteral("localhost"), QString::number(3000 + i));
            }
            QTRY_VERIFY(readPid(pidFile) > 0);
            pids.append(readPid(pidFile));
        }
        QTRY_VERIFY(m_model->tunnels().size() == 2 && m_model->tunnels().last().url &&
                    m_model->tunnels().first().url);

        QSignalSpy stopped(m_model.get(), &ContentModel::toolsStopped);
        if (deleting) {
            const TunnelList listed = m_model->tunnels();
            for (const Tunnel &tunnel : listed) {
                m_model->deleteTunnel(tunnel);
            }
        } else {
            m_model->stopAllTools();
        }
        // Past the five-second grace when SIGTERM is ignored.
        QTRY_VERIFY_WITH_TIMEOUT(m_model->runningToolCount() == 0, 15000);
        QCOMPARE(stopped.count(), deleting ? 0 : 1);
        for (const qint64 pid : pids) {
            QTRY_VERIFY(!processExists(pid));
        }
    }
};

QTEST_GUILESS_MAIN(ToolLifetimeTest)
#include "ToolLifetimeTest.moc"
