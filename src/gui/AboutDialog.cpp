// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/AboutDialog.h"

#include "core/Shell.h"
#include "gui/Symbols.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace Velumo {

namespace {

// Legal text and names must reach the user exactly as written, never as markup.
// Each label's text is what a screen reader reads.
QLabel *plainLabel(const QString &text, const QString &objectName, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(tr("About Velumo"));

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(12);

    auto *icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setAccessibleName(tr("Velumo icon"));
    icon->setPixmap(Symbols::appIcon().pixmap(96));
    icon->setAlignment(Qt::AlignHCenter);
    layout->addWidget(icon);

    auto *name = plainLabel(QStringLiteral("Velumo"), QStringLiteral("aboutName"), this);
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.5);
    name->setFont(nameFont);
    layout->addWidget(name);

    layout->addWidget(plainLabel(tr("Version %1").arg(QCoreApplication::applicationVersion()),
                                 QStringLiteral("aboutVersion"), this));
    layout->addWidget(plainLabel(copyrightText(), QStringLiteral("aboutCopyright"), this));

    auto *credits = plainLabel(creditsText(), QStringLiteral("aboutCredits"), this);
    credits->setAlignment(Qt::AlignLeft);
    layout->addWidget(credits);

    m_tool = plainLabel(QString(), QStringLiteral("aboutTool"), this);
    m_tool->setAlignment(Qt::AlignLeft);
    layout->addWidget(m_tool);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("aboutButtons"));
    QPushButton *close = buttons->button(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("aboutClose"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // Long credit lines wrap; a sensible width keeps them from wrapping word by word.
    setMinimumWidth(480);
}

QCoro::Task<> AboutDialog::showTool(QString path)
{
    const int request = ++m_toolRequest;
    if (path.isEmpty()) {
        m_tool->setText(tr("cloudflared was not found. Velumo looked in: %1.")
                            .arg(cloudflaredSearchPlaces().join(QStringLiteral(", "))));
        co_return;
    }
    const QString used = tr("Tunnels are made by %1").arg(path);
    m_tool->setText(used);
    QPointer<AboutDialog> self(this);
    const std::optional<QString> version = co_await cloudflaredVersion(path);
    if (!self || request != m_toolRequest) {
        co_return;
    }
    m_tool->setText(used + u'\n' + (version ? *version : tr("It did not tell its version.")));
}

QString AboutDialog::copyrightText()
{
    return tr("Copyright © 2026 The Velumo developers");
}

QString AboutDialog::creditsText()
{
    return tr("This software includes cloudflared, Copyright © Cloudflare, Inc.") + u'\n' +
           tr("By installing cloudflared you accept the Apache License Version 2.0 "
              "(https://www.apache.org/licenses/LICENSE-2.0), Cloudflare's terms "
              "(https://www.cloudflare.com/website-terms/) and Cloudflare's privacy policy "
              "(https://www.cloudflare.com/privacypolicy/).");
}

} // namespace Velumo
