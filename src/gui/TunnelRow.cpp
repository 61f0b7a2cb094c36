// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelRow.h"

#include "core/ContentModel.h"
#include "gui/LogWindow.h"
#include "gui/QrCodeWindow.h"
#include "gui/Spinner.h"
#include "gui/Symbols.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPixmapCache>
#include <QSpacerItem>
#include <QStaticText>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QToolButton>
#include <QToolTip>
#include <QtMath>

namespace Velumo {

namespace {

// Room around the restart button's symbol on every side.
constexpr int restartMargin = 7;

// Every row shows the same few symbols, and a QIcon parses its drawing when it is made: made
// once and shared, each is parsed once (when first needed) and rendered once per size.
const QIcon &logSymbol()
{
    static const QIcon icon = Symbols::log();
    return icon;
}

const QIcon &trashSymbol()
{
    static const QIcon icon = Symbols::trash();
    return icon;
}

const QIcon &playSymbol()
{
    static const QIcon icon = Symbols::play();
    return icon;
}

const QIcon &warningSymbol()
{
    static const QIcon icon = Symbols::warning();
    return icon;
}

const QIcon &linkSymbol()
{
    static const QIcon icon = Symbols::link();
    return icon;
}

const QIcon &qrCodeSymbol()
{
    static const QIcon icon = Symbols::qrCode();
    return icon;
}

const QIcon &stopSymbol()
{
    static const QIcon icon = Symbols::stop();
    return icon;
}

// The restart button's symbol, drawn once for the screens' pixel ratio and shared by the rows.
QPixmap playPixmap(QSize size)
{
    static QPixmap pixmap;
    static QSize drawnSize;
    static qreal drawnRatio = 0;
    const qreal ratio = qGuiApp->devicePixelRatio();
    if (pixmap.isNull() || drawnSize != size || drawnRatio != ratio) {
        pixmap = playSymbol().pixmap(size);
        drawnSize = size;
        drawnRatio = ratio;
    }
    return pixmap;
}

QToolButton *makeSymbolButton(const QString &objectName, const QString &accessibleName,
                              const QIcon &icon, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setAccessibleName(accessibleName);
    button->setToolTip(accessibleName);
    button->setIcon(icon);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QColor stateColor(const TunnelActivity &activity)
{
    switch (activity.state) {
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

QPixmap dot(const QColor &color, int side, qreal ratio)
{
    // Rows in the same state share one drawing.
    const QString key =
        QStringLiteral("velumo-dot-%1-%2-%3").arg(color.rgba()).arg(side).arg(ratio);
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap)) {
        return pixmap;
    }
    pixmap = QPixmap(QSize(side, side) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(color.darker(130));
    painter.setBrush(color);
    painter.drawEllipse(QRectF(1.5, 1.5, side - 3, side - 3));
    painter.end();
    QPixmapCache::insert(key, pixmap);
    return pixmap;
}

bool sameActivity(const TunnelActivity &a, const TunnelActivity &b)
{
    return a.state == b.state && a.exitCode == b.exitCode && a.crashed == b.crashed &&
           a.running == b.running && a.log == b.log;
}

constexpr int dotSide = 12;

// The restart button paints its play symbol in a fixed slot, where a spinner turns instead
// while the tunnel starts; child widgets for the slot and the symbol cost a row more than
// the button itself.
class RestartButton : public QToolButton
{
public:
    RestartButton(bool loading, QWidget *parent)
        : QToolButton(parent)
    {
        setFixedSize(TunnelRow::restartSlotSize + QSize(restartMargin, restartMargin) * 2);
        if (loading) {
            m_spinner = new Spinner(this);
            m_spinner->setScale(0.5);
            m_spinner->setGeometry(slotRect());
        }
    }

    static QRect slotRect()
    {
        return {QPoint(restartMargin, restartMargin), TunnelRow::restartSlotSize};
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QToolButton::paintEvent(event);
        if (m_spinner) {
            return;
        }
        const int side = TunnelRow::restartSlotSize.height();
        const QPixmap pixmap = isEnabled() ? playPixmap({side, side})
                                           : playSymbol().pixmap({side, side}, QIcon::Disabled);
        QRect target(QPoint(), QSize(side, side));
        target.moveCenter(slotRect().center());
        QPainter(this).drawPixmap(target, pixmap);
    }

private:
    Spinner *m_spinner = nullptr;
};

// The address, drawn as a link and opened by a click, Return or Space. A button that paints
// its text in the link colour: a label that takes focus, or shows rich text, builds a text
// document for it, which took longer than all the row's other widgets when an address arrived.
class LinkButton : public QAbstractButton
{
public:
    LinkButton(QUrl url, QWidget *parent)
        : QAbstractButton(parent)
        , m_url(std::move(url))
    {
        setText(m_url.toString());
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        connect(this, &QAbstractButton::clicked, this,
                [this] { QDesktopServices::openUrl(m_url); });
    }

    // Shaping the text is most of what the link costs, and layouts ask often: it is laid out
    // once per font, and painted from that layout.
    QSize sizeHint() const override
    {
        if (!m_hint.isValid()) {
            m_text.setTextFormat(Qt::PlainText);
            m_text.setText(text());
            m_text.prepare(QTransform(), font());
            m_hint = QSize(qCeil(m_text.size().width()), fontMetrics().height()) +
                     QSize(2 * focusMargin, 2 * focusMargin);
        }
        return m_hint;
    }
    // Long addresses give way to the buttons: the middle is left out.
    QSize minimumSizeHint() const override
    {
        return {fontMetrics().averageCharWidth() * 12, sizeHint().height()};
    }

protected:
    void changeEvent(QEvent *event) override
    {
        if (event->type() == QEvent::FontChange) {
            m_hint = QSize();
            updateGeometry();
        }
        QAbstractButton::changeEvent(event);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const QColor color =
            palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Link);
        painter.setPen(color);
        const QRect area =
            rect().marginsRemoved(QMargins(focusMargin, focusMargin, focusMargin, focusMargin));
        if (area.width() >= sizeHint().width() - 2 * focusMargin) {
            // Static text keeps the underline of its first run only; the line is drawn here.
            const QFontMetricsF metrics(font());
            const qreal top = area.top() + (area.height() - m_text.size().height()) / 2;
            painter.drawStaticText(QPointF(area.left(), top), m_text);
            const qreal underline =
                top + metrics.ascent() + metrics.underlinePos() + metrics.lineWidth() / 2;
            painter.setPen(QPen(color, metrics.lineWidth()));
            painter.drawLine(QPointF(area.left(), underline),
                             QPointF(area.left() + m_text.size().width(), underline));
        } else {
            QFont font = this->font();
            font.setUnderline(true);
            painter.setFont(font);
            painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                             fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
        }
        if (hasFocus()) {
            QStyleOptionFocusRect option;
            option.initFrom(this);
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
        }
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            click();
            return;
        }
        QAbstractButton::keyPressEvent(event);
    }

private:
    static constexpr int focusMargin = 2;
    QUrl m_url;
    mutable QStaticText m_text;
    mutable QSize m_hint;
};

} // namespace

TunnelRow::TunnelRow(const Tunnel &tunnel, ContentModel *model, QWidget *parent)
    : QWidget(parent)
    , m_tunnel(tunnel)
    , m_activity(model->activity(tunnel.id))
    , m_serviceListening(model->serviceListening(tunnel.id))
    , m_model(model)
{
    setObjectName(QStringLiteral("tunnelRow"));
    auto *layout = new QHBoxLayout(this);
    // The divider takes the bottom line.
    layout->setContentsMargins(8, 2, 8, 3);

    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("tunnelLabel"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setContentsMargins(0, 0, style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing), 0);
    layout->addWidget(m_text);

    // The status dot is painted at the start of this room; a layout puts no spacing after a
    // spacer item, so the room includes it.
    const int spacing = style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing);
    m_stateDot =
        new QSpacerItem(dotSide + spacing, dotSide, QSizePolicy::Fixed, QSizePolicy::Fixed);
    layout->addItem(m_stateDot);
    // The address goes before this space and the buttons after it. A spacer item, as a widget
    // would cost a row as much as a button does.
    layout->addItem(new QSpacerItem(spacing, 0, QSizePolicy::Expanding, QSizePolicy::Minimum));

    m_logButton = makeSymbolButton(QStringLiteral("logButton"), tr("Show log"), logSymbol(), this);
    connect(m_logButton, &QToolButton::clicked, this, &TunnelRow::showLog);
    layout->addWidget(m_logButton);

    m_deleteButton =
        makeSymbolButton(QStringLiteral("deleteButton"), tr("Delete tunnel"), trashSymbol(), this);
    // Two pixels of room around the symbol on every side.
    const int iconSide = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    m_deleteButton->setIconSize({iconSide, iconSide});
    m_deleteButton->setFixedSize(iconSide + 2 * 2 + 2, iconSide + 2 * 2 + 2);
    connect(m_deleteButton, &QToolButton::clicked, this, [this] {
        // A copy: deleting may rebuild this row.
        const Tunnel tunnel = m_tunnel;
        m_model->deleteTunnel(tunnel);
    });
    layout->addWidget(m_deleteButton);

    // As tall in every state, so a row that starts or stops moves none below it.
    const QMargins margins = layout->contentsMargins();
    setMinimumHeight(
        std::max(restartSlotSize.height() + 2 * restartMargin, m_logButton->sizeHint().height()) +
        margins.top() + margins.bottom());

    rebuild();
}

bool TunnelRow::update(const Tunnel &tunnel, const TunnelActivity &activity,
                       std::optional<bool> serviceListening)
{
    if (tunnel == m_tunnel && sameActivity(activity, m_activity) &&
        serviceListening == m_serviceListening) {
        return false;
    }
    m_tunnel = tunnel;
    m_activity = activity;
    m_serviceListening = serviceListening;
    rebuild();
    if (m_logWindow && m_activity.log) {
        m_logWindow->setLog(m_activity.log);
    }
    return true;
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

void TunnelRow::rebuild()
{
    qDeleteAll(m_stateWidgets);
    m_stateWidgets.clear();
    auto *layout = static_cast<QHBoxLayout *>(this->layout());
    const QString hostAndPort = m_tunnel.hostname + u':' + m_tunnel.port;
    // A label's text is its accessible name.
    m_text->setText(hostAndPort);

    // Screen readers hear the state with the tunnel's name; the dot has it as its tool tip.
    m_text->setAccessibleDescription(stateDescription(m_activity));
    QWidget::update(dotRect());

    int at = layout->indexOf(m_logButton);
    auto insert = [&](QWidget *widget) {
        layout->insertWidget(at++, widget);
        m_stateWidgets.append(widget);
    };
    auto insertWarning = [&] {
        if (m_serviceListening != false) {
            return;
        }
        const QString text = tr("Nothing is listening on %1").arg(hostAndPort);
        auto *warning = new QLabel(this);
        warning->setObjectName(QStringLiteral("serviceWarning"));
        warning->setPixmap(warningSymbol().pixmap(16, 16));
        warning->setToolTip(text);
        warning->setAccessibleName(text);
        insert(warning);
    };
    auto insertRestart = [&] {
        auto *restart = new RestartButton(m_tunnel.loading, this);
        restart->setObjectName(QStringLiteral("restartButton"));
        restart->setAccessibleName(tr("Restart tunnel"));
        restart->setToolTip(restart->accessibleName());
        restart->setAutoRaise(true);
        restart->setFocusPolicy(Qt::TabFocus);
        connect(restart, &QToolButton::clicked, this, [this] { m_model->restartTunnel(m_tunnel); });
        insert(restart);
    };

    if (m_tunnel.url) {
        const QString address = m_tunnel.url->toString();
        auto *link = new LinkButton(*m_tunnel.url, this);
        link->setObjectName(QStringLiteral("tunnelLink"));
        link->setAccessibleName(address);
        link->setToolTip(tr("Open %1 in the browser").arg(address));
        // Before the space, where the address belongs.
        layout->insertWidget(layout->indexOf(m_stateDot) + 1, link);
        m_stateWidgets.append(link);
        ++at;
        insertWarning();

        auto *copy =
            makeSymbolButton(QStringLiteral("copyButton"), tr("Copy address"), linkSymbol(), this);
        connect(copy, &QToolButton::clicked, this, [address] { copyToClipboard(address); });
        insert(copy);

        auto *qr =
            makeSymbolButton(QStringLiteral("qrButton"), tr("Show QR code"), qrCodeSymbol(), this);
        connect(qr, &QToolButton::clicked, this, &TunnelRow::showQrCode);
        insert(qr);

        if (m_activity.running) {
            auto *stop = makeSymbolButton(QStringLiteral("stopButton"), tr("Stop tunnel"),
                                          stopSymbol(), this);
            connect(stop, &QToolButton::clicked, this, [this] {
                const Tunnel tunnel = m_tunnel;
                m_model->stopTunnel(tunnel);
            });
            insert(stop);
        } else {
            // The tool has ended: the address no longer answers, so offer a fresh start.
            insertRestart();
        }
    } else {
        insertWarning();
        insertRestart();
    }

    m_logButton->setEnabled(m_activity.log != nullptr);
    setEnabled(!m_tunnel.loading);
}

void TunnelRow::showLog()
{
    if (!m_activity.log) {
        return;
    }
    if (!m_logWindow) {
        m_logWindow = new LogWindow(tr("Log of %1:%2").arg(m_tunnel.hostname, m_tunnel.port),
                                    m_activity.log, window());
    }
    m_logWindow->show();
    m_logWindow->raise();
    m_logWindow->activateWindow();
}

void TunnelRow::showQrCode()
{
    if (!m_tunnel.url) {
        return;
    }
    if (m_qrWindow) {
        m_qrWindow->close();
    }
    auto *window = new QrCodeWindow(*m_tunnel.url, this->window());
    window->setAttribute(Qt::WA_DeleteOnClose);
    m_qrWindow = window;
    window->show();
    window->raise();
    window->activateWindow();
}

QRect TunnelRow::dotRect() const
{
    const QRect room = m_stateDot->geometry();
    return {room.left(), room.center().y() - dotSide / 2, dotSide, dotSide};
}

bool TunnelRow::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        if (dotRect().contains(help->pos())) {
            QToolTip::showText(help->globalPos(), stateDescription(m_activity), this, dotRect());
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QWidget::event(event);
}

void TunnelRow::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    if (event->rect().intersects(dotRect())) {
        painter.drawPixmap(dotRect(), dot(stateColor(m_activity), dotSide, devicePixelRatioF()));
    }
    const int bottom = height() - 1;
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, bottom, width() - 1, bottom);
}

void TunnelRow::mouseDoubleClickEvent(QMouseEvent *event)
{
    QWidget::mouseDoubleClickEvent(event);
    showLog();
}

void TunnelRow::copyToClipboard(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    auto *data = new QMimeData;
    data->setText(text);
    clipboard->setMimeData(data);
}

} // namespace Velumo
