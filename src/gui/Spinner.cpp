// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/Spinner.h"

#include <QPainter>
#include <QStyle>
#include <QTimerEvent>

namespace Velumo {

namespace {
constexpr int stepCount = 12;
constexpr int frameInterval = 80;
} // namespace

Spinner::Spinner(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("spinner"));
    setAccessibleName(tr("Working"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

int Spinner::naturalSize(const QWidget *widget)
{
    return widget->style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, widget);
}

void Spinner::setScale(qreal scale)
{
    m_scale = scale;
    updateGeometry();
    update();
}

QSize Spinner::sizeHint() const
{
    const int side = qRound(naturalSize(this) * m_scale);
    return {side, side};
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min({qreal(width()), qreal(height()), naturalSize(this) * m_scale});
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal outer = side / 2.0;
    const qreal inner = outer * 0.45;
    QPen pen(palette().color(QPalette::WindowText));
    pen.setWidthF(std::max(1.0, side / 10.0));
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < stepCount; ++i) {
        QColor color = pen.color();
        // The spoke at the current step is darkest; the ones behind it fade out.
        const int age = (m_step - i + stepCount) % stepCount;
        color.setAlphaF(1.0 - age / qreal(stepCount) * 0.85);
        pen.setColor(color);
        painter.setPen(pen);
        painter.save();
        painter.rotate(i * 360.0 / stepCount);
        painter.drawLine(QPointF(0, -inner), QPointF(0, -outer + pen.widthF() / 2));
        painter.restore();
    }
}

void Spinner::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timer.timerId()) {
        m_step = (m_step + 1) % stepCount;
        update();
    }
}

void Spinner::showEvent(QShowEvent *)
{
    m_timer.start(frameInterval, this);
}

void Spinner::hideEvent(QHideEvent *)
{
    m_timer.stop();
}

} // namespace Velumo
