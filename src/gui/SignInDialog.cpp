// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/SignInDialog.h"

#include "core/CloudflareAccount.h"
#include "core/Coroutine.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace Velumo {

SignInDialog::SignInDialog(CloudflareAccount &account, QWidget *parent)
    : QDialog(parent)
    , m_account(account)
{
    setObjectName(QStringLiteral("signInDialog"));
    setWindowTitle(tr("Sign in to Cloudflare"));
    auto *layout = new QVBoxLayout(this);
    m_explanation = new QLabel(tr("Starting cloudflared…"), this);
    m_explanation->setObjectName(QStringLiteral("signInExplanation"));
    m_explanation->setWordWrap(true);
    layout->addWidget(m_explanation);

    m_address = new QLabel(this);
    m_address->setObjectName(QStringLiteral("signInAddress"));
    m_address->setTextFormat(Qt::PlainText);
    m_address->setWordWrap(true);
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    layout->addWidget(m_address);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    m_open = buttons->addButton(tr("Open"), QDialogButtonBox::ActionRole);
    m_open->setObjectName(QStringLiteral("signInOpen"));
    m_copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    m_copy->setObjectName(QStringLiteral("signInCopy"));
    m_open->setEnabled(false);
    m_copy->setEnabled(false);
    layout->addWidget(buttons);

    connect(m_open, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(m_account.signInAddress()); });
    connect(m_copy, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(m_account.signInAddress().toString());
    });
    // Cancel stops the tool; the dialog closes once the sign-in has ended.
    connect(buttons, &QDialogButtonBox::rejected, &m_account, &CloudflareAccount::cancelSignIn);
    connect(&m_account, &CloudflareAccount::signInAddressFound, this, &SignInDialog::showAddress);
    connect(&m_account, &CloudflareAccount::stateChanged, this, [this] {
        if (m_account.state() != CloudflareAccount::State::SigningIn) {
            accept();
        }
    });
    setMinimumWidth(520);
}

void SignInDialog::start()
{
    show();
    startOwned(&m_account, m_account.signIn());
    if (m_account.state() != CloudflareAccount::State::SigningIn) {
        accept();
    }
}

void SignInDialog::showAddress(const QUrl &address, bool openIt)
{
    // Without xdg-open the tool cannot open the browser itself.
    if (openIt) {
        QDesktopServices::openUrl(address);
    }
    m_explanation->setText(tr("Sign in in your browser and choose the domain for your tunnels' "
                              "addresses. If no browser window opened, open this address:"));
    m_address->setText(address.toString());
    // The new text takes more lines than the first: the dialog grows to fit them.
    layout()->activate();
    resize(width(), heightForWidth(width()));
    m_open->setEnabled(true);
    m_copy->setEnabled(true);
}

} // namespace Velumo
