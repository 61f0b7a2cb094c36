// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

class QPushButton;
class QString;
class QWidget;

namespace Velumo {

// A button drawn as a link: underlined, in the palette's link colour, never narrower than its
// text. Return opens it as well as Space, as a link in a browser does.
QPushButton *makeLinkButton(QWidget *parent, const QString &objectName);

} // namespace Velumo
