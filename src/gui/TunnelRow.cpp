// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelRow.h"

#include "core/TunnelRegistry.h"
#include "gui/LinkButton.h"
#include "gui/Spinner.h"
#include "gui/Symbols.h"

#include <QAccessible>
#include <QAction>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

namespace Velumo {

namespace {

// Room around the restart button's symbol on every side.
constexpr int restartMargin = 7;

} // namespace

TunnelRow::TunnelRow(const QModelIndex &index, TunnelActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_actions(actions)
    , m_id(index.data(TunnelRegistry::IdRole).toUuid())
    , m_status(this, [this](QWidget *badge, TunnelActions::Kind at) { openMenu(badge, at); })
    , m_menu(this, actions, m_id)
{
    setObjectName(QStringLiteral("tunnelRow"));
    // The row takes focus, so its state is reached by keyboard; arrows move between rows.
    setFocusPolicy(Qt::StrongFocus);
    // At least as wide as its address needs: a narrow window scrolls the list sideways.
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Preferred);
    m_layout = new QHBoxLayout(this);
    // The divider takes the bottom line.
    m_layout->setContentsMargins(8, 2, 8, 3);

    // The tunnel's name is painted in a room as wide as it, as the state word is: a label
    // would cost each row as much as a button and measure its text three times.
    m_nameRoom = new QSpacerItem(0, fontMetrics().height(), QSizePolicy::Fixed);
    m_layout->addItem(m_nameRoom);
    // The light, the state word and the badges are painted or placed in a room of their own,
    // so nothing after it moves when they change.
    m_layout->addSpacing(m_status.width());
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
    // Each control shown would lay the row out on its own: the row is laid out once, below.
    m_layout->setEnabled(false);
    bool repaint = stateChanged;
    if (QString name = index.data(Qt::DisplayRole).toString(); name != m_name) {
        m_name = std::move(name);
        // With the layout's spacing after it, as a widget there would have.
        m_nameRoom->changeSize(fontMetrics().horizontalAdvance(m_name) + m_layout->spacing(),
                               fontMetrics().height(), QSizePolicy::Fixed);
        m_layout->invalidate();
        repaint = true;
    }
    // Screen readers hear the state as the row's description; the light and word show it.
    QString description = RowStatus::stateDescription(activity);
    if (!activity.problem.isEmpty()) {
        description += u'\n' + activity.problem;
    }
    const QString service = hostname + u':' + index.data(Role::PortRole).toString();
    const auto trust = CertificateTrust(index.data(Role::CertificateTrustRole).toInt());
    if (trust == CertificateTrust::TrustedByUser) {
        description += u'\n' + tr("The service's own certificate is trusted: cloudflared accepts "
                                  "any certificate from %1, Velumo's proxy only that one.")
                                   .arg(service);
    }
    if (description != toolTip()) {
        setToolTip(description);
    }
    // The name, the light and the word are the row's own paint.
    if (repaint) {
        update();
    }

    const bool inspected = index.data(Role::InspectedRole).toBool();
    const bool password = index.data(Role::PasswordRole).toBool();
    setBadge(RowStatus::Inspected, inspected, tr("Inspected"),
             tr("Requests pass through Velumo's proxy, which lists them"));
    setBadge(RowStatus::Protected, password, tr("Password required"),
             tr("Visitors need the password or the link with key"));
    // A tunnel whose local service is set elsewhere (in the dashboard) has none to check here.
    const QVariant listening = index.data(Role::ServiceListeningRole);
    const QString nothing = tr("Nothing is listening on %1").arg(service);
    setBadge(RowStatus::NotListening,
             listening.isValid() && !listening.toBool() && !hostname.isEmpty(), nothing, nothing);
    setBadge(RowStatus::QuicBlocked, activity.quicBlocked, tr("QUIC blocked"),
             tr("The network seems to block the UDP that QUIC needs: start cloudflared again "
                "over HTTP/2"));
    setBadge(RowStatus::IngressRules, !activity.ingressRules.isEmpty(),
             tr("Ingress rules in the config file"), activity.ingressRules);
    setBadge(RowStatus::CertificateNotTrusted, trust == CertificateTrust::NotTrusted,
             tr("Certificate not trusted"),
             tr("This system does not trust the certificate of %1, so cloudflared and Velumo's "
                "proxy refuse it: trust the service's own certificate if it is yours")
                 .arg(service));
    if (const QVariant refused = index.data(Role::HostCheckRole); refused.isValid()) {
        const auto server = DevServer(refused.toInt());
        m_status.setHelp(RowStatus::HostRefused, HostCheck::hostRewriteHelps(server)
                                                     ? TunnelActions::HostHeader
                                                     : TunnelActions::AllowHost);
        setBadge(RowStatus::HostRefused, true, tr("The service refuses the tunnel's address"),
                 tr("%1 turns away requests that come by the tunnel's address (its host check)")
                     .arg(HostCheck::name(server)));
    } else {
        setBadge(RowStatus::HostRefused, false, {}, {});
    }

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
        if (QString tip = tr("Open %1 in the browser").arg(m_address); tip != link->toolTip()) {
            link->setToolTip(tip);
        }
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
    m_layout->setEnabled(true);
    // A hidden row is laid out when it shows.
    if (isVisible()) {
        m_layout->activate();
    }
    m_status.place(statusRoom(), middle());
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
    QString summary = m_name + QStringLiteral(", ") + RowStatus::stateWord(m_state);
    if (!m_address.isEmpty()) {
        summary += QStringLiteral(", ") + m_address;
    }
    return summary;
}

void TunnelRow::setBadge(RowStatus::Badge badge, bool shown, const QString &name,
                         const QString &sentence)
{
    // Tab reaches a badge made later after the badges before it.
    if (QWidget *made = m_status.setBadge(badge, shown, name, sentence); made && m_built) {
        QWidget *before = m_status.madeBefore(badge);
        setTabOrder(before ? before : this, made);
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
        // Each before the next control the row has.
        int at = m_layout->count();
        for (int next = slot + 1; slot != Link && next < SlotCount; ++next) {
            if (m_slots[next]) {
                at = m_layout->indexOf(m_slots[next]);
                break;
            }
        }
        m_layout->insertWidget(slot == Link ? 2 : at, widget);
        // Tab goes through the controls in the order they are seen.
        QWidget *before = m_status.madeBefore(RowStatus::BadgeCount);
        for (int earlier = slot - 1; m_built && earlier >= 0; --earlier) {
            if (m_slots[earlier]) {
                before = m_slots[earlier];
                break;
            }
        }
        if (m_built) {
            setTabOrder(before ? before : this, widget);
        }
    }
    widget->setVisible(shown);
    return widget;
}

QWidget *TunnelRow::make(Slot slot)
{
    auto action = [this](const QString &name, TunnelActions::Kind kind, const QIcon &icon) {
        QToolButton *made = makeRowButton(this, name, TunnelActions::text(kind), icon);
        m_actions.bind(made, m_id, kind);
        return made;
    };

    switch (slot) {
    case Link: {
        QPushButton *link = makeLinkButton(this, QStringLiteral("tunnelLink"));
        m_actions.bind(link, m_id, TunnelActions::OpenAddress);
        return link;
    }
    case Copy:
        return action(QStringLiteral("copyButton"), TunnelActions::CopyAddress, Symbols::link());
    case More: {
        QToolButton *more =
            makeRowButton(this, QStringLiteral("moreButton"), tr("More actions"), Symbols::more());
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
    popMenu(anchor ? anchor->mapToGlobal(QPoint(0, anchor->height()))
                   : mapToGlobal(m_nameRoom->geometry().bottomLeft() + QPoint(0, 1)),
            at);
}

void TunnelRow::popMenu(const QPoint &where, TunnelActions::Kind at)
{
    m_menu.popup(where, at, m_name);
}

} // namespace Velumo
