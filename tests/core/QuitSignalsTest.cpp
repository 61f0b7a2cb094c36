// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "QuitSignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace Velumo;

class QuitSignalsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A logout (SIGHUP), a Ctrl-C (SIGINT) or a kill (SIGTERM) must reach the event loop as a
    // quit request instead of ending the process with its tools left running.
    void signal_becomesAQuitRequest_data()
    {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void signal_becomesAQuitRequest()
    {
        QFETCH(int, number);
        QuitSignals signals;
        QSignalSpy spy(&signals, &QuitSignals::quitRequested);
        ::raise(number);
        QVERIFY(spy.wait());
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toInt(), number);
    }
};

QTEST_GUILESS_MAIN(QuitSignalsTest)
#include "QuitSignalsTest.moc"
