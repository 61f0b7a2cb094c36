// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelRow.h"

#include "core/TunnelRegistry.h"
#include "gui/Spinner.h"
#include "gui/Symbols.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

namespace Velumo {

namespace {

// Room around the restart button's symbol on every side.
constexpr int restartMargin = 7;
constexpr int dotSide = 12;

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

} // namespace

TunnelRow::TunnelRow(const QModelIndex &index, TunnelActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_actions(actions)
    , m_id(index.data(TunnelRegistry::IdRole).toUuid())
{
    setObjectName(QStringLiteral("tunnelRow"));
    // A row takes the list's width; what a row shows does not widen the list, which would lay
    // out every other row again when one tunnel gains its buttons.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_layout = new QHBoxLayout(this);
    // The divider takes the bottom line.
    m_layout->setContentsMargins(8, 2, 8, 3);

    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("tunnelLabel"));
    m_text->setTextFormat(Qt::PlainText);
    // The status light is painted in this room after the text.
    m_text->setContentsMargins(
        0, 0, style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing) + dotSide, 0);
    m_layout->addWidget(m_text);
    m_layout->addStretch(1);
    showSlot(Delete, true);

    // As tall in every state, so a row that starts or stops moves none below it.
    const QMargins margins = m_layout->contentsMargins();
    setMinimumHeight(
        std::max(restartSlotSize.height() + 2 * restartMargin, m_slots[Delete]->height()) +
        margins.top() + margins.bottom());
    setState(index);
}

void TunnelRow::setState(const QModelIndex &index)
{
    using Role = TunnelRegistry::Role;
    const TunnelActivity activity = index.data(Role::ActivityRole).value<TunnelActivity>();
    const QUrl address = index.data(Role::AddressRole).toUrl();
    const bool hasUrl = !address.isEmpty();
    const bool loading = index.data(Role::LoadingRole).toBool();
    const QString hostname = index.data(Role::HostnameRole).toString();
    m_state = activity.state;
    m_text->setText(index.data(Qt::DisplayRole).toString());
    // Screen readers hear the state with the tunnel's name; the light shows it in colour.
    QString description = stateDescription(activity);
    if (!activity.problem.isEmpty()) {
        description += u'\n' + activity.problem;
    }
    m_text->setAccessibleDescription(description);
    setToolTip(description);
    update(dotRect());

    if (QWidget *link = showSlot(Link, hasUrl); link && hasUrl) {
        static_cast<QPushButton *>(link)->setText(address.toString());
        link->setToolTip(tr("Open %1 in the browser").arg(address.toString()));
    }
    // A tunnel whose local service is set elsewhere (in the dashboard) has none to check here.
    const QVariant listening = index.data(Role::ServiceListeningRole);
    if (QWidget *warning =
            showSlot(Warning, listening.isValid() && !listening.toBool() && !hostname.isEmpty())) {
        const QString text = tr("Nothing is listening on %1")
                                 .arg(hostname + u':' + index.data(Role::PortRole).toString());
        warning->setToolTip(text);
        warning->setAccessibleName(text);
    }
    showSlot(Http2, activity.quicBlocked);
    showSlot(Copy, hasUrl);
    showSlot(QrCode, hasUrl);
    // A tool serving the address can be stopped; otherwise the address no longer answers (or
    // there is none), so a fresh start is offered.
    const bool serving = hasUrl && activity.running;
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
    // A tunnel that has not run here has no log to show.
    showSlot(Log, activity.log != nullptr);

    // The switches belong to a tunnel with an address (or one already switched on): a long
    // list of stored tunnels would otherwise carry two more buttons a row.
    const bool inspected = index.data(Role::InspectedRole).toBool();
    const bool password = index.data(Role::PasswordRole).toBool();
    const bool proxy =
        index.data(Role::ProxyAllowedRole).toBool() && (hasUrl || inspected || password);
    showSlot(Inspect, proxy);
    showSlot(Requests, proxy && inspected);
    showSlot(Password, proxy);
    showSlot(KeyLink, proxy && password && hasUrl);
    setEnabled(!loading);
}

QWidget *TunnelRow::showSlot(Slot slot, bool shown)
{
    QWidget *&widget = m_slots[slot];
    if (!widget) {
        if (!shown) {
            return nullptr;
        }
        widget = make(slot);
        // The link stands before the flexible space, the rest after it, each before the next
        // control the row has.
        int at = slot == Link ? 1 : m_layout->count();
        for (int next = slot + 1; slot != Link && next < SlotCount; ++next) {
            if (m_slots[next]) {
                at = m_layout->indexOf(m_slots[next]);
                break;
            }
        }
        m_layout->insertWidget(at, widget);
    }
    widget->setVisible(shown);
    return widget;
}

QWidget *TunnelRow::make(Slot slot)
{
    auto symbolButton = [this](const QString &name, TunnelActions::Kind kind, const QIcon &icon) {
        auto *button = new QToolButton(this);
        button->setObjectName(name);
        button->setAccessibleName(TunnelActions::text(kind));
        button->setToolTip(TunnelActions::text(kind));
        button->setIcon(icon);
        button->setAutoRaise(true);
        // Two pixels of room around the symbol on every side, the same for every symbol.
        const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
        button->setIconSize({side, side});
        button->setFixedSize(side + 2 * 2 + 2, side + 2 * 2 + 2);
        // Reached with Tab; a click leaves the focus where the user was typing.
        button->setFocusPolicy(Qt::TabFocus);
        m_actions.bind(button, m_id, kind);
        return button;
    };

    switch (slot) {
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
        // As tall as the row allows, whatever margins the style gives a button.
        link->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Ignored);
        m_actions.bind(link, m_id, TunnelActions::OpenAddress);
        return link;
    }
    case Warning: {
        auto *warning = new QLabel(this);
        warning->setObjectName(QStringLiteral("serviceWarning"));
        warning->setPixmap(Symbols::warning().pixmap(16, 16));
        return warning;
    }
    case Http2: {
        auto *button = new QPushButton(TunnelActions::text(TunnelActions::StartOverHttp2), this);
        button->setObjectName(QStringLiteral("http2Button"));
        button->setToolTip(tr("The network seems to block the UDP that QUIC needs: start "
                              "cloudflared again over HTTP/2"));
        m_actions.bind(button, m_id, TunnelActions::StartOverHttp2);
        return button;
    }
    case Copy:
        return symbolButton(QStringLiteral("copyButton"), TunnelActions::CopyAddress,
                            Symbols::link());
    case QrCode:
        return symbolButton(QStringLiteral("qrButton"), TunnelActions::ShowQrCode,
                            Symbols::qrCode());
    case Stop:
        return symbolButton(QStringLiteral("stopButton"), TunnelActions::Stop, Symbols::stop());
    case Restart: {
        QToolButton *restart =
            symbolButton(QStringLiteral("restartButton"), TunnelActions::Restart, Symbols::play());
        restart->setIconSize(restartSlotSize);
        restart->setFixedSize(restartSlotSize + QSize(restartMargin, restartMargin) * 2);
        return restart;
    }
    case Log:
        return symbolButton(QStringLiteral("logButton"), TunnelActions::ShowLog, Symbols::log());
    case KeyLink:
        return symbolButton(QStringLiteral("keyLinkButton"), TunnelActions::CopyLinkWithKey,
                            Symbols::key());
    case Requests:
        return symbolButton(QStringLiteral("requestsButton"), TunnelActions::ShowRequests,
                            Symbols::requests());
    case Inspect:
        return symbolButton(QStringLiteral("inspectButton"), TunnelActions::Inspect,
                            Symbols::inspect());
    case Password:
        return symbolButton(QStringLiteral("passwordButton"), TunnelActions::Password,
                            Symbols::lock());
    case Delete:
        return symbolButton(QStringLiteral("deleteButton"), TunnelActions::Delete,
                            Symbols::trash());
    case SlotCount:
        break;
    }
    return nullptr;
}

QString TunnelRow::stateDescription(const TunnelActivity &activity)
{
    switch (activity.state) {
    case TunnelState::Idle:
        return tr("Not running");
    case TunnelState::Starting:
        return tr("Starting: waiting for the address");
    case TunnelState::Announced:
        return tr("Address announced, not yet connected");
    case TunnelState::Connected:
        return tr("Connected");
    case TunnelState::Stopped:
        return tr("Stopped");
    case TunnelState::Ended:
        return activity.crashed
                   ? tr("Ended: cloudflared crashed")
                   : tr("Ended: cloudflared exited with code %1").arg(activity.exitCode);
    case TunnelState::FailedToStart:
        return tr("cloudflared could not be started");
    }
    return {};
}

QRect TunnelRow::dotRect() const
{
    const QRect text = m_text->geometry();
    return {text.right() + 1 - dotSide, text.center().y() - dotSide / 2, dotSide, dotSide};
}

void TunnelRow::paintEvent(QPaintEvent *)
{
    // The status light and the divider below the row: widgets of their own would cost each
    // row as much as a button.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, height() - 1, width() - 1, height() - 1);
    const QColor color = stateColor(m_state);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(color.darker(130));
    painter.setBrush(color);
    painter.drawEllipse(QRectF(dotRect()).adjusted(1.5, 1.5, -1.5, -1.5));
}

void TunnelRow::mouseDoubleClickEvent(QMouseEvent *event)
{
    QWidget::mouseDoubleClickEvent(event);
    m_actions.action(m_id, TunnelActions::ShowLog)->trigger();
}

} // namespace Velumo
