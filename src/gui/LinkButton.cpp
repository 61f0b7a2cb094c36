// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/LinkButton.h"

#include <QPushButton>

namespace Velumo {

QPushButton *makeLinkButton(QWidget *parent, const QString &objectName)
{
    auto *link = new QPushButton(parent);
    link->setObjectName(objectName);
    link->setFlat(true);
    link->setAutoDefault(true);
    link->setCursor(Qt::PointingHandCursor);
    QFont font = link->font();
    font.setUnderline(true);
    link->setFont(font);
    QPalette palette = link->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::ButtonText, palette.color(group, QPalette::Link));
    }
    link->setPalette(palette);
    // Never narrower than its text, and as tall as the line allows.
    link->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
    return link;
}

} // namespace Velumo
