// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelRow.h"

#include "core/TunnelRegistry.h"
#include "gui/RowPages.h"
#include "gui/Spinner.h"
#include "gui/Symbols.h"

#include <QAccessible>
#include <QAction>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QToolButton>

namespace Velumo {

namespace {

// Room around the restart button's symbol on every side.
constexpr int restartMargin = 7;
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

// The action each badge's menu opens at: the one that helps with what it says.
constexpr std::array<TunnelActions::Kind, 4> badgeHelp{
    TunnelActions::Inspect, TunnelActions::Password, TunnelActions::ShowLog,
    TunnelActions::StartOverHttp2};

} // namespace

TunnelRow::TunnelRow(const QModelIndex &index, TunnelActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_actions(actions)
    , m_id(index.data(TunnelRegistry::IdRole).toUuid())
{
    setObjectName(QStringLiteral("tunnelRow"));
    // The row takes focus, so its state is reached by keyboard; arrows move between rows.
    setFocusPolicy(Qt::StrongFocus);
    // At least as wide as its address needs: a narrow window scrolls the list sideways.
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
    m_layout = new QHBoxLayout(this);
    // The divider takes the bottom line.
    m_layout->setContentsMargins(8, 2, 8, 3);

    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("tunnelLabel"));
    m_text->setTextFormat(Qt::PlainText);
    m_layout->addWidget(m_text);
    // The light, the state word and the badges are painted or placed in a room as wide as the
    // widest word and every badge, so nothing after it moves when they change.
    static const int wordWidth = [this] {
        int widest = 0;
        for (const TunnelState state : allStates) {
            widest = std::max(widest, fontMetrics().horizontalAdvance(stateWord(state)));
        }
        return widest;
    }();
    m_layout->addSpacing(dotSide + gap + wordWidth + gap + badgeCount * badgeSide);
    // The link goes before this flexible space, the other controls after it. The space keeps
    // room for a usual quick tunnel's address, so an address that arrives seldom widens the
    // list, which would lay out every row again.
    m_room = new QSpacerItem(addressRoom(), 0, QSizePolicy::Expanding, QSizePolicy::Minimum);
    m_layout->addItem(m_room);
    // Made in the order they stand, so the Tab order is theirs without being set.
    setState(index);
    m_built = true;

    // As tall in every state, so a row that starts or stops moves none below it.
    const QMargins margins = m_layout->contentsMargins();
    setMinimumHeight(
        std::max(restartSlotSize.height() + 2 * restartMargin, m_slots[Delete]->height()) +
        margins.top() + margins.bottom());
}

void TunnelRow::setState(const QModelIndex &index)
{
    using Role = TunnelRegistry::Role;
    const TunnelActivity activity = index.data(Role::ActivityRole).value<TunnelActivity>();
    const QUrl address = index.data(Role::AddressRole).toUrl();
    const bool hasUrl = !address.isEmpty();
    const bool loading = index.data(Role::LoadingRole).toBool();
    const QString hostname = index.data(Role::HostnameRole).toString();
    const bool announce = m_built && QAccessible::isActive();
    const QString before = announce ? accessibleSummary() : QString();
    const bool stateChanged = m_state != activity.state || isEnabled() == loading;
    m_state = activity.state;
    m_address = address.toString();
    m_text->setText(index.data(Qt::DisplayRole).toString());
    // Screen readers hear the state with the tunnel's name; the light and word show it.
    QString description = stateDescription(activity);
    if (!activity.problem.isEmpty()) {
        description += u'\n' + activity.problem;
    }
    m_text->setAccessibleDescription(description);
    setToolTip(description);
    update();

    const bool inspected = index.data(Role::InspectedRole).toBool();
    const bool password = index.data(Role::PasswordRole).toBool();
    setBadge(Inspected, inspected, tr("Inspected"),
             tr("Requests pass through Velumo's proxy, which lists them"));
    setBadge(Protected, password, tr("Password required"),
             tr("Visitors need the password or the link with key"));
    // A tunnel whose local service is set elsewhere (in the dashboard) has none to check here.
    const QVariant listening = index.data(Role::ServiceListeningRole);
    const QString target = hostname + u':' + index.data(Role::PortRole).toString();
    const QString nothing = tr("Nothing is listening on %1").arg(target);
    setBadge(NotListening, listening.isValid() && !listening.toBool() && !hostname.isEmpty(),
             nothing, nothing);
    setBadge(QuicBlocked, activity.quicBlocked, tr("QUIC blocked"),
             tr("The network seems to block the UDP that QUIC needs: start cloudflared again "
                "over HTTP/2"));
    placeBadges();

    // An ended tunnel keeps its address, struck through, until it starts again.
    auto *link = static_cast<QPushButton *>(showSlot(Link, hasUrl));
    if (link && hasUrl) {
        link->setText(m_address);
    }
    showSlot(Copy, hasUrl);
    // The room left beside the address, or its whole room and the copy button's without one.
    const int spacing = m_layout->spacing();
    const int room = hasUrl ? std::max(0, addressRoom() - link->sizeHint().width() - spacing)
                            : addressRoom() + copyWidth() + spacing;
    if (m_room->sizeHint().width() != room) {
        m_room->changeSize(room, 0, QSizePolicy::Expanding, QSizePolicy::Minimum);
        m_layout->invalidate();
    }
    if (link && hasUrl) {
        link->setToolTip(tr("Open %1 in the browser").arg(address.toString()));
        // A font set again would lay the list out again.
        if (const bool ended = activity.state == TunnelState::Ended;
            link->font().strikeOut() != ended) {
            QFont font = link->font();
            font.setStrikeOut(ended);
            link->setFont(font);
        }
    }
    showSlot(More, true);
    // A tool serving the address can be stopped; otherwise the address no longer answers (or
    // there is none), so a fresh start is offered.
    const bool serving = activity.running && (hasUrl || !loading);
    showSlot(Stop, serving);
    if (auto *restart = static_cast<QToolButton *>(showSlot(Restart, !serving))) {
        // While the tunnel starts, a spinner turns where the play symbol was.
        if (restart->icon().isNull() != loading) {
            restart->setIcon(loading ? QIcon() : Symbols::play());
        }
        if (loading && !m_spinner) {
            auto *spinner = new Spinner(restart);
            spinner->setScale(0.5);
            spinner->setGeometry({QPoint(restartMargin, restartMargin), restartSlotSize});
            m_spinner = spinner;
        }
        if (m_spinner) {
            m_spinner->setVisible(loading);
        }
    }
    showSlot(Delete, true);
    setEnabled(!loading);
    // A screen reader hears a new state or address (once the row has been shown at all).
    if (!announce) {
        return;
    }
    if (accessibleSummary() != before) {
        QAccessibleEvent renamed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&renamed);
    }
    if (stateChanged) {
        QAccessible::State changed;
        changed.busy = true;
        changed.disabled = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
}

int TunnelRow::addressRoom() const
{
    // About as wide as a quick tunnel's address, four words long.
    static const int room = fontMetrics().averageCharWidth() * 56;
    return room;
}

int TunnelRow::copyWidth() const
{
    return style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this) + 2 * 2 + 2;
}

QString TunnelRow::accessibleSummary() const
{
    QString summary = m_text->text() + QStringLiteral(", ") + stateWord(m_state);
    if (!m_address.isEmpty()) {
        summary += QStringLiteral(", ") + m_address;
    }
    return summary;
}

void TunnelRow::setBadge(Slot slot, bool shown, const QString &name, const QString &sentence)
{
    if (QWidget *badge = showSlot(slot, shown); badge && shown) {
        badge->setAccessibleName(name);
        badge->setAccessibleDescription(sentence);
        badge->setToolTip(sentence);
    }
}

void TunnelRow::placeBadges()
{
    // After the widest state word, in a fixed order, each where the earlier ones end.
    const QRect room = m_layout->itemAt(1)->geometry();
    int x = room.right() + 1 - badgeCount * badgeSide;
    const int y = m_text->geometry().center().y() - badgeSide / 2;
    for (int slot = 0; slot < badgeCount; ++slot) {
        if (QWidget *badge = m_slots[slot]; badge && !badge->isHidden()) {
            badge->setGeometry(x, y, badgeSide, badgeSide);
            x += badgeSide;
        }
    }
}

QWidget *TunnelRow::showSlot(Slot slot, bool shown)
{
    QWidget *&widget = m_slots[slot];
    if (!widget) {
        if (!shown) {
            return nullptr;
        }
        widget = make(slot);
        if (slot >= Link) {
            // Each before the next control the row has.
            int at = m_layout->count();
            for (int next = slot + 1; slot != Link && next < SlotCount; ++next) {
                if (m_slots[next]) {
                    at = m_layout->indexOf(m_slots[next]);
                    break;
                }
            }
            m_layout->insertWidget(slot == Link ? 2 : at, widget);
        }
        // Tab goes through the controls in the order they are seen.
        QWidget *before = this;
        for (int earlier = slot - 1; m_built && earlier >= 0; --earlier) {
            if (m_slots[earlier]) {
                before = m_slots[earlier];
                break;
            }
        }
        if (m_built) {
            setTabOrder(before, widget);
        }
    }
    widget->setVisible(shown);
    return widget;
}

QWidget *TunnelRow::make(Slot slot)
{
    auto button = [this](const QString &name, const QString &text, const QIcon &icon) {
        auto *button = new QToolButton(this);
        button->setObjectName(name);
        button->setAccessibleName(text);
        button->setToolTip(text);
        button->setIcon(icon);
        button->setAutoRaise(true);
        // Two pixels of room around the symbol on every side, the same for every symbol.
        const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
        button->setIconSize({side, side});
        button->setFixedSize(side + 2 * 2 + 2, side + 2 * 2 + 2);
        // Reached with Tab; a click leaves the focus where the user was typing.
        button->setFocusPolicy(Qt::TabFocus);
        return button;
    };
    auto action = [this, button](const QString &name, TunnelActions::Kind kind, const QIcon &icon) {
        QToolButton *made = button(name, TunnelActions::text(kind), icon);
        m_actions.bind(made, m_id, kind);
        return made;
    };
    auto badge = [this, button](const QString &name, const QIcon &icon, Slot slot) {
        QToolButton *made = button(name, {}, icon);
        made->setIconSize({badgeSide - 4, badgeSide - 4});
        made->setFixedSize(badgeSide, badgeSide);
        connect(made, &QToolButton::clicked, this,
                [this, made, slot] { openMenu(made, badgeHelp[slot]); });
        return made;
    };

    switch (slot) {
    case Inspected:
        return badge(QStringLiteral("inspectedBadge"), Symbols::inspect(), slot);
    case Protected:
        return badge(QStringLiteral("passwordBadge"), Symbols::lock(), slot);
    case NotListening:
        return badge(QStringLiteral("serviceWarning"), Symbols::warning(), slot);
    case QuicBlocked:
        return badge(QStringLiteral("quicWarning"), Symbols::warning(), slot);
    case Link: {
        auto *link = new QPushButton(this);
        link->setObjectName(QStringLiteral("tunnelLink"));
        link->setFlat(true);
        // Return opens it as well as Space, as a link in a browser.
        link->setAutoDefault(true);
        link->setCursor(Qt::PointingHandCursor);
        QFont font = link->font();
        font.setUnderline(true);
        link->setFont(font);
        QPalette palette = link->palette();
        for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            palette.setColor(group, QPalette::ButtonText, palette.color(group, QPalette::Link));
        }
        link->setPalette(palette);
        // Never narrower than its text, and as tall as the row allows.
        link->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Ignored);
        m_actions.bind(link, m_id, TunnelActions::OpenAddress);
        return link;
    }
    case Copy:
        return action(QStringLiteral("copyButton"), TunnelActions::CopyAddress, Symbols::link());
    case More: {
        QToolButton *more = button(QStringLiteral("moreButton"), tr("More actions"), {});
        more->setText(QStringLiteral("⋯"));
        connect(more, &QToolButton::clicked, this, [this, more] { openMenu(more); });
        return more;
    }
    case Stop: {
        // As wide as the restart button, so the row keeps its width when one replaces the other.
        QToolButton *stop =
            action(QStringLiteral("stopButton"), TunnelActions::Stop, Symbols::stop());
        stop->setFixedSize(restartSlotSize + QSize(restartMargin, restartMargin) * 2);
        return stop;
    }
    case Restart: {
        QToolButton *restart =
            action(QStringLiteral("restartButton"), TunnelActions::Restart, Symbols::play());
        restart->setIconSize(restartSlotSize);
        restart->setFixedSize(restartSlotSize + QSize(restartMargin, restartMargin) * 2);
        return restart;
    }
    case Delete:
        return action(QStringLiteral("deleteButton"), TunnelActions::Delete, Symbols::trash());
    case SlotCount:
        break;
    }
    return nullptr;
}

void TunnelRow::openMenu(QWidget *anchor, TunnelActions::Kind at)
{
    const QWidget *from = anchor ? anchor : m_text;
    popMenu(from->mapToGlobal(QPoint(0, from->height())), at);
}

void TunnelRow::popMenu(const QPoint &where, TunnelActions::Kind at)
{
    if (!m_menu) {
        m_menu = new QMenu(this);
        m_menu->setObjectName(QStringLiteral("rowMenu"));
        m_menu->setAccessibleName(tr("Actions on %1").arg(m_text->text()));
        for (const TunnelActions::Kind kind : menuKinds) {
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

QString TunnelRow::stateWord(TunnelState state)
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

QString TunnelRow::stateDescription(const TunnelActivity &activity)
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

QRect TunnelRow::dotRect() const
{
    const QRect room = m_layout->itemAt(1)->geometry();
    return {room.left(), m_text->geometry().center().y() - dotSide / 2, dotSide, dotSide};
}

void TunnelRow::paintEvent(QPaintEvent *)
{
    // The status light, its word and the divider below the row: widgets of their own would
    // cost each row as much as a button.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(1, 1, -1, -2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
    const QRect dot = dotRect();
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                   QPalette::WindowText));
    painter.drawText(QRect(dot.right() + 1 + gap, 0, width(), height()), Qt::AlignVCenter,
                     stateWord(m_state));
    const QColor color = stateColor(m_state);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(color.darker(130));
    painter.setBrush(color);
    painter.drawEllipse(QRectF(dot).adjusted(1.5, 1.5, -1.5, -1.5));
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
    placeBadges();
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
    auto *pages = qobject_cast<RowPages *>(parentWidget() ? parentWidget()->parentWidget() : nullptr);
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
