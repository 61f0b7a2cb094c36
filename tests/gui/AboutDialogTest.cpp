// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/AboutDialog.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace Velumo;

class AboutDialogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCoreApplication::setApplicationVersion(QStringLiteral("4.5.6-rc1")); }

    void labelsShowTheirText_data()
    {
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<QString>("expected");

        QTest::newRow("name") << QStringLiteral("aboutName") << QStringLiteral("Velumo");
        QTest::newRow("version") << QStringLiteral("aboutVersion")
                                 << QStringLiteral("Version 4.5.6-rc1");
        QTest::newRow("copyright") << QStringLiteral("aboutCopyright")
                                   << QStringLiteral("Copyright © 2026 The Velumo developers");
        QTest::newRow("credits") << QStringLiteral("aboutCredits") << AboutDialog::creditsText();
    }

    // Legal text is shown as written: plain, never read as markup, and selectable for copying.
    void labelsShowTheirText()
    {
        QFETCH(QString, objectName);
        QFETCH(QString, expected);

        AboutDialog dialog;
        const auto *label = dialog.findChild<QLabel *>(objectName);
        QVERIFY(label);
        QCOMPARE(label->text(), expected);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
        QVERIFY(!label->accessibleName().isEmpty());
    }

    void creditsAreTwoLines()
    {
        const QString credits = AboutDialog::creditsText();
        const QStringList lines = credits.split(u'\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(
            lines.at(0),
            QStringLiteral("This software includes cloudflared, Copyright © Cloudflare, Inc."));
        QVERIFY(lines.at(1).contains(u"Apache License Version 2.0"));
        for (const auto address : {u"(https://www.apache.org/licenses/LICENSE-2.0)",
                                   u"(https://www.cloudflare.com/website-terms/)",
                                   u"(https://www.cloudflare.com/privacypolicy/)"}) {
            QVERIFY2(lines.at(1).contains(address), qPrintable(QString::fromUtf16(address)));
        }
        QVERIFY(!lines.at(1).isEmpty() && !lines.at(1).back().isSpace());
        QVERIFY(!Qt::mightBeRichText(credits));
    }

};

QTEST_MAIN(AboutDialogTest)
#include "AboutDialogTest.moc"
