// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Application.h"

#include "TestSupport.h"
#include "core/ContentModel.h"
#include "core/SecretStore.h"
#include "gui/ContentView.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace Velumo;
using namespace Velumo::Testing;
using namespace Qt::StringLiterals;

namespace {

const QString appId = u"org.velumo.Velumo"_s;

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs `velumo <arguments>` as a script would, waiting on the event loop (the app under test
// answers from this thread).
Run velumo(const QStringList &arguments, const QProcessEnvironment &environment = {})
{
    QProcess process;
    if (!environment.isEmpty()) {
        process.setProcessEnvironment(environment);
    }
    process.start(QStringLiteral(VELUMO_EXECUTABLE), arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)) {
        process.kill();
        (void)QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; });
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().trimmed(), process.readAllStandardError()};
}

} // namespace

// velumo's commands against the running app on a private session bus, with the stand-in tool.
class ScriptingTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(QDBusConnection::sessionBus().isConnected()); }

    // With no Velumo running, a command starts one in the background and uses it.
    void share_startsVelumoWhenNoneRuns()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(u"bin"_s));
        QVERIFY(QFile::link(standinPath(), dir.filePath(u"bin/cloudflared"_s)));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"PATH"_s, dir.filePath(u"bin"_s) + u':' + environment.value(u"PATH"_s));
        environment.insert(u"XDG_CONFIG_HOME"_s, dir.path());
        environment.insert(u"VELUMO_STANDIN_SCRIPT"_s, transcriptPath(u"quick-tunnel.script"_s));

        const Run shared = velumo({u"share"_s, u"3000"_s}, environment);
        QCOMPARE(shared.exitCode, 0);
        QCOMPARE(shared.out, announcedAddress.toUtf8());

        // The background copy quits in order on SIGTERM, its tool with it.
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        const uint pid = bus->servicePid(appId);
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid_t(pid), SIGTERM) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(appId).value(), 15000);
    }

    void commands_againstRunningApp()
    {
        QTemporaryDir dir;
        Application app({appId, standinPath(), dir.filePath(u"storedTunnels.json"_s),
                         std::make_shared<MemorySecretStore>()});
        QVERIFY(app.start());
        ContentModel *model = app.window()->model();
        useTranscript(u"quick-tunnel.script"_s);

        const Run shared = velumo({u"share"_s, u"localhost:3000"_s, u"--json"_s});
        QCOMPARE(shared.exitCode, 0);
        const QJsonObject result = QJsonDocument::fromJson(shared.out).object();
        QCOMPARE(result.value(u"address"_s).toString(), announcedAddress);
        QCOMPARE(model->tunnels().size(), 1);
        QCOMPARE(result.value(u"id"_s).toString(),
                 model->tunnels().first().id.toString(QUuid::WithoutBraces));

        const Run listed = velumo({u"list"_s, u"--json"_s});
        QCOMPARE(listed.exitCode, 0);
        const QJsonArray tunnels = QJsonDocument::fromJson(listed.out).array();
        QCOMPARE(tunnels.size(), 1);
        const QJsonObject tunnel = tunnels.first().toObject();
        QCOMPARE(tunnel.value(u"id"_s), result.value(u"id"_s));
        QCOMPARE(tunnel.value(u"state"_s).toString(), u"connected"_s);
        QCOMPARE(tunnel.value(u"running"_s).toBool(), true);
        QCOMPARE(tunnel.value(u"startWithVelumo"_s).toBool(), false);
        QDBusMessage choose = QDBusMessage::createMethodCall(
            appId, u"/org/velumo/Velumo"_s, u"org.velumo.Velumo1"_s, u"SetStartWithVelumo"_s);
        choose << tunnel.value(u"id"_s).toString() << true;
        QDBusPendingCallWatcher chosen(QDBusConnection::sessionBus().asyncCall(choose));
        QTRY_VERIFY(chosen.isFinished());
        QVERIFY(!chosen.isError());
        QVERIFY(model->registry().choices(model->tunnels().first().id).startWithVelumo);

        QCOMPARE(velumo({u"stop"_s, announcedAddress}).exitCode, 0);
        QTRY_COMPARE(model->runningToolCount(), 0);

        // Each failure with its exit status and a reason.
        const struct {
            QStringList arguments;
            int exitCode;
        } failures[] = {
            {{u"share"_s, u"70000"_s}, 2},
            {{u"frobnicate"_s}, 2},
            {{u"stop"_s, u"no-such-tunnel"_s}, 6},
            {{u"delete"_s, u"localhost:9"_s}, 6},
        };
        for (const auto &failure : failures) {
            const Run run = velumo(failure.arguments);
            QCOMPARE(run.exitCode, failure.exitCode);
            QVERIFY2(run.err.startsWith("velumo: "), run.err.constData());
        }
        useTranscript(u"no-network.script"_s);
        const Run failed = velumo({u"share"_s, u"3001"_s});
        QCOMPARE(failed.exitCode, 4);
        QVERIFY(!failed.err.isEmpty());

        model->setToolPath(dir.filePath(u"missing/cloudflared"_s));
        QCOMPARE(velumo({u"share"_s, u"3002"_s}).exitCode, 3);

        // Choices for this tunnel alone; its password reaches the script that asked, never
        // List().
        model->setToolPath(standinPath());
        useTranscript(u"quick-tunnel.script"_s);
        const Run guarded = velumo({u"share"_s, u"3003"_s, u"--password"_s, u"--inspect"_s,
                                    u"--host-header"_s, u"--json"_s});
        QCOMPARE(guarded.exitCode, 0);
        const QJsonObject secret = QJsonDocument::fromJson(guarded.out).object();
        const QString password = secret.value(u"password"_s).toString();
        QVERIFY(password.size() >= 8);
        QVERIFY(secret.value(u"linkWithKey"_s).toString().startsWith(announcedAddress));
        const Run after = velumo({u"list"_s, u"--json"_s});
        QVERIFY(!after.out.contains(password.toUtf8()));
        for (const QJsonValue listed : QJsonDocument::fromJson(after.out).array()) {
            if (listed[u"id"_s] == secret.value(u"id"_s)) {
                QVERIFY(listed[u"password"_s].toBool() && listed[u"inspect"_s].toBool() &&
                        listed[u"hostHeader"_s].toBool());
            }
        }
        QCOMPARE(velumo({u"delete"_s, secret.value(u"id"_s).toString()}).exitCode, 0);

        QCOMPARE(velumo({u"delete"_s, u"localhost:3000"_s}).exitCode, 0);
        QTRY_VERIFY(model->tunnels().isEmpty());
    }
};

QTEST_MAIN(ScriptingTest)
#include "ScriptingTest.moc"
