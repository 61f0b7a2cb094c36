// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/Autostart.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Velumo;
using namespace Qt::StringLiterals;

class AutostartTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path())); }

    void quotedForExec_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain") << u"/usr/bin/velumo"_s << u"/usr/bin/velumo"_s;
        QTest::newRow("space") << u"/opt/My Apps/velumo"_s << u"\"/opt/My Apps/velumo\""_s;
        QTest::newRow("escaped") << u"/tmp/$a\"b`c\\d"_s << u"\"/tmp/\\$a\\\"b\\`c\\\\d\""_s;
    }
    void quotedForExec()
    {
        QFETCH(QString, program);
        QFETCH(QString, quoted);
        QCOMPARE(Autostart::quotedForExec(program), quoted);
    }

    // The entry starts this very executable in the background; turned off, it is gone.
    void setEnabled_writesAndRemoves()
    {
        const QString path = Autostart::entryPath();
        QVERIFY(path.startsWith(m_config.path() + u"/autostart/"_s));
        QVERIFY(!Autostart::setEnabled(true, u"velumo"_s));
        QVERIFY(!Autostart::isEnabled());

        QVERIFY(Autostart::setEnabled(true, u"/opt/My Apps/velumo"_s));
        QVERIFY(Autostart::isEnabled());
        QFile entry(path);
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QByteArrayList lines = entry.readAll().split('\n');
        QCOMPARE(lines.first(), "[Desktop Entry]");
        QVERIFY(lines.contains("Exec=\"/opt/My Apps/velumo\" --background"));

        QVERIFY(Autostart::setEnabled(false, {}));
        QVERIFY(!QFile::exists(path));
        QVERIFY(Autostart::setEnabled(false, {}));
    }
};

QTEST_GUILESS_MAIN(AutostartTest)
#include "AutostartTest.moc"
