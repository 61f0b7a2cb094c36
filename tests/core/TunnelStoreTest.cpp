// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelStore.h"

#include "TestSupport.h"

#include <QProcess>
#include <QRandomGenerator>

#include <chrono>
#include <thread>

#include <sys/resource.h>

using namespace Velumo;
using namespace Velumo::Testing;

namespace {

const QString keptPattern = QStringLiteral("storedTunnels.json.unreadable-*");

// Two lists of clearly different sizes, the same in the test and its children, so a torn or
// mixed write could not pass for either.
TunnelList savedList(int which)
{
    TunnelList list;
    for (int i = 0; i < (which == 0 ? 1 : 60); ++i) {
        Tunnel tunnel;
        tunnel.id = QUuid::createUuidV5(QUuid(), QStringLiteral("%1-%2").arg(which).arg(i));
        tunnel.hostname = QStringLiteral("host-%1-%2.local").arg(which).arg(i);
        tunnel.port = QString::number(3000 + i);
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

// The stored list damaged, out of reach or cut off mid-write: what was stored is never
// destroyed, and the user is told.
class TunnelStoreTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString storePath() const
    {
        return m_dir.filePath(QStringLiteral("velumo/storedTunnels.json"));
    }
    QDir folder() const { return QFileInfo(storePath()).dir(); }
    void writeStore(const QByteArray &bytes)
    {
        QVERIFY(QDir().mkpath(folder().path()));
        QVERIFY(writeFile(storePath(), bytes));
    }

    // Runs this test executable as a child in `mode`; returns what it printed.
    QByteArray runChild(const QString &mode)
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {mode, storePath()});
        QSignalSpy finished(&child, &QProcess::finished);
        return finished.wait(60000) && child.exitCode() == 0 ? child.readAllStandardOutput()
                                                             : QByteArray();
    }

private Q_SLOTS:
    void cleanup()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void unreadableStore_isKeptAsideBeforeTheFirstSave_data()
    {
        const QByteArray valid = encodeTunnels(savedList(1));
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("not UTF-8") << QByteArray("[{\"hostname\":\"\xff\xfe\xc3(\"}]");
        QTest::newRow("an object, not a list") << QByteArray("{\"tunnels\":[]}");
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
        TunnelStore store(storePath());
        const QString problem = store.load().reason();
        QVERIFY2(problem.contains(u"could not be read"), qPrintable(problem));
        QCOMPARE(readAll(storePath()), bytes);

        const QString told = store.save(savedList(0));
        QCOMPARE(readAll(storePath()), encodeTunnels(savedList(0)));
        const QStringList kept = folder().entryList({keptPattern});
        QCOMPARE(kept.size(), 1);
        QCOMPARE(readAll(folder().filePath(kept.first())), bytes);
        QVERIFY2(told.contains(kept.first()), qPrintable(told));

        // Once kept, later saves just write.
        QCOMPARE(store.save({}), QString());
        QCOMPARE(folder().entryList({keptPattern}).size(), 1);
    }

    void unwritableStore_saysSoAndKeepsWhatIsThere_data()
    {
        QTest::addColumn<bool>("directoryInPlace");
        QTest::newRow("a directory in its place") << true;
        // As root, permissions stop nothing; a folder that is a file stops even root.
        QTest::newRow("its folder is a file") << false;
    }
    void unwritableStore_saysSoAndKeepsWhatIsThere()
    {
        QFETCH(bool, directoryInPlace);
        const QString blocker =
            directoryInPlace ? storePath() + QStringLiteral("/notes.txt") : folder().path();
        QVERIFY(QDir().mkpath(QFileInfo(blocker).path()));
        QVERIFY(writeFile(blocker, "the user's"));
        TunnelStore store(storePath());
        const Result<std::optional<TunnelList>> loaded = store.load();
        QVERIFY(!loaded || !*loaded);
        QCOMPARE(loaded.reason().contains(u"is not a file"), directoryInPlace);
        QVERIFY(store.save(savedList(0)).startsWith(u"The tunnel list could not be saved"));
        QCOMPARE(readAll(blocker), QByteArray("the user's"));
    }

    void symlinkedStore_staysALink()
    {
        // Dotfile managers keep settings elsewhere and link them in.
        const QString target = m_dir.filePath(QStringLiteral("dotfiles.json"));
        QVERIFY(writeFile(target, encodeTunnels(savedList(0))));
        QVERIFY(QDir().mkpath(folder().path()));
        QVERIFY(QFile::link(target, storePath()));
        TunnelStore store(storePath());
        QCOMPARE(*store.load(), std::optional<TunnelList>(savedList(0)));
        QCOMPARE(store.save(savedList(1)), QString());
        QVERIFY(QFileInfo(storePath()).isSymLink());
        QCOMPARE(readAll(target), encodeTunnels(savedList(1)));
    }

    void fileSizeLimitWhileSaving_keepsTheOldFile_data()
    {
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<QString>("told");
        QTest::newRow("a readable list")
            << encodeTunnels(savedList(0)) << QStringLiteral("The tunnel list could not be saved");
        // Keeping the unreadable file aside is the write that fails here.
        QTest::newRow("an unreadable file")
            << garbage(10 * 1024) << QStringLiteral("could not be kept aside");
    }
    void fileSizeLimitWhileSaving_keepsTheOldFile()
    {
        QFETCH(QByteArray, old);
        QFETCH(QString, told);
        writeStore(old);
        const QByteArray printed = runChild(QStringLiteral("--save-limited"));
        QVERIFY2(printed.contains(told.toUtf8()), printed.constData());
        QCOMPARE(readAll(storePath()), old);
        // Neither a half-written list nor a half-kept copy is left behind.
        QCOMPARE(folder().entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("storedTunnels.json")});
    }

    void killedWhileSaving_alwaysLeavesOneWholeList()
    {
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
            const Result<TunnelList> stored = decodeTunnels(readAll(storePath()));
            QVERIFY2(stored && (*stored == savedList(0) || *stored == savedList(1)),
                     qPrintable(QStringLiteral("round %1").arg(round)));
            ++endedWith[*stored == savedList(0) ? 0 : 1];
        }
        // Kills landed at different points of the loop, not always at the same one.
        QVERIFY(endedWith[0] > 0 && endedWith[1] > 0);
        QVERIFY(folder().entryList({keptPattern}).isEmpty());
    }
};

// Child modes for the cases that need a process of their own.
static int childMain(const QString &mode, const QString &storePath)
{
    TunnelStore store(storePath);
    (void)store.load();
    if (mode == QStringLiteral("--save-limited")) {
        // A file-size limit makes writes fail part-way, as a full disk would.
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        TunnelList many;
        for (int i = 0; i < 5; ++i) {
            many.append(savedList(1));
        }
        std::printf("%s\n", store.save(many).toUtf8().constData());
        return 0;
    }
    for (quint64 i = 0;; ++i) {
        store.save(savedList(int(i % 2)));
        if (i == 1) {
            std::printf("ready\n");
            std::fflush(stdout);
        }
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && argv[1][0] == '-') {
        return childMain(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    }
    TunnelStoreTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "TunnelStoreTest.moc"
