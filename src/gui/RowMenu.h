// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "gui/TunnelActions.h"

#include <QCoreApplication>
#include <QUuid>

#include <array>

class QMenu;
class QPoint;
class QWidget;

namespace Velumo {

// A row's "More actions" menu: the tunnel's actions that have no button of their own. Made the
// first time it opens, as most rows never open theirs.
class RowMenu
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::RowMenu)

public:
    // The actions of the menu, in its order.
    static constexpr std::array kinds{
        TunnelActions::OpenAddress,    TunnelActions::ShowQrCode,   TunnelActions::ShowLog,
        TunnelActions::ShowRequests,   TunnelActions::Inspect,      TunnelActions::Password,
        TunnelActions::HostHeader,     TunnelActions::AllowHost,    TunnelActions::CopyLinkWithKey,
        TunnelActions::StartOverHttp2, TunnelActions::ShowPassword, TunnelActions::SetNewPassword,
        TunnelActions::PasswordOff, TunnelActions::StartWithVelumo, TunnelActions::TrustCertificate};

    RowMenu(QWidget *row, TunnelActions &actions, const QUuid &id);

    // Opens the menu at the global point `where`, with `at` highlighted if it is shown.
    // `tunnel` names the tunnel, as the menu's accessible name says it.
    void popup(const QPoint &where, TunnelActions::Kind at, const QString &tunnel);

private:
    QWidget *m_row;
    TunnelActions &m_actions;
    QUuid m_id;
    QMenu *m_menu = nullptr;
};

} // namespace Velumo
