// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "Symbols.h"

#include <QApplication>
#include <QImage>
#include <QTest>

using namespace Velumo;

class SymbolsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // No desktop theme, as on a bare system: our own drawings must stand in.
    void initTestCase()
    {
        QIcon::setThemeSearchPaths({});
        QIcon::setThemeName(QString());
    }

    void drawsEverySymbol_data()
    {
        QTest::addColumn<QIcon>("icon");
        QTest::addColumn<QString>("file");

        QTest::newRow("link") << Symbols::link() << QStringLiteral("link.svg");
        QTest::newRow("play") << Symbols::play() << QStringLiteral("play.svg");
        QTest::newRow("trash") << Symbols::trash() << QStringLiteral("trash.svg");
        QTest::newRow("stop") << Symbols::stop() << QStringLiteral("stop.svg");
        QTest::newRow("warning") << Symbols::warning() << QStringLiteral("warning.svg");
        QTest::newRow("app icon") << Symbols::appIcon() << QStringLiteral("org.velumo.Velumo.svg");
    }

    // A drawing that fails to parse gives a null pixmap; one with broken paths an empty one.
    void drawsEverySymbol()
    {
        QFETCH(QIcon, icon);
        QFETCH(QString, file);

        QVERIFY(!icon.isNull());
        QVERIFY(!QIcon(u":/icons/" + file).pixmap(16).isNull());
        for (const int size : {16, 64}) {
            const QImage image = icon.pixmap(size).toImage();
            QCOMPARE(image.width(), size);
            int opaque = 0;
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    opaque += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
                }
            }
            QVERIFY2(opaque > size * size / 10, qPrintable(QString::number(opaque)));
        }
    }
};

QTEST_MAIN(SymbolsTest)
#include "SymbolsTest.moc"
