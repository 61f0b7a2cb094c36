// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/TunnelSession.h"
#include "gui/TunnelActions.h"

#include <QWidget>

#include <array>
#include <optional>

class QHBoxLayout;
class QLabel;
class QModelIndex;

namespace Velumo {

// One tunnel in the list: its label with a status light, then its address with copy, QR code
// and stop buttons, or a restart button, then its log and delete buttons. It shows one row of
// the tunnel registry; its buttons stand for the tunnel's actions. A state change shows, hides
// and enables the buttons it has, so keyboard focus stays where it was; a button is made the
// first time the tunnel needs it.
class TunnelRow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRow)

public:
    TunnelRow(const QModelIndex &index, TunnelActions &actions, QWidget *parent = nullptr);

    const QUuid &id() const { return m_id; }
    // Shows the registry's row as it is now.
    void setState(const QModelIndex &index);

    static QString stateDescription(const TunnelActivity &activity);
    // The restart button's symbol area keeps this size whether it shows play or a spinner.
    static constexpr QSize restartSlotSize{15, 10};

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    // The row's controls after its text, in the order they stand.
    enum Slot {
        Link,
        Warning,
        Http2,
        Copy,
        KeyLink,
        QrCode,
        Inspect,
        Requests,
        Password,
        Stop,
        Restart,
        Log,
        Delete,
        SlotCount
    };

    QWidget *showSlot(Slot slot, bool shown);
    QWidget *make(Slot slot);
    QRect dotRect() const;

    TunnelActions &m_actions;
    QUuid m_id;
    TunnelState m_state = TunnelState::Idle;
    QHBoxLayout *m_layout = nullptr;
    QLabel *m_text = nullptr;
    std::array<QWidget *, SlotCount> m_slots{};
    QWidget *m_spinner = nullptr;
};

} // namespace Velumo
