// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/AboutDialog.h"

#include "gui/Symbols.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace Velumo {

namespace {

// Legal text and names must reach the user exactly as written, never as markup.
QLabel *plainLabel(const QString &text, const QString &objectName, const QString &accessibleName,
                   QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setAccessibleName(accessibleName);
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
    setAccessibleName(tr("About Velumo"));

    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(12);

    auto *icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setAccessibleName(tr("Velumo icon"));
    icon->setPixmap(Symbols::appIcon().pixmap(96));
    icon->setAlignment(Qt::AlignHCenter);
    layout->addWidget(icon);

    auto *name = plainLabel(QStringLiteral("Velumo"), QStringLiteral("aboutName"),
                            tr("Application name"), this);
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.5);
    name->setFont(nameFont);
    layout->addWidget(name);

    layout->addWidget(plainLabel(tr("Version %1").arg(QCoreApplication::applicationVersion()),
                                 QStringLiteral("aboutVersion"), tr("Version"), this));
    layout->addWidget(
        plainLabel(copyrightText(), QStringLiteral("aboutCopyright"), tr("Copyright"), this));

    auto *credits = plainLabel(creditsText(), QStringLiteral("aboutCredits"), tr("Credits"), this);
    credits->setAlignment(Qt::AlignLeft);
    layout->addWidget(credits);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("aboutButtons"));
    buttons->setAccessibleName(tr("Dialog buttons"));
    QPushButton *close = buttons->button(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("aboutClose"));
    close->setAccessibleName(tr("Close"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // Long credit lines wrap; a sensible width keeps them from wrapping word by word.
    setMinimumWidth(480);
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
