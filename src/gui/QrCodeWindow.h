// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "gui/QrCode.h"

#include <QImage>
#include <QUrl>
#include <QWidget>

#include <optional>

namespace Velumo {

// A public address as a QR code for a phone's camera, with the address as text beneath it.
// A window of its own, not modal, so the main window stays usable while it is open.
class QrCodeWindow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QrCodeWindow)

public:
    explicit QrCodeWindow(const QUrl &address, QWidget *parent = nullptr);

    QUrl address() const { return m_address; }

    // Black on white with the four-module quiet zone, each module a square of the given size.
    // A null image when the address did not fit in a QR code or the size is below one.
    QImage renderImage(int pixelsPerModule) const;

private:
    QUrl m_address;
    std::optional<QrCode> m_code;
};

} // namespace Velumo
