// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentView.h"

namespace Velumo {

ContentView::ContentView(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("contentView"));
    setWindowTitle(QStringLiteral("Velumo"));
}

} // namespace Velumo
