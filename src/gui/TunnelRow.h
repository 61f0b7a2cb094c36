// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/ContentModel.h"
#include "core/Tunnel.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class QLabel;
class QSpacerItem;
class QToolButton;

namespace Velumo {

class LogWindow;
class Spinner;

// One tunnel in the list: "host:port" and its status, then its address with copy, QR code and
// stop buttons or a restart button, then its log and delete buttons, and a divider below.
// Works on a copy of the record taken at the last update. The status dot and the divider are
// painted by the row: as widgets they made up a good part of what a long list cost.
class TunnelRow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRow)

public:
    // Shows the record with what the model knows now of its tool and its local service.
    TunnelRow(const Tunnel &tunnel, ContentModel *model, QWidget *parent = nullptr);

    const Tunnel &tunnel() const { return m_tunnel; }
    // Rebuilds the row's content when the record, what its tool does, or whether its local
    // service answers has changed; returns whether anything was rebuilt.
    bool update(const Tunnel &tunnel, const TunnelActivity &activity,
                std::optional<bool> serviceListening);

    // The restart button's symbol area keeps this size whether it shows play or a spinner.
    static constexpr QSize restartSlotSize{15, 10};

    static void copyToClipboard(const QString &text);
    static QString stateDescription(const TunnelActivity &activity);

    void showLog();
    void showQrCode();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void rebuild();
    QRect dotRect() const;

    Tunnel m_tunnel;
    TunnelActivity m_activity;
    std::optional<bool> m_serviceListening;
    ContentModel *m_model;
    QLabel *m_text = nullptr;
    QSpacerItem *m_stateDot = nullptr;
    QList<QWidget *> m_stateWidgets;
    QToolButton *m_logButton = nullptr;
    QToolButton *m_deleteButton = nullptr;
    QPointer<LogWindow> m_logWindow;
    QPointer<QWidget> m_qrWindow;
};

} // namespace Velumo
