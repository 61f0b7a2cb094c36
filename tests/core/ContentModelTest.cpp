// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

const QString firstAddress = announcedAddress;

Tunnel storedTunnel(const QString &hostname, const QString &port, bool loading = false)
{
    Tunnel tunnel;
    tunnel.url = QUrl(firstAddress);
    tunnel.hostname = hostname;
    tunnel.port = port;
    tunnel.loading = loading;
    return tunnel;
}

} // namespace

class ContentModelTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void newModel_touchesNothing()
    {
        writeStore("not json");
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        ContentModel fresh{TunnelStore(storePath())};
        QVERIFY(fresh.tunnels().isEmpty());
        QVERIFY(!fresh.loading());
        QCOMPARE(fresh.runningToolCount(), 0);
        QCOMPARE(storedBytes(), QByteArray("not json"));
        QCOMPARE(changes.count(), 0);
    }

    void create_recordsTheAnnouncedAddressAndSaves()
    {
        useTranscript(QStringLiteral("quick-tunnel.script"));
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QVERIFY(m_model->loading());
        QCOMPARE(changes.count(), 1);

        QTRY_COMPARE(m_model->tunnels().size(), 1);
        QVERIFY(!m_model->loading());
        QCOMPARE(changes.count(), 3); // loading on, append, loading off
        const Tunnel tunnel = m_model->tunnels().first();
        QCOMPARE(tunnel.url, std::optional<QUrl>(QUrl(firstAddress)));
        QCOMPARE(tunnel.hostname, QStringLiteral("localhost"));
        QCOMPARE(tunnel.port, QStringLiteral("3000"));
        QVERIFY(!tunnel.loading);
        QCOMPARE(storedBytes(),
                 "[{\"id\":\"" + uuidText(tunnel.id).toUtf8() +
                     "\",\"url\":\"https:\\/\\/seasonal-deck-organisms-sf.trycloudflare.com\","
                     "\"hostname\":\"localhost\",\"port\":\"3000\",\"loading\":false}]");
        // A finished creation leaves its tool serving the tunnel.
        QCOMPARE(m_model->runningToolCount(), 1);
    }

    void create_twoAnnouncementsMakeTwoRecords()
    {
        script(announcement(firstAddress) + "sleep 200\n" +
               announcement(QStringLiteral("https://other-words-here.trycloudflare.com")) +
               "wait\n");
        m_model->createTunnel(QStringLiteral("h"), QStringLiteral("1"));
        QTRY_COMPARE(m_model->tunnels().size(), 2);
        QVERIFY(m_model->tunnels().at(0).id != m_model->tunnels().at(1).id);
        QCOMPARE(decodeTunnels(storedBytes()), std::optional<TunnelList>(m_model->tunnels()));
    }

    void create_withoutAddress_givesTheFormBackAndSaysWhy_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<QString>("message");
        QTest::newRow("no network") << QStringLiteral("no-network.script")
                                    << QStringLiteral("failed to request quick Tunnel");
        QTest::newRow("silent exit")
            << QStringLiteral("silent-exit.script") << QStringLiteral("exit code 0");
        QTest::newRow("rate limited")
            << QStringLiteral("rate-limited.script") << QStringLiteral("exit code 1");
    }
    void create_withoutAddress_givesTheFormBackAndSaysWhy()
    {
        QFETCH(QString, transcript);
        QFETCH(QString, message);
        useTranscript(transcript);
        QSignalSpy status(m_model.get(), &ContentModel::statusMessageChanged);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QVERIFY(m_model->loading());
        QTRY_VERIFY(!m_model->loading());
        QVERIFY(m_model->tunnels().isEmpty());
        // The reason the tool gave is what the status line ends with.
        QVERIFY(status.count() >= 1);
        QTRY_VERIFY2(m_model->statusMessage().contains(message),
                     qPrintable(m_model->statusMessage()));
        QVERIFY(!QFile::exists(storePath()));
    }

    void create_failedCreation_keepsFormBusyWhileAnotherWaits()
    {
        // Separate scripts: a tool reads its script only once it runs.
        useScript(*m_dir, QStringLiteral("fails"), "sleep 300\nexit 1\n");
        m_model->createTunnel(QStringLiteral("a"), QStringLiteral("1"));
        useScript(*m_dir, QStringLiteral("waits"), "wait\n");
        m_model->createTunnel(QStringLiteral("b"), QStringLiteral("2"));
        QTRY_COMPARE(m_model->runningToolCount(), 1);
        QVERIFY(m_model->loading());
    }

    void create_missingTool_saysWhereItLooked_data()
    {
        QTest::addColumn<QString>("toolPath");
        QTest::addColumn<QString>("message");
        QTest::newRow("nowhere") << QString() << QStringLiteral("cloudflared was not found");
        QTest::newRow("bad path") << QStringLiteral("/nonexistent/cloudflared")
                                  << QStringLiteral("Could not start cloudflared");
    }
    void create_missingTool_saysWhereItLooked()
    {
        QFETCH(QString, toolPath);
        QFETCH(QString, message);
        m_model->setToolPath(toolPath);
        StdoutCapture capture;
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY(!m_model->loading());
        capture.restore();
        QVERIFY2(m_model->statusMessage().startsWith(message),
                 qPrintable(m_model->statusMessage()));
        QCOMPARE(capture.text().count('\n'), 1);
    }

    void restart_setsTheAddressOnTheSameRecordWithoutSaving()
    {
        const Tunnel stored = storedTunnel(QStringLiteral("localhost"), QStringLiteral("8080"));
        const QByteArray bytes =
            encodeTunnels({storedTunnel(QStringLiteral("x"), QStringLiteral("1")), stored});
        writeStore(bytes);
        m_model->loadTunnels();
        QCOMPARE(m_model->tunnels().size(), 2);
        QVERIFY(!m_model->tunnels().at(1).url);

        const QString record = m_dir->filePath(QStringLiteral("argv.json"));
        script("record " + record.toUtf8() + "\nsleep 200\n" + announcement(firstAddress) +
               "wait\n");
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        m_model->restartTunnel(m_model->tunnels().at(1));
        QVERIFY(m_model->tunnels().at(1).loading);
        QVERIFY(!m_model->loading());
        QTRY_VERIFY(m_model->tunnels().at(1).url.has_value());
        QCOMPARE(m_model->tunnels().at(1).id, stored.id);
        QVERIFY(!m_model->tunnels().at(1).loading);
        QCOMPARE(changes.count(), 3); // loading on, url, loading off
        QCOMPARE(storedBytes(), bytes);
        QCOMPARE(readRecord(record).value(QStringLiteral("argv")).toArray().at(3).toString(),
                 QStringLiteral("localhost:8080"));
    }

    void restart_unknownTunnel_doesNothing()
    {
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        m_model->restartTunnel(Tunnel());
        QCoreApplication::processEvents();
        QCOMPARE(changes.count(), 0);
        QCOMPARE(m_model->runningToolCount(), 0);
    }

    void restart_withoutAddress_enablesTheRowAgain()
    {
        writeStore(encodeTunnels({storedTunnel(QStringLiteral("h"), QStringLiteral("1"))}));
        m_model->loadTunnels();
        useTranscript(QStringLiteral("outage.script"));
        m_model->restartTunnel(m_model->tunnels().first());
        QVERIFY(m_model->tunnels().first().loading);
        QTRY_VERIFY(!m_model->tunnels().first().loading);
        QVERIFY(m_model->statusMessage().contains(QStringLiteral("invalid UUID length")));
    }

    void restart_whileAnEarlierRecordIsDeleted_updatesTheRightRecord()
    {
        writeStore(encodeTunnels({storedTunnel(QStringLiteral("a"), QStringLiteral("1")),
                                  storedTunnel(QStringLiteral("b"), QStringLiteral("2"))}));
        m_model->loadTunnels();
        const Tunnel first = m_model->tunnels().at(0);
        const QUuid second = m_model->tunnels().at(1).id;
        script("sleep 300\n" + announcement(firstAddress) + "wait\n");
        m_model->restartTunnel(m_model->tunnels().at(1));
        m_model->deleteTunnel(first);
        QCOMPARE(m_model->tunnels().size(), 1);
        QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        QCOMPARE(m_model->tunnels().first().id, second);
    }

    void restart_stopsTheEarlierToolOfThatTunnel()
    {
        writeStore(encodeTunnels({storedTunnel(QStringLiteral("h"), QStringLiteral("1"))}));
        m_model->loadTunnels();
        const QString pidFile = m_dir->filePath(QStringLiteral("pid"));
        script("pidfile " + pidFile.toUtf8() + "\n" + announcement(firstAddress) + "wait\n");
        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_VERIFY(!m_model->tunnels().first().loading);
        const qint64 earlier = readPid(pidFile);
        QVERIFY(processExists(earlier));

        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_VERIFY(!processExists(earlier));
        QTRY_VERIFY(!m_model->tunnels().first().loading);
        QCOMPARE(m_model->runningToolCount(), 1);
    }

    void delete_removesEveryEqualRecordAndSaves_data()
    {
        QTest::addColumn<int>("equalCopies");
        QTest::addColumn<bool>("stale");
        QTest::newRow("only tunnel") << 1 << false;
        QTest::newRow("two equal copies") << 2 << false;
        QTest::newRow("stale copy") << 1 << true;
    }
    void delete_removesEveryEqualRecordAndSaves()
    {
        QFETCH(int, equalCopies);
        QFETCH(bool, stale);
        Tunnel target = storedTunnel(QStringLiteral("h"), QStringLiteral("1"));
        target.url.reset();
        Tunnel sameIdOtherHost = target;
        sameIdOtherHost.hostname = QStringLiteral("other");
        TunnelList list(equalCopies, target);
        list.append(sameIdOtherHost);
        writeStore(encodeTunnels(list));
        m_model->loadTunnels();

        Tunnel argument = target;
        if (stale) {
            argument.url = QUrl(firstAddress);
        }
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        m_model->deleteTunnel(argument);
        QCOMPARE(changes.count(), 1);
        const TunnelList expected = stale ? list : TunnelList{sameIdOtherHost};
        QCOMPARE(m_model->tunnels(), expected);
        QCOMPARE(storedBytes(), encodeTunnels(expected));
    }

    void delete_stopsTheToolServingOnlyThatTunnel()
    {
        const QString pidFile = m_dir->filePath(QStringLiteral("pid"));
        script("pidfile " + pidFile.toUtf8() + "\nignore-term\n" + announcement(firstAddress) +
               "wait\n");
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        const qint64 pid = readPid(pidFile);
        QVERIFY(processExists(pid));
        // Past the five-second grace: SIGTERM is ignored, so the kill must follow.
        m_model->deleteTunnel(m_model->tunnels().first());
        QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), 10000);
        QTRY_COMPARE(m_model->runningToolCount(), 0);
    }

    void stopAll_andDestruction_leaveNoToolBehind()
    {
        QList<qint64> pids;
        for (int i = 0; i < 3; ++i) {
            const QString pidFile = m_dir->filePath(QStringLiteral("pid%1").arg(i));
            script("pidfile " + pidFile.toUtf8() + "\nignore-term\nwait\n");
            m_model->createTunnel(QStringLiteral("h"), QString::number(i));
            QTRY_VERIFY(readPid(pidFile) > 0);
            pids.append(readPid(pidFile));
        }
        QSignalSpy stopped(m_model.get(), &ContentModel::toolsStopped);
        m_model->stopAllTools(std::chrono::milliseconds(300));
        QTRY_COMPARE(stopped.count(), 1);
        for (qint64 pid : pids) {
            QVERIFY(!processExists(pid));
        }

        const QString pidFile = m_dir->filePath(QStringLiteral("last"));
        script("pidfile " + pidFile.toUtf8() + "\nignore-term\nwait\n");
        m_model->createTunnel(QStringLiteral("h"), QStringLiteral("9"));
        QTRY_VERIFY(readPid(pidFile) > 0);
        m_model.reset();
        QVERIFY(!processExists(readPid(pidFile)));
    }

    void load_storeCases_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<int>("count");
        QTest::newRow("empty array") << QByteArray("[]") << true << 0;
        QTest::newRow("object instead of array") << QByteArray("{}") << false << 1;
        QTest::newRow("not JSON") << QByteArray("[{") << false << 1;
        QTest::newRow("not UTF-8") << QByteArray("[\"\xff\xfe\"]") << false << 1;
        QTest::newRow("one element without hostname")
            << QByteArray("[{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"hostname\":\"a\","
                          "\"port\":\"1\",\"loading\":false},{\"id\":\"E621E1F8-C36C-495A-93FC-"
                          "0C247A3E6E5A\",\"port\":\"1\",\"loading\":false}]")
            << false << 1;
    }
    void load_storeCases()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, announced);
        QFETCH(int, count);
        // Something already listed shows whether a load replaced the list or left it alone.
        script(announcement(firstAddress) + "wait\n");
        m_model->createTunnel(QStringLiteral("h"), QStringLiteral("1"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        writeStore(bytes);
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        QSignalSpy status(m_model.get(), &ContentModel::statusMessageChanged);
        m_model->loadTunnels();
        QCOMPARE(changes.count(), announced ? 1 : 0);
        QCOMPARE(m_model->tunnels().size(), count);
        // An unreadable list is reported; a readable one is not.
        QCOMPARE(status.count(), announced ? 0 : 1);
    }

    void load_withoutFile_leavesTheListAlone()
    {
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        m_model->loadTunnels();
        QCOMPARE(changes.count(), 0);
        QVERIFY(m_model->statusMessage().isEmpty());
    }

    void load_clearsAddressesAndWaitingFlags()
    {
        const TunnelList stored{storedTunnel(QStringLiteral("a"), QStringLiteral("1"), true),
                                storedTunnel(QStringLiteral("b"), QStringLiteral("2"))};
        writeStore(encodeTunnels(stored));
        m_model->loadTunnels();
        QCOMPARE(m_model->tunnels().size(), 2);
        for (qsizetype i = 0; i < stored.size(); ++i) {
            const Tunnel &loaded = m_model->tunnels().at(i);
            QCOMPARE(loaded.id, stored.at(i).id);
            QCOMPARE(loaded.hostname, stored.at(i).hostname);
            QVERIFY(!loaded.url);
            QVERIFY(!loaded.loading);
        }
    }
};

QTEST_GUILESS_MAIN(ContentModelTest)
#include "ContentModelTest.moc"
