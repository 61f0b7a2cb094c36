// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"
#include "ReliabilitySupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <thread>

#include <signal.h>
#include <sys/resource.h>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

const QString keptPattern = QStringLiteral("storedTunnels.json.unreadable-*");

// Two lists of clearly different sizes, the same in the test and in its child processes, so a
// torn or mixed write could not pass for either.
TunnelList savedList(int which)
{
    TunnelList list;
    const int count = which == 0 ? 1 : 60;
    for (int i = 0; i < count; ++i) {
        Tunnel tunnel;
        tunnel.id = QUuid::createUuidV5(QUuid(), QStringLiteral("%1-%2").arg(which).arg(i));
        tunnel.hostname = QStringLiteral("host-%1-%2.local").arg(which).arg(i);
        tunnel.port = QString::number(3000 + i);
        if (i % 2 == 0) {
            tunnel.url = QUrl(announcedAddress);
        }
        list.append(tunnel);
    }
    return list;
}

QByteArray garbage(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20260529);
    for (char &c : bytes) {
        c = static_cast<char>(generator.bounded(256));
    }
    return bytes;
}

} // namespace

// The stored list damaged, replaced, out of reach or cut off mid-write: what was stored is never
// destroyed, what is in memory is kept, and the user is told.
class StoreFaultTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private:
    void createAnnouncedTunnel()
    {
        script(announcement() + "wait\n");
        const qsizetype before = m_model->tunnels().size();
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), before + 1);
    }

    // Runs this test executable as a child in `mode` and returns what it printed.
    QByteArray runChild(const QString &mode, int *exitCode)
    {
        QProcess child;
        QSignalSpy finished(&child, &QProcess::finished);
        child.start(QCoreApplication::applicationFilePath(), {mode, storePath()});
        if (!finished.wait(60000)) {
            child.kill();
            return {};
        }
        *exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
        return child.readAllStandardOutput();
    }

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void unreadableStore_isKeptAsideBeforeTheFirstSave_data()
    {
        const QByteArray valid = encodeTunnels(savedList(1));
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("not UTF-8") << QByteArray("[{\"hostname\":\"\xff\xfe\xc3(\"}]");
        QTest::newRow("an object, not a list") << QByteArray("{\"tunnels\":[]}");
        QTest::newRow("a list of texts") << QByteArray("[\"localhost:3000\"]");
        QTest::newRow("one bad element")
            << QByteArray(valid).replace("\"port\":\"3001\"", "\"port\":3001");
        QTest::newRow("cut off half way") << valid.left(valid.size() / 2);
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("10 MB of garbage") << garbage(10 * 1024 * 1024);
    }
    void unreadableStore_isKeptAsideBeforeTheFirstSave()
    {
        QFETCH(QByteArray, bytes);
        writeStore(bytes);

        m_model->loadTunnels();
        QVERIFY(m_model->tunnels().isEmpty());
        QVERIFY2(m_model->statusMessage().contains(QStringLiteral("could not be read")),
                 qPrintable(m_model->statusMessage()));
        QCOMPARE(readAll(storePath()), bytes);

        createAnnouncedTunnel();
        if (QTest::currentTestFailed()) {
            return;
        }
        QCOMPARE(decodeTunnels(readAll(storePath())),
                 std::optional<TunnelList>(m_model->tunnels()));
        const QStringList kept = storeFolder().entryList({keptPattern});
        QCOMPARE(kept.size(), 1);
        QCOMPARE(readAll(storeFolder().filePath(kept.first())), bytes);
        QVERIFY2(m_model->statusMessage().contains(kept.first()),
                 qPrintable(m_model->statusMessage()));

        // Once kept, later saves just write.
        m_model->deleteTunnel(m_model->tunnels().first());
        QCOMPARE(readAll(storePath()), QByteArray("[]"));
        QCOMPARE(storeFolder().entryList({keptPattern}).size(), 1);
    }

    void unwritableStore_keepsTheTunnelAndSaysSo_data()
    {
        QTest::addColumn<bool>("directoryInPlace");
        QTest::newRow("a directory in its place") << true;
        // As root, permissions stop nothing; a folder that is a file stops even root.
        QTest::newRow("its folder is a file") << false;
    }
    void unwritableStore_keepsTheTunnelAndSaysSo()
    {
        QFETCH(bool, directoryInPlace);
        const QString inside = storePath() + QStringLiteral("/notes.txt");
        if (directoryInPlace) {
            QVERIFY(QDir().mkpath(storePath()));
            QVERIFY(writeFile(inside, "the user's"));
        } else {
            QVERIFY(writeFile(m_dir->filePath(QStringLiteral("velumo")), "a file"));
        }

        m_model->loadTunnels();
        QVERIFY(m_model->tunnels().isEmpty());
        QCOMPARE(m_model->statusMessage().contains(QStringLiteral("is not a file")),
                 directoryInPlace);

        createAnnouncedTunnel();
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY2(m_model->statusMessage().startsWith(
                     QStringLiteral("The tunnel list could not be saved")),
                 qPrintable(m_model->statusMessage()));
        // Kept for this session, and its tool still serves it.
        QCOMPARE(m_model->tunnels().size(), 1);
        QCOMPARE(m_model->runningToolCount(), 1);
        if (directoryInPlace) {
            QVERIFY(QFileInfo(storePath()).isDir());
            QCOMPARE(readAll(inside), QByteArray("the user's"));
            QVERIFY(storeFolder().entryList({keptPattern}).isEmpty());
        } else {
            QCOMPARE(readAll(m_dir->filePath(QStringLiteral("velumo"))), QByteArray("a file"));
        }

        // A copy: deleteTunnel() reads its argument after replacing the list it came from.
        const Tunnel listed = m_model->tunnels().first();
        m_model->deleteTunnel(listed);
        QVERIFY(m_model->tunnels().isEmpty());
        QTRY_COMPARE(m_model->runningToolCount(), 0);
    }

    void symlinkedStore_staysALink()
    {
        // Dotfile managers keep settings elsewhere and link them in.
        const QString target = m_dir->filePath(QStringLiteral("dotfiles/tunnels.json"));
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        QVERIFY(writeFile(target, encodeTunnels(savedList(0))));
        QVERIFY(QDir().mkpath(storeFolder().path()));
        QVERIFY(QFile::link(target, storePath()));

        m_model->loadTunnels();
        QCOMPARE(m_model->tunnels().size(), 1);
        createAnnouncedTunnel();
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY(QFileInfo(storePath()).isSymLink());
        QCOMPARE(decodeTunnels(readAll(target)), std::optional<TunnelList>(m_model->tunnels()));
    }

    void fileSizeLimitWhileSaving_keepsTheOldFile_data()
    {
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<QString>("told");
        QTest::newRow("a readable list")
            << encodeTunnels(savedList(0)) << QStringLiteral("The tunnel list could not be saved");
        // Keeping the unreadable file aside is the write that fails here.
        QTest::newRow("an unreadable file")
            << garbage(10 * 1024)
            << QStringLiteral("The tunnel list was not saved: the unreadable stored list could "
                              "not be kept aside");
    }
    void fileSizeLimitWhileSaving_keepsTheOldFile()
    {
        QFETCH(QByteArray, old);
        QFETCH(QString, told);
        writeStore(old);
        int exitCode = -1;
        const QByteArray printed = runChild(QStringLiteral("--save-limited"), &exitCode);
        QCOMPARE(exitCode, 0);
        QVERIFY2(printed.contains(told.toUtf8()), printed.constData());
        QCOMPARE(readAll(storePath()), old);
        // Neither a half-written list nor a half-kept copy is left behind.
        QCOMPARE(storeFolder().entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("storedTunnels.json")});
    }

    void killedWhileSaving_alwaysLeavesOneWholeList()
    {
        const TunnelList lists[2] = {savedList(0), savedList(1)};
        int endedWith[2] = {0, 0};
        for (int round = 0; round < 200; ++round) {
            QProcess child;
            QSignalSpy ready(&child, &QProcess::readyReadStandardOutput);
            QSignalSpy finished(&child, &QProcess::finished);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("--save-loop"), storePath()});
            QVERIFY(ready.wait(20000));
            // Somewhere in the next few milliseconds: mid-write, mid-rename, between saves.
            std::this_thread::sleep_for(std::chrono::microseconds((round * 379) % 4000));
            child.kill();
            QVERIFY(finished.wait(20000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);

            const std::optional<TunnelList> stored = decodeTunnels(readAll(storePath()));
            QVERIFY2(stored.has_value(), qPrintable(QStringLiteral("round %1").arg(round)));
            QVERIFY2(*stored == lists[0] || *stored == lists[1],
                     qPrintable(QStringLiteral("round %1").arg(round)));
            ++endedWith[*stored == lists[0] ? 0 : 1];
        }
        // Kills landed at different points of the loop, not always at the same one.
        QVERIFY2(endedWith[0] > 0 && endedWith[1] > 0,
                 qPrintable(QStringLiteral("%1/%2").arg(endedWith[0]).arg(endedWith[1])));
        QVERIFY(storeFolder().entryList({keptPattern}).isEmpty());
        // A kill between creating the save's temporary file and renaming it leaves that file.
        QStringList left = storeFolder().entryList(QDir::Files | QDir::Hidden);
        left.removeAll(QStringLiteral("storedTunnels.json"));
        qInfo("%d/%d kills left the short/long list; temporary files left behind: %s", endedWith[0],
              endedWith[1], qPrintable(left.join(u' ')));
    }
};

// Child modes for the tests above that need a process of their own.
static int childMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString storePath = QString::fromLocal8Bit(argv[2]);
    if (mode == QStringLiteral("--save-limited")) {
        // A file-size limit makes writes fail part-way, as a full disk would.
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ContentModel model{TunnelStore(storePath)};
        model.loadTunnels();
        TunnelList many;
        for (int i = 0; i < 5; ++i) {
            many.append(savedList(1));
        }
        model.saveTunnels(many);
        std::printf("%s\n", model.statusMessage().toUtf8().constData());
        return 0;
    }
    if (mode == QStringLiteral("--save-loop")) {
        ContentModel model{TunnelStore(storePath)};
        model.loadTunnels();
        const TunnelList lists[2] = {savedList(0), savedList(1)};
        for (quint64 i = 0;; ++i) {
            model.saveTunnels(lists[i % 2]);
            if (i == 1) {
                std::printf("ready\n");
                std::fflush(stdout);
            }
        }
    }
    return 2;
}

int main(int argc, char **argv)
{
    if (argc == 3 &&
        (qstrcmp(argv[1], "--save-limited") == 0 || qstrcmp(argv[1], "--save-loop") == 0)) {
        return childMain(argc, argv);
    }
    QCoreApplication app(argc, argv);
    StoreFaultTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "StoreFaultTest.moc"
