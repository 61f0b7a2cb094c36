// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/PortNumber.h"

#include <QTest>

using namespace Velumo;
using namespace Qt::StringLiterals;

class PortNumberTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsePort_digitsFrom1To65535_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<quint16>>("port");
        const std::optional<quint16> none;
        QTest::newRow("lowest") << u"1"_s << std::optional<quint16>(1);
        QTest::newRow("highest") << u"65535"_s << std::optional<quint16>(65535);
        QTest::newRow("leading zeros") << u"08080"_s << std::optional<quint16>(8080);
        QTest::newRow("empty") << QString() << none;
        QTest::newRow("zero") << u"0"_s << none;
        QTest::newRow("one too high") << u"65536"_s << none;
        QTest::newRow("would wrap to 4464") << u"70000"_s << none;
        QTest::newRow("six digits") << u"000080"_s << none;
        QTest::newRow("leading space") << u" 80"_s << none;
        QTest::newRow("trailing space") << u"80 "_s << none;
        QTest::newRow("sign") << u"+80"_s << none;
        QTest::newRow("negative") << u"-1"_s << none;
        QTest::newRow("hex") << u"0x50"_s << none;
        QTest::newRow("Arabic-Indic digits") << u"\u0668\u0660"_s << none;
        QTest::newRow("fullwidth digits") << u"\uFF18\uFF10"_s << none;
    }

    void parsePort_digitsFrom1To65535()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<quint16>, port);
        QCOMPARE(parsePort(text), port);
    }
};

QTEST_GUILESS_MAIN(PortNumberTest)
#include "PortNumberTest.moc"
