// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"
#include "ReliabilitySupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Velumo;
using namespace Velumo::Testing;

// Whatever is typed as host and port, or found in an edited stored list, reaches the tool as
// the one argument after --url, never through a shell.
class HostileInputTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private:
    // A file a shell would create if it ever saw the input.
    QString pwnedPath() const { return m_dir->filePath(QStringLiteral("pwned")); }

    // Runs the tool once through `start`, recording its argv, and checks what arrived.
    template <typename Start>
    void verifyArgument(const QString &expected, bool reaches, Start start)
    {
        const QString record = m_dir->filePath(QStringLiteral("argv.json"));
        QFile::remove(record);
        useScript(*m_dir, QStringLiteral("script"), "record " + record.toUtf8() + "\n");
        QSignalSpy status(m_model.get(), &ContentModel::statusMessageChanged);
        start();
        QTRY_VERIFY(status.count() > 0);
        QTRY_COMPARE(m_model->runningToolCount(), 0);
        if (!reaches) {
            // Longer than the kernel takes for one argument: the start fails and says so.
            QVERIFY2(
                m_model->statusMessage().startsWith(QStringLiteral("Could not start cloudflared")),
                qPrintable(m_model->statusMessage().left(200)));
            QVERIFY(!QFile::exists(record));
            return;
        }
        QVERIFY2(m_model->statusMessage().contains(QStringLiteral("exit code 0")),
                 qPrintable(m_model->statusMessage().left(200)));
        const QJsonArray argv = readRecord(record).value(QStringLiteral("argv")).toArray();
        QCOMPARE(argv.size(), 4);
        QCOMPARE(argv.at(1).toString(), QStringLiteral("tunnel"));
        QCOMPARE(argv.at(2).toString(), QStringLiteral("--url"));
        QCOMPARE(argv.at(3).toString(), expected);
    }

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void hostAndPort_reachTheToolAsOneLiteralArgument_data()
    {
        // PWNED stands for a file in the test's folder that a shell would create.
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("reaches");
        QTest::newRow("spaces") << QStringLiteral("my host") << QStringLiteral(" 30 00 ") << true;
        QTest::newRow("quotes") << QStringLiteral("\"lo'cal\"") << QStringLiteral("'3000\"")
                                << true;
        QTest::newRow("semicolon") << QStringLiteral("localhost; touch PWNED")
                                   << QStringLiteral("3000;touch PWNED") << true;
        QTest::newRow("command substitution")
            << QStringLiteral("$(touch PWNED)") << QStringLiteral("$(touch PWNED)") << true;
        QTest::newRow("backticks")
            << QStringLiteral("`touch PWNED`") << QStringLiteral("`touch PWNED`") << true;
        QTest::newRow("pipe and redirection")
            << QStringLiteral("a|touch PWNED>x&&y") << QStringLiteral("<PWNED") << true;
        QTest::newRow("leading dash") << QStringLiteral("--help") << QStringLiteral("-1") << true;
        QTest::newRow("another --url") << QStringLiteral("x --url evil.example")
                                       << QStringLiteral("1 --loglevel fatal") << true;
        QTest::newRow("newline and tab")
            << QStringLiteral("a\nb") << QStringLiteral("\t3000\r") << true;
        QTest::newRow("glob") << QStringLiteral("*") << QStringLiteral("?[a-z]") << true;
        QTest::newRow("non-ASCII")
            << QString::fromUtf8("höst.例え") << QString::fromUtf8("三千") << true;
        QTest::newRow("emoji and direction override") << QString::fromUtf8("\xf0\x9f\x9a\x80.local")
                                                      << QString::fromUtf8("\xe2\x80\xae"
                                                                           "0003")
                                                      << true;
        QTest::newRow("empty") << QString() << QString() << true;
        QTest::newRow("100 KiB host")
            << QString(100 * 1024, u'a') << QStringLiteral("3000") << true;
        QTest::newRow("1 MiB host")
            << QString(1024 * 1024, u'h') << QStringLiteral("3000") << false;
        QTest::newRow("1 MiB port")
            << QStringLiteral("localhost") << QString(1024 * 1024, u'9') << false;
    }
    void hostAndPort_reachTheToolAsOneLiteralArgument()
    {
        QFETCH(QString, hostname);
        QFETCH(QString, port);
        QFETCH(bool, reaches);
        hostname.replace(QStringLiteral("PWNED"), pwnedPath());
        port.replace(QStringLiteral("PWNED"), pwnedPath());
        const QString expected = hostname + u':' + port;

        verifyArgument(expected, reaches, [&] { m_model->createTunnel(hostname, port); });
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY(m_model->tunnels().isEmpty());
        QVERIFY(!m_model->loading());

        // The same text in an edited stored list, restarted from there.
        Tunnel stored;
        stored.hostname = hostname;
        stored.port = port;
        QDir().mkpath(QFileInfo(storePath()).absolutePath());
        QVERIFY(writeFile(storePath(), encodeTunnels({stored})));
        m_model->loadTunnels();
        QCOMPARE(m_model->tunnels().size(), 1);
        QCOMPARE(m_model->tunnels().first().hostname, hostname);
        verifyArgument(expected, reaches,
                       [&] { m_model->restartTunnel(m_model->tunnels().first()); });
        if (QTest::currentTestFailed()) {
            return;
        }
        QVERIFY(!m_model->tunnels().first().loading);

        QVERIFY(!QFile::exists(pwnedPath()));
    }
};

QTEST_GUILESS_MAIN(HostileInputTest)
#include "HostileInputTest.moc"
