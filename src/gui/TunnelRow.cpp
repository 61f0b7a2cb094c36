// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelRow.h"

#include "gui/Spinner.h"
#include "gui/Symbols.h"

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

TunnelRow::TunnelRow(const Tunnel &tunnel, const TunnelActivity &activity,
                     std::optional<bool> serviceListening, const Extras &extras, QWidget *parent)
    : QWidget(parent)
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
    setState(tunnel, activity, serviceListening, extras);
}

void TunnelRow::setState(const Tunnel &tunnel, const TunnelActivity &activity,
                         std::optional<bool> serviceListening, const Extras &extras)
{
    m_tunnel = tunnel;
    m_extras = extras;
    m_state = activity.state;
    showLabel();
    // Screen readers hear the state with the tunnel's name; the light shows it in colour.
    QString description = stateDescription(activity);
    if (!activity.problem.isEmpty()) {
        description += u'\n' + activity.problem;
    }
    m_text->setAccessibleDescription(description);
    setToolTip(description);
    update(dotRect());

    const bool hasUrl = tunnel.url.has_value();
    if (QWidget *link = showSlot(Link, hasUrl); link && hasUrl) {
        const QString address = tunnel.url->toString();
        static_cast<QPushButton *>(link)->setText(address);
        link->setToolTip(tr("Open %1 in the browser").arg(address));
    }
    if (QWidget *warning =
            showSlot(Warning, serviceListening == false && !m_extras.fromDashboard)) {
        const QString text =
            tr("Nothing is listening on %1").arg(tunnel.hostname + u':' + tunnel.port);
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
        if (restart->icon().isNull() != tunnel.loading) {
            restart->setIcon(tunnel.loading ? QIcon() : Symbols::play());
        }
        if (tunnel.loading && !m_spinner) {
            auto *spinner = new Spinner(restart);
            spinner->setScale(0.5);
            spinner->setGeometry({QPoint(restartMargin, restartMargin), restartSlotSize});
            m_spinner = spinner;
        }
        if (m_spinner) {
            m_spinner->setVisible(tunnel.loading);
        }
    }
    // A tunnel that has not run here has no log to show.
    showSlot(Log, activity.log != nullptr);
    showExtras();
    setEnabled(!tunnel.loading);
}

void TunnelRow::showLabel()
{
    const QString hostAndPort = m_tunnel.hostname + u':' + m_tunnel.port;
    m_text->setText(m_extras.fromDashboard ? m_extras.kind
                    : m_extras.kind.isEmpty()
                        ? hostAndPort
                        : hostAndPort + QStringLiteral("  ·  ") + m_extras.kind);
}

void TunnelRow::showExtras()
{
    // The switches belong to a tunnel with an address (or one already switched on): a long
    // list of stored tunnels would otherwise carry two more buttons a row.
    const bool proxy = !m_extras.fromDashboard &&
                       (m_tunnel.url || m_extras.inspected || m_extras.passwordRequired);
    if (auto *inspect = static_cast<QToolButton *>(showSlot(Inspect, proxy))) {
        inspect->setChecked(m_extras.inspected);
    }
    showSlot(Requests, proxy && m_extras.inspected);
    if (auto *password = static_cast<QToolButton *>(showSlot(Password, proxy))) {
        password->setChecked(m_extras.passwordRequired);
    }
    showSlot(KeyLink, proxy && m_extras.passwordRequired && m_tunnel.url.has_value());
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
    auto symbolButton = [this](const QString &name, const QString &text, const QIcon &icon,
                               void (TunnelRow::*signal)(const Tunnel &)) {
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
        if (signal) {
            connect(button, &QToolButton::clicked, this, [this, signal] {
                Q_EMIT(this->*signal)(m_tunnel);
            });
        }
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
        connect(link, &QPushButton::clicked, this, [this] { Q_EMIT openRequested(m_tunnel); });
        return link;
    }
    case Warning: {
        auto *warning = new QLabel(this);
        warning->setObjectName(QStringLiteral("serviceWarning"));
        warning->setPixmap(Symbols::warning().pixmap(16, 16));
        return warning;
    }
    case Http2: {
        auto *button = new QPushButton(tr("Start again over HTTP/2"), this);
        button->setObjectName(QStringLiteral("http2Button"));
        button->setToolTip(tr("The network seems to block the UDP that QUIC needs: start "
                              "cloudflared again over HTTP/2"));
        connect(button, &QPushButton::clicked, this,
                [this] { Q_EMIT restartOverHttp2Requested(m_tunnel); });
        return button;
    }
    case Copy:
        return symbolButton(QStringLiteral("copyButton"), tr("Copy address"), Symbols::link(),
                            &TunnelRow::copyRequested);
    case QrCode:
        return symbolButton(QStringLiteral("qrButton"), tr("Show QR code"), Symbols::qrCode(),
                            &TunnelRow::qrCodeRequested);
    case Stop:
        return symbolButton(QStringLiteral("stopButton"), tr("Stop tunnel"), Symbols::stop(),
                            &TunnelRow::stopRequested);
    case Restart: {
        QToolButton *restart = symbolButton(QStringLiteral("restartButton"), tr("Restart tunnel"),
                                            Symbols::play(), &TunnelRow::restartRequested);
        restart->setIconSize(restartSlotSize);
        restart->setFixedSize(restartSlotSize + QSize(restartMargin, restartMargin) * 2);
        return restart;
    }
    case Log:
        return symbolButton(QStringLiteral("logButton"), tr("Show log"), Symbols::log(),
                            &TunnelRow::logRequested);
    case KeyLink:
        return symbolButton(QStringLiteral("keyLinkButton"), tr("Copy link with key"),
                            Symbols::key(), &TunnelRow::linkWithKeyRequested);
    case Requests:
        return symbolButton(QStringLiteral("requestsButton"), tr("Show requests"),
                            Symbols::requests(), &TunnelRow::requestsRequested);
    case Inspect:
    case Password: {
        const bool inspect = slot == Inspect;
        auto *button = symbolButton(inspect ? QStringLiteral("inspectButton")
                                            : QStringLiteral("passwordButton"),
                                    inspect ? tr("Inspect requests") : tr("Require a password"),
                                    inspect ? Symbols::inspect() : Symbols::lock(), nullptr);
        button->setCheckable(true);
        connect(button, &QToolButton::clicked, this, [this, inspect](bool checked) {
            if (inspect) {
                Q_EMIT inspectToggled(m_tunnel, checked);
            } else {
                Q_EMIT passwordToggled(m_tunnel, checked);
            }
        });
        return button;
    }
    case Delete:
        return symbolButton(QStringLiteral("deleteButton"), tr("Delete tunnel"), Symbols::trash(),
                            &TunnelRow::deleteRequested);
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
    Q_EMIT logRequested(m_tunnel);
}

} // namespace Velumo
