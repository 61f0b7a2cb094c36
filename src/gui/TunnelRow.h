// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "Tunnel.h"

#include <QWidget>

class QLabel;
class QToolButton;

namespace Velumo {

class ContentModel;
class Spinner;

// One tunnel in the list: "host:port", then its address with a copy button or a restart
// button, then a delete button. Works on a copy of the record taken at the last update.
class TunnelRow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRow)

public:
    TunnelRow(const Tunnel &tunnel, ContentModel *model, QWidget *parent = nullptr);

    const Tunnel &tunnel() const { return m_tunnel; }
    // Rebuilds the row's content for a changed record with the same id.
    void setTunnel(const Tunnel &tunnel);

    // The restart button's symbol area keeps this size whether it shows play or a spinner.
    static constexpr QSize restartSlotSize{15, 10};

    static void copyToClipboard(const QString &text);

private:
    void rebuild();
    void clear();

    Tunnel m_tunnel;
    ContentModel *m_model;
    QLabel *m_text = nullptr;
    QList<QWidget *> m_stateWidgets;
    QToolButton *m_deleteButton = nullptr;
};

} // namespace Velumo
