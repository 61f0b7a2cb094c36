// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/CloudflareAccount.h"
#include "core/ToolLog.h"
#include "gui/LogWindow.h"
#include "gui/QrCodeWindow.h"
#include "gui/RequestsWindow.h"
#include "gui/SignInDialog.h"
#include "gui/Spinner.h"
#include "gui/StatusLine.h"
#include "gui/Symbols.h"
#include "proxy/RequestRecorder.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <cmath>

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

// WCAG's contrast ratio of two opaque colours: 1 (same) to 21 (black on white).
double contrast(QColor a, QColor b)
{
    const auto luminance = [](QColor c) {
        const auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) +
               0.0722 * linear(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QPalette palette(QColor window, QColor text)
{
    QPalette made(window, window);
    made.setColor(QPalette::Window, window);
    made.setColor(QPalette::WindowText, text);
    return made;
}

QObjectList *renamed = nullptr; // the objects NameChanged was raised on, in order

void recordEvent(QAccessibleEvent *event)
{
    if (renamed && event->type() == QAccessible::NameChanged) {
        renamed->append(event->object());
    }
}

} // namespace

class WindowsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Screen readers find each window by its title; keyboard users leave every part of it
    // with Tab and close it with Escape.
    void secondaryWindows_areWindowsThatTabAndEscapeLeave_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("focused"); // the part Tab must leave, if there are others
        QTest::newRow("log") << u"log"_s << u"Log of localhost:3000"_s << QString();
        QTest::newRow("QR code") << u"qr"_s << u"QR code"_s << QString();
        QTest::newRow("requests") << u"requests"_s << u"Requests to localhost:3000"_s
                                  << u"requestsTable"_s;
    }
    void secondaryWindows_areWindowsThatTabAndEscapeLeave()
    {
        QFETCH(QString, kind);
        QFETCH(QString, title);
        QFETCH(QString, focused);
        RequestRecorder recorder;
        CapturedExchange exchange;
        exchange.tunnel = u"t"_s;
        recorder.captures().add(exchange);
        QPointer<QWidget> window;
        if (kind == u"log") {
            window = new LogWindow(title, std::make_shared<ToolLog>(u"cloudflared tunnel"_s));
        } else if (kind == u"qr") {
            window = new QrCodeWindow(QUrl(u"https://a.trycloudflare.com"_s));
        } else {
            window = new RequestsWindow(recorder, u"t"_s, title, {u"127.0.0.1"_s, 3000});
        }
        window->show();
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));

        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(window);
        QCOMPARE(face->role(), QAccessible::Window);
        QCOMPARE(face->text(QAccessible::Name), title);

        if (!focused.isEmpty()) {
            auto *part = window->findChild<QWidget *>(focused);
            QVERIFY(part);
            part->setFocus();
            QCOMPARE(QApplication::focusWidget(), part);
            QTest::keyClick(part, Qt::Key_Tab);
            QVERIFY(QApplication::focusWidget() != part);
        }

        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : window.data(), Qt::Key_Escape);
        QVERIFY(!window || !window->isVisible());
        delete window;
    }

    // Opened on a long log, the window shows its end from the start of the lines.
    void logWindow_opensAtTheEndWithoutSidewaysScroll()
    {
        auto log = std::make_shared<ToolLog>(u"cloudflared tunnel --url localhost:3000"_s);
        for (int line = 0; line < 200; ++line) {
            log->append(u"INF line %1\n"_s.arg(line));
        }
        log->append(QString(u"ERR "_s + QString(500, u'x') + u'\n'));
        LogWindow window(u"Log"_s, log);
        window.setAttribute(Qt::WA_DeleteOnClose, false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *view = window.findChild<QPlainTextEdit *>(u"logText"_s);
        QVERIFY(view);
        QCOMPARE(view->horizontalScrollBar()->value(), 0);
        QVERIFY(view->verticalScrollBar()->maximum() > 0);
        QCOMPARE(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
    }

    // The status line is read as the status bar, and each new message is announced.
    void statusLine_isAStatusBarThatAnnouncesMessages()
    {
        QStatusBar bar;
        auto *line = new StatusLine(&bar);
        bar.addWidget(line, 1);
        // A screen reader switches accessibility on; on this platform only Qt's own API can.
        QPlatformAccessibility *platform =
            QGuiApplicationPrivate::platformIntegration()->accessibility();
        QVERIFY(platform);
        platform->setActive(true);
        QObjectList seen;
        renamed = &seen;
        QAccessible::installUpdateHandler(&recordEvent);
        line->setMessage(u"Tunnel localhost:3000 is connected"_s);
        line->setMessage(u"Nothing is listening on localhost:3000"_s);
        QAccessible::installUpdateHandler(nullptr);
        renamed = nullptr;
        platform->setActive(false);

        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(line);
        QCOMPARE(face->role(), QAccessible::StatusBar);
        QCOMPARE(face->text(QAccessible::Name), u"Nothing is listening on localhost:3000"_s);
        // The only status bar: the one that holds it is its frame.
        QCOMPARE(face->parent()->role(), QAccessible::Client);
        QCOMPARE(seen, QObjectList({line, line}));
    }

    // The address arrives with a longer explanation; no text may overlap another.
    void signInDialog_growsToItsNewText()
    {
        CloudflareAccount account([] { return QString(); });
        SignInDialog dialog(account);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        Q_EMIT account.signInAddressFound(
            QUrl(u"https://dash.cloudflare.com/argotunnel?aud=&callback=https%3A%2F%2Flogin"_s),
            false);
        auto *explanation = dialog.findChild<QLabel *>(u"signInExplanation"_s);
        auto *address = dialog.findChild<QLabel *>(u"signInAddress"_s);
        QVERIFY(explanation && address);
        QTRY_VERIFY(explanation->height() >= explanation->heightForWidth(explanation->width()) &&
                    address->y() >= explanation->geometry().bottom() &&
                    address->height() >= address->heightForWidth(address->width()));
    }

    // Every symbol, and the spinner, stands out from the window on light and dark palettes,
    // following a palette chosen after it was made.
    void symbols_readOnLightAndDarkPalettes_data()
    {
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QPalette>("palette");
        const QList<std::pair<const char *, QPalette>> palettes{
            {"light", palette(QColor(0xef, 0xf0, 0xf1), QColor(0x23, 0x26, 0x29))},
            {"dark", palette(QColor(0x20, 0x23, 0x26), QColor(0xfc, 0xfc, 0xfc))},
        };
        for (const auto &[paletteName, colours] : palettes) {
            for (const char *symbol : {"link", "play", "trash", "stop", "warning", "qrCode", "log",
                                       "inspect", "requests", "lock", "key", "more", "spinner"}) {
                QTest::addRow("%s, %s", symbol, paletteName) << QString::fromLatin1(symbol)
                                                             << colours;
            }
        }
    }
    void symbols_readOnLightAndDarkPalettes()
    {
        QFETCH(QString, symbol);
        QFETCH(QPalette, palette);
        const QHash<QString, QIcon (*)()> symbols{
            {u"link"_s, &Symbols::link},       {u"play"_s, &Symbols::play},
            {u"trash"_s, &Symbols::trash},     {u"stop"_s, &Symbols::stop},
            {u"warning"_s, &Symbols::warning}, {u"qrCode"_s, &Symbols::qrCode},
            {u"log"_s, &Symbols::log},         {u"inspect"_s, &Symbols::inspect},
            {u"requests"_s, &Symbols::requests}, {u"lock"_s, &Symbols::lock},
            {u"key"_s, &Symbols::key},         {u"more"_s, &Symbols::more}};
        Spinner spinner;
        spinner.setScale(0.5);
        const QIcon icon = symbols.value(symbol, nullptr) ? symbols.value(symbol)() : QIcon();
        QApplication::setPalette(palette);

        QImage image;
        if (symbol == u"spinner") {
            spinner.resize(spinner.sizeHint());
            image = QImage(spinner.size(), QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            spinner.render(&image, {}, {}, QWidget::RenderFlags());
        } else {
            // Drawn for the screen's pixels, not scaled up from a smaller drawing.
            const QPixmap pixmap = icon.pixmap(QSize(16, 16), 2.0);
            QCOMPARE(pixmap.size(), QSize(32, 32));
            image = pixmap.toImage();
        }
        image = image.convertToFormat(QImage::Format_ARGB32);
        const QColor background = palette.color(QPalette::Window);
        int solid = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                QColor pixel = image.pixelColor(x, y);
                if (pixel.alphaF() >= 0.9) {
                    ++solid;
                    pixel.setAlpha(255);
                    QVERIFY2(contrast(pixel, background) >= 3.0,
                             qPrintable(u"%1 at %2,%3"_s.arg(pixel.name()).arg(x).arg(y)));
                }
            }
        }
        QVERIFY(solid > 0);
    }
};

QTEST_MAIN(WindowsTest)
#include "WindowsTest.moc"
