// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RowStatus.h"

#include "gui/Symbols.h"

#include <QPainter>
#include <QStyle>
#include <QToolButton>

#include <algorithm>

namespace Velumo {

namespace {

constexpr int dotSide = 12;
constexpr int badgeSide = 18;
constexpr int gap = 6;

QColor stateColor(TunnelState state)
{
    switch (state) {
    case TunnelState::Starting:
    case TunnelState::Announced:
        return QColor(0xf5, 0xa6, 0x23);
    case TunnelState::Connected:
        return QColor(0x2e, 0xa0, 0x43);
    case TunnelState::Ended:
    case TunnelState::FailedToStart:
        return QColor(0xd0, 0x30, 0x30);
    case TunnelState::Idle:
    case TunnelState::Stopped:
        break;
    }
    return QColor(0x9a, 0x9a, 0x9a);
}

constexpr std::array allStates{TunnelState::Idle,      TunnelState::Starting,
                               TunnelState::Announced, TunnelState::Connected,
                               TunnelState::Stopped,   TunnelState::Ended,
                               TunnelState::FailedToStart};

struct BadgeLook {
    const char16_t *name;
    QIcon (*icon)();
    // The action the badge's menu opens at: the one that helps with what it says.
    TunnelActions::Kind help;
};
constexpr std::array<BadgeLook, RowStatus::BadgeCount> badgeLooks{{
    {u"inspectedBadge", &Symbols::inspect, TunnelActions::Inspect},
    {u"passwordBadge", &Symbols::lock, TunnelActions::Password},
    {u"serviceWarning", &Symbols::warning, TunnelActions::ShowLog},
    {u"quicWarning", &Symbols::warning, TunnelActions::StartOverHttp2},
    // The log starts with the command line the rules override.
    {u"ingressWarning", &Symbols::warning, TunnelActions::ShowLog},
    {u"certificateWarning", &Symbols::warning, TunnelActions::TrustCertificate},
    // Or the framework's setting, when another Host does not get past its check.
    {u"hostCheckWarning", &Symbols::warning, TunnelActions::HostHeader},
}};

} // namespace

QToolButton *makeRowButton(QWidget *row, const QString &name, const QString &text,
                           const QIcon &icon)
{
    auto *button = new QToolButton(row);
    button->setObjectName(name);
    // Its accessible name, unless it is given one (see RowAccessibility).
    button->setToolTip(text);
    button->setIcon(icon);
    button->setAutoRaise(true);
    // Two pixels of room around the symbol on every side, the same for every symbol.
    const int side = row->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, row);
    button->setIconSize({side, side});
    button->setFixedSize(side + 2 * 2 + 2, side + 2 * 2 + 2);
    // Reached with Tab; a click leaves the focus where the user was typing.
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

RowStatus::RowStatus(QWidget *row, MenuOpener openMenu)
    : m_row(row)
    , m_openMenu(std::move(openMenu))
{
    for (int badge = 0; badge < BadgeCount; ++badge) {
        m_help[size_t(badge)] = badgeLooks[size_t(badge)].help;
    }
}

int RowStatus::width() const
{
    static const int wordWidth = [this] {
        int widest = 0;
        for (const TunnelState state : allStates) {
            widest = std::max(widest, m_row->fontMetrics().horizontalAdvance(stateWord(state)));
        }
        return widest;
    }();
    return dotSide + gap + wordWidth + gap + BadgeCount * badgeSide;
}

QWidget *RowStatus::setBadge(Badge badge, bool shown, const QString &name,
                             const QString &sentence)
{
    QToolButton *&button = m_badges[badge];
    QToolButton *made = nullptr;
    if (!button) {
        if (!shown) {
            return nullptr;
        }
        const BadgeLook &look = badgeLooks[badge];
        button = made = makeRowButton(m_row, QString::fromUtf16(look.name), {}, look.icon());
        button->setIconSize({badgeSide - 4, badgeSide - 4});
        button->setFixedSize(badgeSide, badgeSide);
        QObject::connect(button, &QToolButton::clicked, m_row,
                         [this, button, badge] { m_openMenu(button, m_help[badge]); });
    }
    // Each of these tells a screen reader, so only what changed is set.
    if (shown && name != button->accessibleName()) {
        button->setAccessibleName(name);
    }
    if (shown && sentence != button->toolTip()) {
        button->setAccessibleDescription(sentence);
        button->setToolTip(sentence);
    }
    button->setVisible(shown);
    return made;
}

QWidget *RowStatus::madeBefore(int badge) const
{
    for (int earlier = badge - 1; earlier >= 0; --earlier) {
        if (m_badges[size_t(earlier)]) {
            return m_badges[size_t(earlier)];
        }
    }
    return nullptr;
}

void RowStatus::place(const QRect &room, int middle)
{
    // After the widest state word, in a fixed order, each where the earlier ones end.
    int x = room.right() + 1 - BadgeCount * badgeSide;
    const int y = middle - badgeSide / 2;
    for (QToolButton *badge : m_badges) {
        if (badge && !badge->isHidden()) {
            badge->setGeometry(x, y, badgeSide, badgeSide);
            x += badgeSide;
        }
    }
}

void RowStatus::paint(QPainter &painter, const QRect &room, int middle, TunnelState state) const
{
    const QRect dot(room.left(), middle - dotSide / 2, dotSide, dotSide);
    painter.setPen(m_row->palette().color(
        m_row->isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(QRect(dot.right() + 1 + gap, 0, m_row->width(), m_row->height()),
                     Qt::AlignVCenter, stateWord(state));
    const QColor color = stateColor(state);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(color.darker(130));
    painter.setBrush(color);
    painter.drawEllipse(QRectF(dot).adjusted(1.5, 1.5, -1.5, -1.5));
    painter.restore();
}

QString RowStatus::stateWord(TunnelState state)
{
    switch (state) {
    case TunnelState::Idle:
        return tr("Not running");
    case TunnelState::Starting:
        return tr("Starting");
    case TunnelState::Announced:
        return tr("Address announced");
    case TunnelState::Connected:
        return tr("Connected");
    case TunnelState::Stopped:
        return tr("Stopped");
    case TunnelState::Ended:
        return tr("Ended");
    case TunnelState::FailedToStart:
        return tr("Failed to start");
    }
    return {};
}

QString RowStatus::stateDescription(const TunnelActivity &activity)
{
    switch (activity.state) {
    case TunnelState::Starting:
        return tr("Starting: waiting for the address");
    case TunnelState::Announced:
        return tr("Address announced, not yet connected");
    case TunnelState::Ended:
        return activity.crashed
                   ? tr("Ended: cloudflared crashed")
                   : tr("Ended: cloudflared exited with code %1").arg(activity.exitCode);
    case TunnelState::FailedToStart:
        return tr("cloudflared could not be started");
    default:
        return stateWord(activity.state);
    }
}

} // namespace Velumo
