// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/CloudflareMenu.h"

#include "core/NamedTunnelModel.h"
#include "gui/NamedTunnelDialog.h"
#include "gui/SignInDialog.h"

#include <QMessageBox>

namespace Velumo {

CloudflareMenu::CloudflareMenu(NamedTunnelModel &model, QWidget *parent)
    : QMenu(tr("&Cloudflare"), parent)
    , m_model(model)
{
    setObjectName(QStringLiteral("cloudflareMenu"));
    m_state = addAction(QString());
    m_state->setEnabled(false);
    m_signIn = addAction(tr("Sign in to Cloudflare"), this, [this] {
        auto *dialog = new SignInDialog(m_model.account(), parentWidget());
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->start();
    });
    m_signIn->setObjectName(QStringLiteral("signInAction"));
    m_signOut = addAction(tr("Sign out"), this, &CloudflareMenu::signOut);
    m_signOut->setObjectName(QStringLiteral("signOutAction"));
    addSeparator();
    auto open = [this](NamedTunnelDialog::Kind kind) {
        return [this, kind] {
            auto *dialog = new NamedTunnelDialog(kind, m_model, parentWidget());
            dialog->open();
        };
    };
    m_new = addAction(tr("New named tunnel…"), this, open(NamedTunnelDialog::Kind::New));
    m_new->setObjectName(QStringLiteral("newNamedTunnelAction"));
    addAction(tr("Add tunnel token…"), this, open(NamedTunnelDialog::Kind::Token))
        ->setObjectName(QStringLiteral("addTokenAction"));
    m_existing =
        addAction(tr("Add existing tunnel…"), this, open(NamedTunnelDialog::Kind::Existing));
    m_existing->setObjectName(QStringLiteral("addExistingAction"));
    connect(this, &QMenu::aboutToShow, this, [this] { m_model.account().check(); });
    connect(&m_model.account(), &CloudflareAccount::stateChanged, this, &CloudflareMenu::refresh);
    // One look at the certificate, so the items say the account's state from the first frame.
    m_model.account().check();
    refresh();
}

void CloudflareMenu::refresh()
{
    const CloudflareAccount::State state = m_model.account().state();
    const bool signedIn = state == CloudflareAccount::State::SignedIn;
    m_state->setText(signedIn                                       ? tr("Signed in to Cloudflare")
                     : state == CloudflareAccount::State::SigningIn ? tr("Signing in…")
                                                                    : tr("Not signed in"));
    m_signIn->setVisible(!signedIn);
    m_signIn->setEnabled(state != CloudflareAccount::State::SigningIn);
    m_signOut->setVisible(signedIn);
    // Making and listing tunnels needs the account's certificate; a token does not.
    m_new->setEnabled(signedIn);
    m_existing->setEnabled(signedIn);
}

void CloudflareMenu::signOut()
{
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Sign out"),
                                tr("Sign out of Cloudflare? The certificate in %1 is moved aside, "
                                   "not deleted; named tunnels keep running with their own "
                                   "credentials.")
                                    .arg(CloudflareAccount::certificatePath()),
                                QMessageBox::Ok | QMessageBox::Cancel, parentWidget());
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(ask, &QMessageBox::finished, this, [this](int result) {
        if (result != QMessageBox::Ok) {
            return;
        }
        if (const Done done = m_model.account().signOut(); !done) {
            Q_EMIT m_model.message(tr("Could not move the certificate aside: %1").arg(done.reason()));
        }
    });
    ask->open();
}

} // namespace Velumo
