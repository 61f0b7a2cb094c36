// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"
#include "QuitSignals.h"
#include "ReliabilitySupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

// Past the default grace period, for tools that make us wait for it.
constexpr int stopTimeoutMs = 15000;

enum class ToolRole { Created, Restarted, Waiting };

// The tool's script: its signal handling is set up before it writes its pid, so a stop that
// follows the pid file meets the tool as configured.
QByteArray toolScript(const QString &pidFile, bool obeysTerm, bool announces)
{
    QByteArray script =
        obeysTerm ? "on-term {now} INF Initiating graceful shutdown\n" : "ignore-term\n";
    script += "pidfile " + QFile::encodeName(pidFile) + "\n";
    if (announces) {
        script += announcement();
    }
    return script + "wait\n";
}

QString pidFileOf(const QString &dir, ToolRole role)
{
    return QDir(dir).filePath(QStringLiteral("pid-%1").arg(static_cast<int>(role)));
}

// Starts one tool of each kind: a creation that gets its address, a restart of a stored tunnel
// that gets one, and a creation still waiting for its address.
void startTools(ContentModel &model, const QString &dir, bool obeysTerm, bool withWaiting)
{
    Tunnel stored;
    stored.hostname = QStringLiteral("stored");
    model.saveTunnels({stored});
    model.loadTunnels();

    const QDir folder(dir);
    useScriptAt(folder.filePath(QStringLiteral("created.script")),
                toolScript(pidFileOf(dir, ToolRole::Created), obeysTerm, true));
    model.createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
    useScriptAt(folder.filePath(QStringLiteral("restarted.script")),
                toolScript(pidFileOf(dir, ToolRole::Restarted), obeysTerm, true));
    model.restartTunnel(model.tunnels().first());
    if (withWaiting) {
        useScriptAt(folder.filePath(QStringLiteral("waiting.script")),
                    toolScript(pidFileOf(dir, ToolRole::Waiting), obeysTerm, false));
        model.createTunnel(QStringLiteral("localhost"), QStringLiteral("3001"));
    }
}

int announcedCount(const ContentModel &model)
{
    return static_cast<int>(
        std::count_if(model.tunnels().cbegin(), model.tunnels().cend(),
                      [](const Tunnel &tunnel) { return tunnel.url.has_value(); }));
}

} // namespace

// However the tools' end comes about, none of them outlives it.
class ToolLifetimeTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    // The pids of the tools startTools() started, once each has written its pid file.
    void readToolPids(bool withWaiting, QList<qint64> &pids)
    {
        QList<ToolRole> roles{ToolRole::Created, ToolRole::Restarted};
        if (withWaiting) {
            roles.append(ToolRole::Waiting);
        }
        for (ToolRole role : roles) {
            const QString pidFile = pidFileOf(m_dir->path(), role);
            QTRY_VERIFY(readPid(pidFile) > 0);
            pids.append(readPid(pidFile));
        }
    }

    static bool anyAlive(const QList<qint64> &pids)
    {
        return std::any_of(pids.cbegin(), pids.cend(), processExists);
    }
    static bool allAlive(const QList<qint64> &pids)
    {
        return std::all_of(pids.cbegin(), pids.cend(), processExists);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dir.reset(); }

    void noToolRemains_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("obeysTerm");
        for (const bool obeys : {true, false}) {
            const char *tool = obeys ? "tool obeys SIGTERM" : "tool ignores SIGTERM";
            for (const char *how : {"delete", "stop all", "quit", "owner killed"}) {
                QTest::addRow("%s, %s", how, tool) << QString::fromLatin1(how) << obeys;
            }
        }
    }
    void noToolRemains()
    {
        QFETCH(QString, how);
        QFETCH(bool, obeysTerm);
        const bool inProcess = how == QStringLiteral("delete") || how == QStringLiteral("stop all");
        // Deleting stops the tools serving the deleted tunnels; a creation still waiting serves
        // none yet.
        const bool withWaiting = how != QStringLiteral("delete");

        if (inProcess) {
            ContentModel model{TunnelStore(m_dir->filePath(QStringLiteral("stored.json")))};
            model.setToolPath(standinPath());
            startTools(model, m_dir->path(), obeysTerm, withWaiting);
            QList<qint64> pids;
            readToolPids(withWaiting, pids);
            QVERIFY(!QTest::currentTestFailed() && allAlive(pids));
            QTRY_COMPARE(announcedCount(model), 2);

            if (how == QStringLiteral("delete")) {
                const TunnelList listed = model.tunnels();
                for (const Tunnel &tunnel : listed) {
                    model.deleteTunnel(tunnel);
                }
                QVERIFY(model.tunnels().isEmpty());
                QTRY_VERIFY_WITH_TIMEOUT(!anyAlive(pids), stopTimeoutMs);
                QTRY_COMPARE(model.runningToolCount(), 0);
            } else {
                QSignalSpy stopped(&model, &ContentModel::toolsStopped);
                model.stopAllTools();
                QTRY_COMPARE_WITH_TIMEOUT(stopped.count(), 1, stopTimeoutMs);
                QCOMPARE(model.runningToolCount(), 0);
                QTRY_VERIFY(!anyAlive(pids));
            }
            return;
        }

        QProcess owner;
        QSignalSpy finished(&owner, &QProcess::finished);
        owner.setProcessChannelMode(QProcess::ForwardedChannels);
        owner.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--own-tools"), m_dir->path(),
                     obeysTerm ? QStringLiteral("obeys") : QStringLiteral("ignores")});
        QList<qint64> pids;
        readToolPids(withWaiting, pids);
        QVERIFY(!QTest::currentTestFailed() && allAlive(pids));

        if (how == QStringLiteral("quit")) {
            // As on logout: the app stops its tools in order, then exits normally.
            QCOMPARE(::kill(static_cast<pid_t>(owner.processId()), SIGTERM), 0);
            QVERIFY(finished.wait(stopTimeoutMs));
            QCOMPARE(owner.exitStatus(), QProcess::NormalExit);
            QCOMPARE(owner.exitCode(), 0);
        } else {
            owner.kill();
            QVERIFY(finished.wait(stopTimeoutMs));
            QCOMPARE(owner.exitStatus(), QProcess::CrashExit);
        }
        QTRY_VERIFY(!anyAlive(pids));
    }
};

// The owning app for the cases that end it from outside: it starts the tools and quits in order
// on SIGTERM, as the app does.
static int ownerMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    const bool obeysTerm = qstrcmp(argv[3], "obeys") == 0;
    QuitSignals quitSignals;
    ContentModel model{TunnelStore(QDir(dir).filePath(QStringLiteral("stored.json")))};
    model.setToolPath(standinPath());
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &model,
                     [&model] { model.stopAllTools(); });
    QObject::connect(&model, &ContentModel::toolsStopped, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    startTools(model, dir, obeysTerm, true);
    return QCoreApplication::exec();
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--own-tools") == 0) {
        return ownerMain(argc, argv);
    }
    QCoreApplication app(argc, argv);
    ToolLifetimeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ToolLifetimeTest.moc"
