// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/AllowHostDialog.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace Velumo {

AllowHostDialog::AllowHostDialog(DevServer server, const QString &hostname, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("allowHostDialog"));
    setWindowTitle(tr("How to allow the tunnel's address"));
    const QString setting = HostCheck::allowSetting(server, hostname);

    auto *explanation = new QLabel(
        tr("%1 refuses requests that come by an address it was not told about, as a "
           "protection for development. Add this line to %2, then start %1 again:")
            .arg(HostCheck::name(server), HostCheck::settingPlace(server)),
        this);
    explanation->setWordWrap(true);
    explanation->setObjectName(QStringLiteral("allowHostExplanation"));

    auto *line = new QLineEdit(setting, this);
    line->setReadOnly(true);
    line->setObjectName(QStringLiteral("allowHostSetting"));
    line->setAccessibleName(tr("Setting to add"));
    line->setCursorPosition(0);
    explanation->setBuddy(line);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    copy->setObjectName(QStringLiteral("copyAllowHostSetting"));
    copy->setAccessibleName(tr("Copy"));
    connect(copy, &QPushButton::clicked, this,
            [setting] { QGuiApplication::clipboard()->setText(setting); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(explanation);
    layout->addWidget(line);
    layout->addWidget(buttons);
    copy->setDefault(true);
}

} // namespace Velumo
