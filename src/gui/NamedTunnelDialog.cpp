// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/NamedTunnelDialog.h"

#include "core/Coroutine.h"
#include "core/NamedTunnelModel.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace Velumo {

NamedTunnelDialog::NamedTunnelDialog(Kind kind, NamedTunnelModel &model, QWidget *parent)
    : QDialog(parent)
    , m_kind(kind)
    , m_model(model)
{
    setObjectName(QStringLiteral("namedTunnelDialog"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    if (kind == Kind::Existing) {
        m_existing = new QListWidget(this);
        m_existing->setObjectName(QStringLiteral("accountTunnels"));
        m_existing->setAccessibleName(tr("Tunnels of the account"));
        layout->addWidget(m_existing);
    }
    m_form = new QFormLayout;
    layout->addLayout(m_form);
    switch (kind) {
    case Kind::New:
        setWindowTitle(tr("New named tunnel"));
        intro->setText(tr("A named tunnel keeps its address on your own domain, the one you chose "
                          "when signing in."));
        m_name = addField(tr("Tunnel name"), QStringLiteral("tunnelName"));
        m_publicHostname = addField(tr("Public hostname"), QStringLiteral("publicHostname"));
        break;
    case Kind::Token:
        setWindowTitle(tr("Add tunnel token"));
        intro->setText(tr("Paste the token of a tunnel made in Cloudflare's dashboard. Its routes "
                          "and local service are set there; the token is kept in your desktop's "
                          "secret store."));
        m_name = addField(tr("Name"), QStringLiteral("tokenName"));
        m_token = addField(tr("Token"), QStringLiteral("token"));
        m_token->setEchoMode(QLineEdit::Password);
        m_publicHostname =
            addField(tr("Public hostname (optional)"), QStringLiteral("publicHostname"));
        break;
    case Kind::Existing:
        setWindowTitle(tr("Add existing tunnel"));
        intro->setText(tr("Pick one of your account's tunnels, give the hostname routed to it and "
                          "the local service it should reach."));
        m_publicHostname = addField(tr("Public hostname"), QStringLiteral("publicHostname"));
        m_credentials =
            addField(tr("Credentials file (optional)"), QStringLiteral("credentialsFile"));
        break;
    }
    if (kind != Kind::Token) {
        m_hostname =
            addField(tr("Hostname"), QStringLiteral("hostnameField"), QStringLiteral("localhost"));
        m_port = addField(tr("Port"), QStringLiteral("portField"), QStringLiteral("3000"));
    }
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("namedTunnelMessage"));
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    layout->addWidget(m_message);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setText(kind == Kind::New ? tr("Create") : tr("Add"));
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &NamedTunnelDialog::submit);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setMinimumWidth(460);
    if (kind == Kind::Existing) {
        startOwned(this, loadExisting());
    }
}

QLineEdit *NamedTunnelDialog::addField(const QString &label, const QString &objectName,
                                       const QString &text)
{
    auto *field = new QLineEdit(text, this);
    field->setObjectName(objectName);
    field->setAccessibleName(label);
    m_form->addRow(label, field);
    return field;
}

void NamedTunnelDialog::setBusy(bool busy)
{
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!busy);
    if (busy) {
        m_message->setText(tr("Working…"));
    }
}

void NamedTunnelDialog::submit()
{
    switch (m_kind) {
    case Kind::New:
        startOwned(this, submitNew());
        break;
    case Kind::Token:
        startOwned(this, submitToken());
        break;
    case Kind::Existing:
        submitExisting();
        break;
    }
}

QCoro::Task<> NamedTunnelDialog::submitNew()
{
    QPointer<NamedTunnelDialog> self(this);
    // cloudflared would read such a name as one of its options.
    if (m_name->text().trimmed().startsWith(u'-') ||
        m_publicHostname->text().trimmed().startsWith(u'-')) {
        m_message->setText(tr("A tunnel name or hostname cannot start with \"-\"."));
        co_return;
    }
    setBusy(true);
    auto creating =
        m_model.cloudflare().create(m_name->text().trimmed(), m_publicHostname->text().trimmed(),
                                    m_hostname->text(), m_port->text());
    const CloudflareTunnels::Outcome outcome = co_await std::move(creating);
    if (!self) {
        co_return;
    }
    setBusy(false);
    m_message->setText(outcome.message);
    if (outcome.ok && outcome.message.isEmpty()) {
        accept();
        co_return;
    }
    if (!outcome.halfMade) {
        co_return;
    }
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Delete the half-made tunnel?"),
                                tr("%1\n\nThe tunnel %2 was made at Cloudflare but is not "
                                   "usable. Delete it there?")
                                    .arg(outcome.message, outcome.halfMade->tunnelName),
                                QMessageBox::Yes | QMessageBox::No, this);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    const NamedTunnel halfMade = *outcome.halfMade;
    connect(ask, &QMessageBox::finished, this, [this, halfMade](int result) {
        if (result == QMessageBox::Yes) {
            startOwned(this, deleteHalfMade(halfMade));
        }
    });
    ask->open();
}

QCoro::Task<> NamedTunnelDialog::deleteHalfMade(NamedTunnel tunnel)
{
    QPointer<NamedTunnelDialog> self(this);
    auto deleting = m_model.cloudflare().deleteOnCloudflare(tunnel);
    const CloudflareTunnels::Outcome deleted = co_await std::move(deleting);
    if (self) {
        m_message->setText(deleted.message);
    }
}

QCoro::Task<> NamedTunnelDialog::submitToken()
{
    QPointer<NamedTunnelDialog> self(this);
    if (m_name->text().trimmed().isEmpty() || m_token->text().trimmed().isEmpty()) {
        m_message->setText(tr("Give a name for the tunnel and its token."));
        co_return;
    }
    setBusy(true);
    auto adding = m_model.addToken(m_name->text().trimmed(), m_token->text().trimmed(),
                                   m_publicHostname->text().trimmed());
    co_await std::move(adding);
    if (self) {
        accept();
    }
}

QCoro::Task<> NamedTunnelDialog::loadExisting()
{
    QPointer<NamedTunnelDialog> self(this);
    setBusy(true);
    m_message->setText(tr("Asking Cloudflare for the account's tunnels…"));
    auto listing = m_model.cloudflare().list();
    const CloudflareTunnels::Listing listed = co_await std::move(listing);
    if (!self) {
        co_return;
    }
    setBusy(false);
    m_message->setText(listed.ok && listed.tunnels.isEmpty()
                           ? tr("The account has no tunnels yet: make one with New named tunnel.")
                           : listed.message);
    for (const CloudflareTunnels::AccountTunnel &tunnel : listed.tunnels) {
        auto *item = new QListWidgetItem(
            tr("%1 (%2 connections)").arg(tunnel.name).arg(tunnel.connections), m_existing);
        item->setData(Qt::UserRole, tunnel.id);
        item->setData(Qt::UserRole + 1, tunnel.name);
    }
}

void NamedTunnelDialog::submitExisting()
{
    const QListWidgetItem *item = m_existing->currentItem();
    if (!item) {
        m_message->setText(tr("Pick a tunnel first."));
        return;
    }
    CloudflareTunnels::AccountTunnel tunnel;
    tunnel.id = item->data(Qt::UserRole).toString();
    tunnel.name = item->data(Qt::UserRole + 1).toString();
    const CloudflareTunnels::Outcome outcome = m_model.cloudflare().addExisting(
        tunnel, m_publicHostname->text().trimmed(), m_hostname->text(), m_port->text(),
        m_credentials->text().trimmed());
    m_message->setText(outcome.message);
    if (outcome.ok) {
        accept();
    }
}

} // namespace Velumo
