// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/StatusLine.h"

#include <QPainter>

namespace Velumo {

StatusLine::StatusLine(QWidget *parent)
    : QLabel(parent)
{
    setObjectName(QStringLiteral("statusLine"));
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void StatusLine::setMessage(const QString &message)
{
    setText(message);
    setToolTip(message);
}

void StatusLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

} // namespace Velumo
