// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

class QWidget;

namespace Velumo {

// Makes a top-level widget (the log, QR code and requests windows) behave as the window it is:
// a screen reader finds a window named by its title, not an unnamed filler, and Escape closes
// it as it would a dialog.
void makeSecondaryWindow(QWidget *window);

} // namespace Velumo
