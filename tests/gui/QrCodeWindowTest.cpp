// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/QrCodeWindow.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

#include <zbar.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

// What a phone camera would read: every QR code zbar finds in the image.
QStringList decode(const QImage &picture)
{
    // zbar's C++ header puts its C interface in a namespace.
    using namespace zbar;
    const QImage gray = picture.convertToFormat(QImage::Format_Grayscale8);
    const auto width = static_cast<std::size_t>(gray.width());
    const auto height = static_cast<std::size_t>(gray.height());
    // zbar wants rows without the padding QImage may add.
    std::vector<unsigned char> pixels(width * height);
    for (std::size_t y = 0; y < height; ++y) {
        std::memcpy(pixels.data() + y * width, gray.constScanLine(static_cast<int>(y)), width);
    }

    const std::unique_ptr<zbar_image_scanner_t, decltype(&zbar_image_scanner_destroy)> scanner(
        zbar_image_scanner_create(), &zbar_image_scanner_destroy);
    zbar_image_scanner_set_config(scanner.get(), ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
    zbar_image_scanner_set_config(scanner.get(), ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
    const std::unique_ptr<zbar_image_t, decltype(&zbar_image_destroy)> image(zbar_image_create(),
                                                                             &zbar_image_destroy);
    zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(image.get(), static_cast<unsigned>(width), static_cast<unsigned>(height));
    zbar_image_set_data(image.get(), pixels.data(), pixels.size(), nullptr);

    QStringList found;
    if (zbar_scan_image(scanner.get(), image.get()) <= 0) {
        return found;
    }
    for (const zbar_symbol_t *symbol = zbar_image_first_symbol(image.get()); symbol;
         symbol = zbar_symbol_next(symbol)) {
        found << QString::fromUtf8(zbar_symbol_get_data(symbol),
                                   static_cast<qsizetype>(zbar_symbol_get_data_length(symbol)));
    }
    return found;
}

QUrl tunnelAddress()
{
    return QUrl(u"https://able-baker-cedar-delta.trycloudflare.com"_s);
}

} // namespace

class QrCodeWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodesToTheAddress_data()
    {
        QTest::addColumn<QUrl>("address");

        QTest::newRow("tunnel") << tunnelAddress();
        QTest::newRow("long") << QUrl(u"https://able-baker-cedar-delta.trycloudflare.com/"_s +
                                      QString(150, u'p') + u"/end"_s);
        QTest::newRow("query") << QUrl(
            u"https://a.trycloudflare.com/search?q=a+b&Case=Kept&x=%C3%A9#top"_s);
    }

    void decodesToTheAddress()
    {
        QFETCH(QUrl, address);

        const QrCodeWindow window(address);
        const QImage image = window.renderImage(3);
        QVERIFY(!image.isNull());
        QCOMPARE(decode(image), QStringList{address.toString(QUrl::FullyEncoded)});

        // Whole modules with the four-module quiet zone all round.
        const std::optional<QrCode> code =
            encodeQrCode(address.toString(QUrl::FullyEncoded).toUtf8());
        QVERIFY(code);
        QCOMPARE(image.size(), QSize(code->size + 8, code->size + 8) * 3);
    }

    // At sizes that are no multiple of the module count (and at fractional scale factors, in
    // the scaled run) the code must still be whole pixels per module, as large as fits.
    void paintedCodeStaysSharp_data()
    {
        QTest::addColumn<QSize>("windowSize");

        QTest::newRow("odd") << QSize(333, 401);
        QTest::newRow("wide") << QSize(611, 287);
    }

    void paintedCodeStaysSharp()
    {
        QFETCH(QSize, windowSize);

        QrCodeWindow window(tunnelAddress());
        // A background no module can have, to tell the code apart from the window.
        const QColor background(255, 200, 255);
        QPalette palette = window.palette();
        palette.setColor(QPalette::Window, background);
        window.setPalette(palette);
        window.resize(windowSize);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        auto *canvas = window.findChild<QWidget *>(u"qrCodeImage"_s);
        QVERIFY(canvas);
        const QImage shot = canvas->grab().toImage().convertToFormat(QImage::Format_RGB32);

        QRect code;
        for (int y = 0; y < shot.height(); ++y) {
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb pixel = shot.pixel(x, y);
                if (pixel == background.rgb()) {
                    continue;
                }
                if (pixel != qRgb(0, 0, 0) && pixel != qRgb(255, 255, 255)) {
                    QFAIL(qPrintable(u"blurred pixel at %1,%2"_s.arg(x).arg(y)));
                }
                code |= QRect(x, y, 1, 1);
            }
        }
        const int across =
            encodeQrCode(tunnelAddress().toString(QUrl::FullyEncoded).toUtf8())->size + 8;
        QCOMPARE(code.width(), code.height());
        QCOMPARE(code.width() % across, 0);
        QVERIFY2(code.width() + across > std::min(shot.width(), shot.height()),
                 "a larger whole number of pixels per module would have fit");
        QCOMPARE(decode(shot), QStringList{tunnelAddress().toString(QUrl::FullyEncoded)});
    }

    void tooLongForACode()
    {
        const QUrl address(u"https://a.trycloudflare.com/"_s + QString(3000, u'p'));
        const QrCodeWindow window(address);
        QVERIFY(window.renderImage(3).isNull());
        QVERIFY(!window.findChild<QWidget *>(u"qrCodeImage"_s));
        const auto *text = window.findChild<QLabel *>(u"qrAddress"_s);
        QVERIFY(text);
        QCOMPARE(text->text(), address.toString());
    }
};

QTEST_MAIN(QrCodeWindowTest)
#include "QrCodeWindowTest.moc"
