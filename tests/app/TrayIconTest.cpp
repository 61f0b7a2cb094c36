// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/TrayIcon.h"

#include "TestSupport.h"
#include "app/Application.h"
#include "core/SecretStore.h"
#include "gui/ContentView.h"

#include <QAction>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMenu>
#include <QProcess>
#include <QThread>

#include <cstdio>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

namespace {

// The desktop's tray host as far as Qt asks: one is registered, and items register with it.
// Qt asks while blocking the main thread, so it answers from a thread of its own.
class Watcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

public:
    bool isHostRegistered() const { return true; }

Q_SIGNALS:
    void itemRegistered(const QString &service);

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { Q_EMIT itemRegistered(service); }
};

std::unique_ptr<Application> makeApp(const QString &dir, bool background = false)
{
    return std::make_unique<Application>(Application::Options{
        u"org.velumo.Test.p%1"_s.arg(QCoreApplication::applicationPid()), standinPath(),
        QDir(dir).filePath(u"storedTunnels.json"_s), std::make_shared<MemorySecretStore>(),
        background});
}

} // namespace

// Each case runs in a process of its own under Xvfb, on a private bus: Qt decides once per
// process whether the desktop has a tray.
class TrayIconTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QThread m_watcherThread;
    // The tray item's bus name, as it registered.
    QString m_item;
    std::unique_ptr<Application> m_app;
    int m_tools = 0;

    void registerTrayHost()
    {
        auto *watcher = new Watcher;
        watcher->moveToThread(&m_watcherThread);
        connect(&m_watcherThread, &QThread::finished, watcher, &QObject::deleteLater);
        connect(watcher, &Watcher::itemRegistered, this,
                [this](const QString &service) { m_item = service; });
        m_watcherThread.start();
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watcher"_s);
        QVERIFY(bus.registerObject(u"/StatusNotifierWatcher"_s, watcher,
                                   QDBusConnection::ExportAllSlots |
                                       QDBusConnection::ExportAllProperties));
        QVERIFY(bus.registerService(u"org.kde.StatusNotifierWatcher"_s));
    }

    void startApp(bool trayHost)
    {
        if (trayHost) {
            registerTrayHost();
        }
        m_app = makeApp(m_dir.path());
        QVERIFY(m_app->start());
        // The window icon and the tray come together, after the first frame.
        QTRY_VERIFY(!QApplication::windowIcon().isNull());
        QCOMPARE(m_app->tray() != nullptr, trayHost);
        QTRY_VERIFY(!trayHost || !m_item.isEmpty());
    }

    // Starts the stand-in tool through the model, or through `action`; returns its pid.
    qint64 startTool(QAction *action = nullptr, bool announces = true)
    {
        const QString pidFile = m_dir.filePath(u"tool%1.pid"_s.arg(++m_tools));
        useScriptAt(pidFile + u".script"_s, "pidfile " + pidFile.toUtf8() + "\n" +
                                                (announces ? announcement() : QByteArray()) +
                                                "wait\n");
        if (action) {
            action->trigger();
        } else {
            m_app->window()->model()->createTunnel(u"localhost"_s, u"3000"_s);
        }
        return QTest::qWaitFor([&] { return readPid(pidFile) > 0; }, 10000) ? readPid(pidFile) : 0;
    }

    // The action shown titled `text` in the tray's menu, or in the submenu titled `entry`.
    QAction *trayAction(const QString &text, const QString &entry = {}) const
    {
        const auto titled = [](const QMenu *menu, const QString &title) -> QAction * {
            const QList<QAction *> actions = menu ? menu->actions() : QList<QAction *>();
            const auto found = std::ranges::find_if(actions, [&title](const QAction *action) {
                return action->isVisible() && action->text() == title;
            });
            return found == actions.cend() ? nullptr : *found;
        };
        const QMenu *menu = m_app->tray()->contextMenu();
        if (!entry.isEmpty()) {
            const QAction *submenu = titled(menu, entry);
            menu = submenu ? submenu->menu() : nullptr;
        }
        return titled(menu, text);
    }

    // The icon's tooltip as a tray host reads it over the bus.
    QString toolTip() const
    {
        QDBusMessage get = QDBusMessage::createMethodCall(
            m_item, u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
        get << u"org.kde.StatusNotifierItem"_s << u"ToolTip"_s;
        const QDBusPendingReply<QDBusVariant> reply = QDBusConnection::sessionBus().asyncCall(get);
        // The item answers from this thread: wait on the event loop.
        if (!QTest::qWaitFor([&reply] { return reply.isFinished(); }, 5000) || reply.isError()) {
            return {};
        }
        // (sa(iiay)ss): icon name, icon pixmaps, title, description.
        const auto tip = qvariant_cast<QDBusArgument>(reply.value().variant());
        QString title;
        tip.beginStructure();
        tip.asVariant();
        tip.asVariant();
        tip >> title;
        tip.endStructure();
        return title;
    }

private Q_SLOTS:
    void cleanup()
    {
        m_app.reset();
        // A creation still waiting for its tool's output returns once the loop runs again.
        QCoreApplication::processEvents();
        m_watcherThread.quit();
        QTRY_VERIFY(!m_watcherThread.isRunning());
    }

    void toolTip_countsRunningTools()
    {
        startApp(true);
        const QString idle = toolTip();
        QVERIFY(!idle.isEmpty());
        // A creation still waiting for its address counts: its tool runs.
        QVERIFY(startTool(nullptr, false) > 0);
        QTRY_VERIFY(toolTip() != idle && toolTip().contains(u'1'));
    }

    void closeWindow_data()
    {
        QTest::addColumn<bool>("trayHost");
        QTest::addColumn<bool>("toolRuns");
        QTest::addColumn<bool>("keepRunning");
        QTest::addColumn<bool>("hides");
        QTest::newRow("hides") << true << true << true << true;
        QTest::newRow("noTrayHost") << false << true << true << false;
        QTest::newRow("noTool") << true << false << true << false;
        QTest::newRow("settingOff") << true << true << false << false;
    }
    // The window hides and the tunnels run on only while the tray leads back to them and the
    // user wants it.
    void closeWindow()
    {
        QFETCH(bool, trayHost);
        QFETCH(bool, toolRuns);
        QFETCH(bool, keepRunning);
        QFETCH(bool, hides);
        startApp(trayHost);
        const qint64 pid = toolRuns ? startTool() : 0;
        QVERIFY(pid > 0 || !toolRuns);
        auto *keep = m_app->window()->findChild<QAction *>(u"keepRunningAction"_s);
        QVERIFY(keep->isChecked());
        keep->setChecked(keepRunning);
        QSignalSpy ready(m_app.get(), &Application::readyToQuit);
        m_app->window()->close();
        QVERIFY(!m_app->window()->isVisible());
        QCOMPARE(m_app->isQuitting(), !hides);
        if (hides) {
            QCOMPARE(m_app->window()->model()->runningToolCount(), 1);
            trayAction(u"Show Velumo"_s)->trigger();
            QVERIFY(m_app->window()->isVisible());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
            QVERIFY(!processExists(pid));
        }
        if (!keepRunning) {
            // Saved at once with the user's settings, the choice holds for the next run.
            const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
            QVERIFY(QFile::exists(config + u"/velumo/velumo.conf"_s));
            QProcess next;
            next.start(QCoreApplication::applicationFilePath(), {u"--next-run"_s, m_dir.path()});
            QSignalSpy finished(&next, &QProcess::finished);
            QVERIFY(finished.wait(20000));
            QCOMPARE(next.readAllStandardOutput(), "off\n");
        }
    }

    // Started at login before the desktop's tray host, the app waits for it: the tray icon
    // then, and no window.
    // A tunnel chosen to start with Velumo waits for the tray too.
    void background_waitsForTrayHost()
    {
        const Tunnel chosen;
        QVERIFY(writeFile(m_dir.filePath(u"storedTunnels.json"_s), encodeTunnels({chosen})));
        QVERIFY(writeFile(m_dir.filePath(u"tunnelOptions.json"_s),
                          "{\"" + uuidText(chosen.id).toUtf8() + "\": {\"startWithVelumo\": true}}"));
        useScriptAt(m_dir.filePath(u"script"_s), announcement() + "wait\n");
        m_app = makeApp(m_dir.path(), true);
        QVERIFY(m_app->start());
        const TunnelRegistry &registry = m_app->window()->model()->registry();
        QTimer::singleShot(2000, this, [&] {
            QVERIFY(!registry.runs().activity(chosen.id).running);
            registerTrayHost();
        });
        QTRY_VERIFY_WITH_TIMEOUT(m_app->tray(), 10000);
        QTRY_VERIFY(!m_item.isEmpty());
        QVERIFY(!m_app->window()->isVisible());
        QTRY_VERIFY(registry.find(chosen.id)->tunnel.url);
    }

    // Each listed tunnel has an entry: Stop ends its tool, Restart starts one, Quit ends all.
    void menu_stopsRestartsAndQuits()
    {
        startApp(true);
        const qint64 first = startTool();
        QVERIFY(first > 0);
        QTRY_VERIFY(trayAction(u"Stop tunnel"_s, announcedAddress));
        QVERIFY(trayAction(u"Copy address"_s, announcedAddress));
        trayAction(u"Stop tunnel"_s, announcedAddress)->trigger();
        QTRY_VERIFY(!processExists(first));
        // Stopped, it has no address and is titled by the local service.
        QTRY_VERIFY(trayAction(u"Restart tunnel"_s, u"localhost:3000"_s));
        const qint64 second = startTool(trayAction(u"Restart tunnel"_s, u"localhost:3000"_s));
        QVERIFY(second > 0);
        QSignalSpy ready(m_app.get(), &Application::readyToQuit);
        trayAction(u"Quit"_s)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 15000);
        QVERIFY(!processExists(second));
    }
};

int main(int argc, char **argv)
{
    // The next run (--next-run <folder>) shares the settings of the test that starts it.
    const bool nextRun = argc == 3 && qstrcmp(argv[1], "--next-run") == 0;
    QTemporaryDir config;
    if (!nextRun) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    }
    QApplication qtApp(argc, argv);
    if (nextRun) {
        const std::unique_ptr<Application> app = makeApp(QString::fromLocal8Bit(argv[2]));
        if (!app->start()) {
            return 1;
        }
        const auto *keep = app->window()->findChild<QAction *>(u"keepRunningAction"_s);
        std::printf("%s\n", keep->isChecked() ? "on" : "off");
        return 0;
    }
    TrayIconTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TrayIconTest.moc"
