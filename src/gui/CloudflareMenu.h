// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QMenu>

namespace Velumo {

class NamedTunnelModel;

// The Cloudflare menu: signing in and out of the account, and adding named tunnels (new, from
// a dashboard token, existing). Whether the user is signed in is looked up as it opens.
class CloudflareMenu : public QMenu
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CloudflareMenu)

public:
    CloudflareMenu(NamedTunnelModel &model, QWidget *parent);

private:
    void refresh();
    void signOut();

    NamedTunnelModel &m_model;
    QAction *m_state = nullptr;
    QAction *m_signIn = nullptr;
    QAction *m_signOut = nullptr;
    QAction *m_new = nullptr;
    QAction *m_existing = nullptr;
};

} // namespace Velumo
