// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// Runs the real main window on an X server (Xvfb under CTest), creates a tunnel through the
// stand-in tool and keeps a screenshot of the window as a test artifact.

#include "../core/TestSupport.h"
#include "ContentModel.h"
#include "ContentView.h"
#include "TunnelRow.h"

#include <QApplication>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

using namespace Velumo;
using namespace Velumo::Testing;

class ScreenshotTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void createdTunnel_isDrawnInTheRealWindow()
    {
        if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
            QSKIP("needs an X server; CTest runs this under xvfb-run");
        }
        QTemporaryDir dir;
        auto *model = new ContentModel(TunnelStore(dir.filePath(QStringLiteral("list.json"))));
        model->setToolPath(standinPath());
        ContentView view(model);
        view.resize(820, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        useTranscript(QStringLiteral("quick-tunnel.script"));
        QTest::mouseClick(view.findChild<QPushButton *>(QStringLiteral("createButton")),
                          Qt::LeftButton);
        QTRY_COMPARE(view.findChildren<TunnelRow *>().size(), 1);
        QTRY_VERIFY(model->activity(model->tunnels().first().id).state == TunnelState::Connected);
        QTest::qWait(200); // let the compositor-less server catch up with the last paint

        // The screen's pixels, not a re-render of the widgets.
        const QImage shot = view.screen()->grabWindow(view.winId()).toImage();
        QVERIFY(!shot.isNull());
        QVERIFY(shot.save(QStringLiteral(VELUMO_SCREENSHOT)));

        QSet<QRgb> colours;
        for (int y = 0; y < shot.height(); y += 3) {
            for (int x = 0; x < shot.width(); x += 3) {
                colours.insert(shot.pixel(x, y));
            }
        }
        QVERIFY2(colours.size() > 20, "the window looks blank");

        model->stopAllTools(std::chrono::milliseconds(300));
        QTRY_COMPARE(model->runningToolCount(), 0);
    }
};

QTEST_MAIN(ScreenshotTest)
#include "ScreenshotTest.moc"
