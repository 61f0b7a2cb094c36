// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QIcon>

// The symbols the window uses, drawn in the palette's text colour so they read on light and dark
// palettes alike.
namespace Velumo::Symbols {

QIcon link();
QIcon play();
QIcon trash();
QIcon stop();
QIcon warning();
QIcon qrCode();
QIcon log();
QIcon inspect();
QIcon requests();
QIcon lock();
QIcon key();
QIcon more();
QIcon appIcon();

} // namespace Velumo::Symbols
