// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QProxyStyle>

namespace Velumo {

// The desktop's own style, with one change: the overflow arrows of the menu bar and tool bars
// are read when first drawn. Both bars ask for theirs when they are made, and the style
// decodes the arrow's images there and then (with a scan of the image plugins the first time),
// before the first frame, for an arrow shown only when the window is too narrow for its menus.
class AppStyle : public QProxyStyle
{
    Q_OBJECT

public:
    AppStyle() = default;

    QIcon standardIcon(StandardPixmap icon, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;
};

} // namespace Velumo
