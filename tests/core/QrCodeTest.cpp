// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "QrCode.h"

#include <QTest>

using namespace Velumo;

class QrCodeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sizeFollowsTheText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("size"); // 0: no code

        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("one byte") << QByteArrayLiteral("h") << 21;
        // Byte mode takes anything, NUL included.
        QTest::newRow("binary") << QByteArray("a\0b\xff", 4) << 21;
        // The most the largest symbol holds at level M; a lower level would take one more byte,
        // a higher one would refuse this.
        QTest::newRow("largest at M") << QByteArray(2331, 'x') << 177;
        QTest::newRow("too long") << QByteArray(2332, 'x') << 0;
    }

    void sizeFollowsTheText()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, size);

        const std::optional<QrCode> code = encodeQrCode(text);
        QCOMPARE(code.has_value(), size > 0);
        if (!code) {
            return;
        }
        QCOMPARE(code->size, size);
        QCOMPARE(code->modules.size(), static_cast<std::size_t>(size * size));
        // Finder pattern corners are dark; around the symbol is quiet zone.
        QVERIFY(code->dark(0, 0) && code->dark(size - 1, 0) && code->dark(0, size - 1));
        QVERIFY(!code->dark(-1, 0) && !code->dark(0, size) && !code->dark(size, size - 1));
    }
};

QTEST_GUILESS_MAIN(QrCodeTest)
#include "QrCodeTest.moc"
