// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/TunnelSession.h"
#include "gui/RowMenu.h"
#include "gui/RowStatus.h"
#include "gui/TunnelActions.h"

#include <QWidget>

#include <array>

class QHBoxLayout;
class QSpacerItem;
class QModelIndex;
class QToolButton;

namespace Velumo {

// One tunnel in the list, left to right: `hostname:port`, its state as a light and a word with
// the badges of what is switched on or wrong, its whole address as a link, then copy, "More
// actions", restart or stop, and delete. Everything else is in the row's menu, made when first
// opened. A state change shows, hides and enables what the row has, so keyboard focus stays
// where it was; a control is made the first time the tunnel needs it.
class TunnelRow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRow)

public:
    TunnelRow(const QModelIndex &index, TunnelActions &actions, QWidget *parent = nullptr);

    const QUuid &id() const { return m_id; }
    // Shows the registry's row as it is now.
    void setState(const QModelIndex &index);
    // Opens the row's menu below `anchor` (or at the row's start), with `at` highlighted.
    void openMenu(QWidget *anchor = nullptr,
                  TunnelActions::Kind at = TunnelActions::KindCount);

    // What a screen reader calls the row: "localhost:3000, Connected, https://…".
    QString accessibleSummary() const;

    // The restart button's symbol area keeps this size whether it shows play or a spinner.
    static constexpr QSize restartSlotSize{15, 10};

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    // The row's controls after its badges, in the order they stand.
    enum Slot {
        Link,
        Copy,
        More,
        Restart,
        Stop,
        Delete,
        SlotCount
    };
    QWidget *showSlot(Slot slot, bool shown);
    QWidget *make(Slot slot);
    void setBadge(RowStatus::Badge badge, bool shown, const QString &name,
                  const QString &sentence);
    void popMenu(const QPoint &where, TunnelActions::Kind at);
    QRect statusRoom() const;
    // The line through the middle of the name, the light and the badges.
    int middle() const;
    int addressRoom() const;
    int copyWidth() const;

    TunnelActions &m_actions;
    QUuid m_id;
    TunnelState m_state = TunnelState::Idle;
    QHBoxLayout *m_layout = nullptr;
    QString m_name;
    QSpacerItem *m_nameRoom = nullptr;
    std::array<QWidget *, SlotCount> m_slots{};
    QWidget *m_spinner = nullptr;
    RowStatus m_status;
    RowMenu m_menu;
    QString m_address;
    QSpacerItem *m_room = nullptr;
    bool m_built = false;
};

} // namespace Velumo
