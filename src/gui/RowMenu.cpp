// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RowMenu.h"

#include <QAction>
#include <QMenu>

namespace Velumo {

RowMenu::RowMenu(QWidget *row, TunnelActions &actions, const QUuid &id)
    : m_row(row)
    , m_actions(actions)
    , m_id(id)
{}

void RowMenu::popup(const QPoint &where, TunnelActions::Kind at, const QString &tunnel)
{
    if (!m_menu) {
        m_menu = new QMenu(m_row);
        m_menu->setObjectName(QStringLiteral("rowMenu"));
        m_menu->setAccessibleName(tr("Actions on %1").arg(tunnel));
        for (const TunnelActions::Kind kind : kinds) {
            m_menu->addAction(m_actions.action(m_id, kind));
        }
    }
    QAction *active = at == TunnelActions::KindCount ? nullptr : m_actions.action(m_id, at);
    if (active && !active->isVisible()) {
        active = nullptr;
    }
    m_menu->popup(where, active);
    if (active) {
        m_menu->setActiveAction(active);
    }
}

} // namespace Velumo
