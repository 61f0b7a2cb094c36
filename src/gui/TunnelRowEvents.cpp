// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
// TunnelRow's painting and its answers to the pointer, the keyboard and focus.
#include "gui/TunnelRow.h"

#include "gui/RowPages.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include <algorithm>

namespace Velumo {

int TunnelRow::middle() const
{
    return m_nameRoom->geometry().center().y();
}

QRect TunnelRow::statusRoom() const
{
    return m_layout->itemAt(1)->geometry();
}

void TunnelRow::paintEvent(QPaintEvent *)
{
    // The name, the status light, its word and the divider below the row: widgets of their own
    // would cost each row as much as a button.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(1, 1, -1, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
    style()->drawItemText(&painter, m_nameRoom->geometry(), Qt::AlignLeft | Qt::AlignVCenter,
                          palette(), isEnabled(), m_name, QPalette::WindowText);
    m_status.paint(painter, statusRoom(), middle(), m_state);
}

void TunnelRow::focusInEvent(QFocusEvent *event)
{
    QWidget::focusInEvent(event);
    update();
}

void TunnelRow::focusOutEvent(QFocusEvent *event)
{
    QWidget::focusOutEvent(event);
    update();
}

void TunnelRow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_status.place(statusRoom(), middle());
}

void TunnelRow::mouseDoubleClickEvent(QMouseEvent *event)
{
    QWidget::mouseDoubleClickEvent(event);
    m_actions.action(m_id, TunnelActions::ShowLog)->trigger();
}

void TunnelRow::contextMenuEvent(QContextMenuEvent *event)
{
    // A right click, the Menu key on the row or any control in it.
    if (event->reason() == QContextMenuEvent::Mouse) {
        popMenu(event->globalPos(), TunnelActions::KindCount);
    } else {
        openMenu(focusWidget());
    }
}

void TunnelRow::keyPressEvent(QKeyEvent *event)
{
    // The Menu key as well, where the platform does not turn it into a context menu request.
    if (event->key() == Qt::Key_Menu ||
        (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
        openMenu(focusWidget());
        return;
    }
    const int step = event->key() == Qt::Key_Down ? 1 : event->key() == Qt::Key_Up ? -1 : 0;
    auto *pages =
        qobject_cast<RowPages *>(parentWidget() ? parentWidget()->parentWidget() : nullptr);
    if (step != 0 && pages) {
        const std::vector<TunnelRow *> rows = pages->rows();
        const auto at = std::ranges::find(rows, this) - rows.cbegin() + step;
        if (at >= 0 && at < qsizetype(rows.size())) {
            rows[size_t(at)]->setFocus(Qt::TabFocusReason);
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace Velumo
