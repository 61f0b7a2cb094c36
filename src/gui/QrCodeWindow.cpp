// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/QrCodeWindow.h"

#include "gui/SecondaryWindow.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

namespace Velumo {

namespace {

// Readers need four light modules on every side to find the symbol.
constexpr int quietZone = 4;

int modulesAcross(const QrCode &code)
{
    return code.size + 2 * quietZone;
}

QImage renderCode(const QrCode &code, int pixelsPerModule)
{
    if (pixelsPerModule < 1) {
        return {};
    }
    const int across = modulesAcross(code);
    const int side = across * pixelsPerModule;
    QImage image(side, side, QImage::Format_Grayscale8);
    if (image.isNull()) {
        return {};
    }
    // Whole rows of bytes rather than a painter: no smoothing can creep in between modules.
    for (int y = 0; y < side; ++y) {
        uchar *line = image.scanLine(y);
        const int moduleY = y / pixelsPerModule - quietZone;
        for (int moduleX = 0; moduleX < across; ++moduleX) {
            const uchar value = code.dark(moduleX - quietZone, moduleY) ? 0 : 255;
            std::memset(line + moduleX * pixelsPerModule, value,
                        static_cast<std::size_t>(pixelsPerModule));
        }
    }
    return image;
}

// Draws the code as large as whole device pixels per module allow, centred, so every module
// edge lands on a pixel edge at any window size and scale factor.
class QrCodeCanvas : public QWidget
{
public:
    QrCodeCanvas(const QrCode &code, QWidget *parent)
        : QWidget(parent)
        , m_code(code)
    {}

    QSize sizeHint() const override
    {
        const int side = modulesAcross(m_code) * 6;
        return {side, side};
    }

    QSize minimumSizeHint() const override
    {
        const int side = modulesAcross(m_code) * 2;
        return {side, side};
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        Q_UNUSED(event)
        QPainter painter(this);
        const qreal ratio = painter.device()->devicePixelRatio();
        painter.scale(1 / ratio, 1 / ratio);
        const int deviceWidth = static_cast<int>(width() * ratio);
        const int deviceHeight = static_cast<int>(height() * ratio);

        const int pixelsPerModule =
            std::max(1, std::min(deviceWidth, deviceHeight) / modulesAcross(m_code));
        if (m_image.isNull() || m_image.width() != modulesAcross(m_code) * pixelsPerModule) {
            m_image = renderCode(m_code, pixelsPerModule);
        }
        painter.drawImage(
            QPoint((deviceWidth - m_image.width()) / 2, (deviceHeight - m_image.height()) / 2),
            m_image);
    }

private:
    QrCode m_code;
    QImage m_image;
};

} // namespace

QrCodeWindow::QrCodeWindow(const QUrl &address, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_address(address)
    , m_code(encodeQrCode(address.toString(QUrl::FullyEncoded).toUtf8()))
{
    setObjectName(QStringLiteral("qrCodeWindow"));
    setWindowTitle(tr("QR code"));
    setAccessibleName(tr("QR code"));

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(12);

    if (m_code) {
        auto *canvas = new QrCodeCanvas(*m_code, this);
        canvas->setObjectName(QStringLiteral("qrCodeImage"));
        canvas->setAccessibleName(tr("QR code"));
        canvas->setAccessibleDescription(tr("QR code for %1").arg(address.toString()));
        layout->addWidget(canvas, 1);
    } else {
        auto *tooLong = new QLabel(tr("This address is too long for a QR code."), this);
        tooLong->setObjectName(QStringLiteral("qrCodeTooLong"));
        tooLong->setAccessibleName(tr("No QR code"));
        tooLong->setAlignment(Qt::AlignCenter);
        layout->addWidget(tooLong, 1);
    }

    // The address as plain text, never markup, so it can be read and copied exactly.
    auto *text = new QLabel(this);
    text->setObjectName(QStringLiteral("qrAddress"));
    text->setAccessibleName(tr("Address"));
    text->setTextFormat(Qt::PlainText);
    text->setText(address.toString());
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setAlignment(Qt::AlignHCenter);
    text->setWordWrap(true);
    layout->addWidget(text);
    makeSecondaryWindow(this);
}

QImage QrCodeWindow::renderImage(int pixelsPerModule) const
{
    return m_code ? renderCode(*m_code, pixelsPerModule) : QImage();
}

} // namespace Velumo
