// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "TunnelRow.h"

#include "ContentModel.h"
#include "Spinner.h"
#include "Symbols.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QStyle>
#include <QToolButton>

namespace Velumo {

namespace {

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

} // namespace

TunnelRow::TunnelRow(const Tunnel &tunnel, ContentModel *model, QWidget *parent)
    : QWidget(parent)
    , m_tunnel(tunnel)
    , m_model(model)
{
    setObjectName(QStringLiteral("tunnelRow"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 2, 8, 2);

    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("tunnelLabel"));
    m_text->setTextFormat(Qt::PlainText);
    m_text->setContentsMargins(0, 0, style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing), 0);
    layout->addWidget(m_text);

    m_deleteButton = makeSymbolButton(QStringLiteral("deleteButton"), tr("Delete tunnel"),
                                      Symbols::trash(), this);
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

    rebuild();
}

void TunnelRow::setTunnel(const Tunnel &tunnel)
{
    if (tunnel == m_tunnel) {
        return;
    }
    m_tunnel = tunnel;
    rebuild();
}

void TunnelRow::clear()
{
    qDeleteAll(m_stateWidgets);
    m_stateWidgets.clear();
}

void TunnelRow::rebuild()
{
    clear();
    auto *layout = static_cast<QHBoxLayout *>(this->layout());
    const QString hostAndPort = m_tunnel.hostname + u':' + m_tunnel.port;
    m_text->setText(hostAndPort);
    m_text->setAccessibleName(hostAndPort);

    int at = layout->indexOf(m_deleteButton);
    auto insert = [&](QWidget *widget) {
        layout->insertWidget(at++, widget);
        m_stateWidgets.append(widget);
    };
    auto insertSpace = [&] {
        // A widget rather than a layout stretch, so it goes with the rest on a rebuild.
        auto *space = new QWidget(this);
        space->setObjectName(QStringLiteral("flexibleSpace"));
        space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        space->setMinimumWidth(style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing));
        insert(space);
    };

    if (m_tunnel.url) {
        const QString address = m_tunnel.url->toString();
        auto *link = new QLabel(this);
        link->setObjectName(QStringLiteral("tunnelLink"));
        link->setTextFormat(Qt::RichText);
        link->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                          .arg(address.toHtmlEscaped(), address.toHtmlEscaped()));
        link->setAccessibleName(address);
        link->setToolTip(tr("Open %1 in the browser").arg(address));
        link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        const QUrl url = *m_tunnel.url;
        connect(link, &QLabel::linkActivated, this, [url] { QDesktopServices::openUrl(url); });
        insert(link);
        insertSpace();

        auto *copy = makeSymbolButton(QStringLiteral("copyButton"), tr("Copy address"),
                                      Symbols::link(), this);
        connect(copy, &QToolButton::clicked, this, [address] { copyToClipboard(address); });
        insert(copy);
    } else {
        insertSpace();
        auto *restart = makeSymbolButton(QStringLiteral("restartButton"), tr("Restart tunnel"),
                                         QIcon(), this);
        auto *slot = new QWidget(restart);
        slot->setObjectName(QStringLiteral("restartSlot"));
        slot->setFixedSize(restartSlotSize);
        auto *slotLayout = new QHBoxLayout(slot);
        slotLayout->setContentsMargins(0, 0, 0, 0);
        if (m_tunnel.loading) {
            auto *spinner = new Spinner(slot);
            spinner->setScale(0.5);
            slotLayout->addWidget(spinner, 0, Qt::AlignCenter);
        } else {
            auto *play = new QLabel(slot);
            play->setObjectName(QStringLiteral("playSymbol"));
            play->setAlignment(Qt::AlignCenter);
            play->setPixmap(Symbols::play().pixmap(restartSlotSize.height(),
                                                   restartSlotSize.height()));
            slotLayout->addWidget(play);
        }
        auto *buttonLayout = new QHBoxLayout(restart);
        buttonLayout->setContentsMargins(4, 4, 4, 4);
        buttonLayout->addWidget(slot, 0, Qt::AlignCenter);
        restart->setFixedSize(restartSlotSize + QSize(14, 14));
        connect(restart, &QToolButton::clicked, this, [this] {
            m_model->restartTunnel(m_tunnel);
        });
        insert(restart);
    }

    setEnabled(!m_tunnel.loading);
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
