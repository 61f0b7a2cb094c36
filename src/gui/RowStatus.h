// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/TunnelSession.h"
#include "gui/TunnelActions.h"

#include <QCoreApplication>

#include <array>
#include <functional>

class QIcon;
class QPainter;
class QRect;
class QString;
class QToolButton;
class QWidget;

namespace Velumo {

// A symbol button as a row has them: auto-raised, named by its text (its tool tip, which a
// screen reader hears as its name), reached with Tab only.
QToolButton *makeRowButton(QWidget *row, const QString &name, const QString &text,
                           const QIcon &icon);

// The room after a row's hostname: the tunnel's state as a light and a word, then the badges of
// what is switched on or wrong. The light and word are painted into the row; the badges are
// small buttons made the first time they show, each opening the row's menu at the action that
// helps with what it says.
class RowStatus
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::RowStatus)

public:
    enum Badge {
        Inspected,
        Protected,
        NotListening,
        QuicBlocked,
        IngressRules,
        CertificateNotTrusted,
        HostRefused,
        BadgeCount
    };
    // Opens the row's menu below `badge`, with `at` highlighted.
    using MenuOpener = std::function<void(QWidget *badge, TunnelActions::Kind at)>;

    RowStatus(QWidget *row, MenuOpener openMenu);

    // As wide as the widest state word and every badge, so nothing after it moves.
    int width() const;
    // Shows or hides a badge, with its name and its sentence as tool tip and description.
    // Returns the badge when this made it.
    QWidget *setBadge(Badge badge, bool shown, const QString &name, const QString &sentence);
    // The action the badge's menu opens at, when it depends on what the badge says.
    void setHelp(Badge badge, TunnelActions::Kind help) { m_help[badge] = help; }
    // The last badge made before `badge` (all of them for BadgeCount), for the Tab order.
    QWidget *madeBefore(int badge) const;
    // Puts the shown badges at the end of `room`, centred on the line at `middle`.
    void place(const QRect &room, int middle);
    void paint(QPainter &painter, const QRect &room, int middle, TunnelState state) const;

    static QString stateWord(TunnelState state);
    static QString stateDescription(const TunnelActivity &activity);

private:
    QWidget *m_row;
    MenuOpener m_openMenu;
    std::array<QToolButton *, BadgeCount> m_badges{};
    std::array<TunnelActions::Kind, BadgeCount> m_help{};
};

} // namespace Velumo
