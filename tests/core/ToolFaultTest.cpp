// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ContentModel.h"

#include "TestSupport.h"

#include <QTimer>

using namespace Velumo;
using namespace Velumo::Testing;

// Under AddressSanitizer freed blocks sit in a 256 MB quarantine, which would show up as growth
// in the memory checks; a small one keeps them about our buffers.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=8";
}

// The tool drowning us in output or writing what is not text: memory stays bounded, the event
// loop keeps answering, and a later address is still found.
class ToolFaultTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void flood_keepsMemoryBoundedAndTheLoopAnswering()
    {
        // 200 MB of 160-byte debug lines, as fast as we read them.
        script("flood 209715200 160\n");
        qint64 ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
        peakGrowthKiB();
        ticker.start(0);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->loading(), 120000);
        ticker.stop();
        const qint64 grown = peakGrowthKiB();
        QVERIFY2(grown < 50 * 1024, qPrintable(QString::number(grown)));
        // Thousands of pipe reads: a loop blocked by the reading would tick a handful of times.
        QVERIFY2(ticks >= 500, qPrintable(QString::number(ticks)));
        QVERIFY(m_model->statusMessage().contains(u"flood line="));
    }

    void longLineWithoutNewline_isSurvived_data()
    {
        QTest::addColumn<QByteArray>("then");
        QTest::addColumn<bool>("announced");
        QTest::newRow("then the address") << announcement() + "wait\n" << true;
        QTest::newRow("then exit 1") << QByteArray("exit 1\n") << false;
    }
    void longLineWithoutNewline_isSurvived()
    {
        QFETCH(QByteArray, then);
        QFETCH(bool, announced);
        script("longline 10485760\n" + then);
        peakGrowthKiB();
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_model->loading(), 60000);
        const qint64 grown = peakGrowthKiB();
        QVERIFY2(grown < 50 * 1024, qPrintable(QString::number(grown)));
        QCOMPARE(m_model->tunnels().size(), announced ? 1 : 0);
        if (!announced) {
            // The line is quoted, but not all ten megabytes of it.
            QVERIFY(m_model->statusMessage().contains(u"exit code 1"));
            QVERIFY(m_model->statusMessage().size() < 1000);
        }
    }

    void badEncoding_doesNotHideALaterAddress_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("invalid bytes") << QByteArray("raw \\xff\\xfe\\xc0\\x80 oops\\n\n");
        QTest::newRow("truncated sequence") << QByteArray("raw abc\\xe2\\x9c\n");
        QTest::newRow("NUL bytes and CR") << QByteArray("raw \\x00\\x00x\\r\\n\\r\n");
        QTest::newRow("encoded surrogate") << QByteArray("raw \\xed\\xa0\\x80\\n\n");
    }
    void badEncoding_doesNotHideALaterAddress()
    {
        QFETCH(QByteArray, before);
        // The pause keeps the bad bytes in a read of their own, as separate log lines would be.
        script(before + "sleep 100\n" + announcement() + "wait\n");
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        QCOMPARE(m_model->tunnels().first().url, std::optional<QUrl>(QUrl(announcedAddress)));
    }

    void log_keepsTheLastLines_data()
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
    void log_keepsTheLastLines()
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
};

QTEST_GUILESS_MAIN(ToolFaultTest)
#include "ToolFaultTest.moc"
