// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Application.h"

#include "TestSupport.h"
#include "core/SecretStore.h"
#include "desktop/Autostart.h"
#include "gui/ContentView.h"
#include "gui/PreferencesDialog.h"
#include "gui/TunnelActions.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QProcess>
#include <QScopeGuard>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

// Starts two tools through the app's window: one that stops on SIGTERM, one that ignores it.
void startTools(Application &app, const QString &dir, QList<qint64> &pids)
{
    for (const bool obeys : {true, false}) {
        const QString pidFile =
            QDir(dir).filePath(obeys ? QStringLiteral("obeys.pid") : QStringLiteral("ignores.pid"));
        useScriptAt(pidFile + QStringLiteral(".script"),
                    QByteArray(obeys ? "on-term {now} INF Initiating graceful shutdown\n"
                                     : "ignore-term\n") +
                        "pidfile " + pidFile.toUtf8() + "\n" + announcement() + "wait\n");
        app.window()->model()->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 10000);
        pids.append(readPid(pidFile));
    }
}

Application::Options options(const QString &dir)
{
    static int count = 0;
    return {QStringLiteral("org.velumo.Test.p%1_%2")
                .arg(QCoreApplication::applicationPid())
                .arg(count++),
            standinPath(), QDir(dir).filePath(QStringLiteral("storedTunnels.json")),
            std::make_shared<MemorySecretStore>()};
}

} // namespace

// However the quit is asked for, the app stops every tool first; if it is killed, the kernel
// ends them.
class ApplicationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void quit_stopsEveryToolFirst_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("File > Quit") << QStringLiteral("action");
        QTest::newRow("window closed") << QStringLiteral("close");
        QTest::newRow("SIGTERM") << QStringLiteral("15");
        QTest::newRow("SIGHUP (logout)") << QStringLiteral("1");
    }
    void quit_stopsEveryToolFirst()
    {
        QFETCH(QString, how);
        QTemporaryDir dir;
        Application app(options(dir.path()));
        QVERIFY(app.start());
        QList<qint64> pids;
        startTools(app, dir.path(), pids);
        QSignalSpy ready(&app, &Application::readyToQuit);
        if (how == u"action") {
            app.window()->findChild<QAction *>(QStringLiteral("quitAction"))->trigger();
        } else if (how == u"close") {
            app.window()->close();
        } else {
            ::raise(how.toInt());
        }
        QTRY_VERIFY(app.isQuitting());
        QVERIFY(!app.window()->isVisible());
        // The one that ignores SIGTERM is killed after the grace period.
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
        for (const qint64 pid : pids) {
            QVERIFY(!processExists(pid));
        }
    }

    // Preferences' checkbox shows whether the login entry is there and changes it, clicked or
    // toggled by a screen reader; an entry that cannot be written is told, the choices kept.
    void startAtLogin_data()
    {
        QTest::addColumn<bool>("before");
        QTest::addColumn<bool>("click");
        QTest::addColumn<bool>("writable");
        QTest::newRow("clicked on") << false << true << true;
        QTest::newRow("toggled off") << true << false << true;
        QTest::newRow("toggled on, folder unwritable") << false << false << false;
    }
    void startAtLogin()
    {
        QFETCH(bool, before);
        QFETCH(bool, click);
        QFETCH(bool, writable);
        QTemporaryDir config;
        const QByteArray configHome = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", configHome); });
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        if (before) {
            QVERIFY(Autostart::setEnabled(true, QStringLiteral("/usr/bin/velumo")));
        }
        if (!writable) { // a file where the folder would go
            QVERIFY(writeFile(config.filePath(QStringLiteral("autostart")), "x"));
        }
        Application app(options(config.path()));
        QVERIFY(app.start());
        app.window()->findChild<QAction *>(QStringLiteral("preferencesAction"))->trigger();
        auto *dialog = app.window()->findChild<PreferencesDialog *>();
        QVERIFY(dialog && dialog->isVisible());
        auto *atLogin = dialog->findChild<QCheckBox *>(QStringLiteral("startAtLogin"));
        QCOMPARE(atLogin->accessibleName(), QStringLiteral("Start Velumo at login"));
        QCOMPARE(atLogin->isChecked(), before);
        dialog->findChild<QCheckBox *>(QStringLiteral("inspectByDefault"))->setChecked(true);
        if (click) {
            QTest::mouseClick(atLogin, Qt::LeftButton);
        } else {
            QAccessible::queryAccessibleInterface(atLogin)->actionInterface()->doAction(
                QAccessibleActionInterface::toggleAction());
        }
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();

        QCOMPARE(Autostart::isEnabled(), writable != before);
        QCOMPARE(dialog->isVisible(), !writable);
        QCOMPARE(atLogin->isChecked(), !before);
        QVERIFY(app.window()->model()->registry().defaults().inspect);
        const auto *problem = dialog->findChild<QLabel *>(QStringLiteral("preferencesProblem"));
        QCOMPARE(problem->isVisible(), !writable);
        if (!writable) {
            QVERIFY(problem->text().contains(Autostart::entryPath()));
        }
    }

    // A tunnel chosen to start with Velumo starts once the window is up, the others do not; the
    // choice, made in the row's menu, holds for the next start.
    void startWithVelumo()
    {
        QTemporaryDir dir;
        Tunnel chosen, other;
        chosen.port = QStringLiteral("3001");
        other.port = QStringLiteral("3002");
        QVERIFY(writeFile(dir.filePath(QStringLiteral("storedTunnels.json")),
                          encodeTunnels({chosen, other})));
        QVERIFY(writeFile(dir.filePath(QStringLiteral("tunnelOptions.json")),
                          "{\"" + uuidText(chosen.id).toUtf8() + "\": {\"startWithVelumo\": true}}"));
        useScriptAt(dir.filePath(QStringLiteral("script")), announcement() + "wait\n");
        for (const auto &[starts, waits] : {std::pair(chosen.id, other.id), {other.id, chosen.id}}) {
            Application app(options(dir.path()));
            QVERIFY(app.start());
            const TunnelRegistry &registry = app.window()->model()->registry();
            QTRY_VERIFY_WITH_TIMEOUT(registry.find(starts)->tunnel.url, 10000);
            QVERIFY(!registry.find(waits)->tunnel.loading);
            QVERIFY(!registry.runs().activity(waits).running);
            // Turned over for the next start.
            for (const QUuid &id : {starts, waits}) {
                QAction *choice = app.window()->actions()->action(id, TunnelActions::StartWithVelumo);
                QCOMPARE(choice->text(), QStringLiteral("Start with Velumo"));
                QCOMPARE(choice->isChecked(), id == starts);
                choice->trigger();
            }
            QSignalSpy ready(&app, &Application::readyToQuit);
            app.quit();
            QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
        }
    }

    void killedApp_leavesNoTool()
    {
        QTemporaryDir dir;
        QProcess app;
        app.setProcessChannelMode(QProcess::ForwardedChannels);
        app.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--run"), dir.path()});
        QList<qint64> pids;
        for (const char *name : {"obeys.pid", "ignores.pid"}) {
            const QString pidFile = QDir(dir.path()).filePath(QString::fromLatin1(name));
            QTRY_VERIFY_WITH_TIMEOUT(readPid(pidFile) > 0, 20000);
            pids.append(readPid(pidFile));
        }
        app.kill();
        QSignalSpy finished(&app, &QProcess::finished);
        QVERIFY(finished.wait(10000));
        for (const qint64 pid : pids) {
            QTRY_VERIFY(!processExists(pid));
        }
    }
};

int main(int argc, char **argv)
{
    QApplication qtApp(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--run") == 0) {
        // The app the killing test ends: started as a user would, with two tools.
        const QString dir = QString::fromLocal8Bit(argv[2]);
        Application app(options(dir));
        if (!app.start()) {
            return 1;
        }
        QList<qint64> pids;
        startTools(app, dir, pids);
        return QApplication::exec();
    }
    ApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ApplicationTest.moc"
