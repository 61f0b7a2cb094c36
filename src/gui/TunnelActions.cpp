// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelActions.h"

#include "core/ContentModel.h"
#include "gui/Logging.h"

#include <QAbstractButton>
#include <QAction>
#include <QDesktopServices>
#include <QGuiApplication>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

using Role = TunnelRegistry::Role;

} // namespace

QString TunnelActions::text(Kind kind)
{
    switch (kind) {
    case TunnelActions::CopyAddress:
        return TunnelActions::tr("Copy address");
    case TunnelActions::OpenAddress:
        return TunnelActions::tr("Open in browser");
    case TunnelActions::ShowQrCode:
        return TunnelActions::tr("Show QR code");
    case TunnelActions::ShowLog:
        return TunnelActions::tr("Show log");
    case TunnelActions::Stop:
        return TunnelActions::tr("Stop tunnel");
    case TunnelActions::Restart:
        return TunnelActions::tr("Restart tunnel");
    case TunnelActions::Delete:
        return TunnelActions::tr("Delete tunnel");
    case TunnelActions::Inspect:
        return TunnelActions::tr("Inspect requests");
    case TunnelActions::Password:
        return TunnelActions::tr("Require a password");
    case TunnelActions::ShowRequests:
        return TunnelActions::tr("Show requests");
    case TunnelActions::CopyLinkWithKey:
        return TunnelActions::tr("Copy link with key");
    case TunnelActions::StartOverHttp2:
        return TunnelActions::tr("Start again over HTTP/2");
    case TunnelActions::ShowPassword:
        return TunnelActions::tr("Show password…");
    case TunnelActions::SetNewPassword:
        return TunnelActions::tr("Set a new password…");
    case TunnelActions::PasswordOff:
        return TunnelActions::tr("Turn the password off");
    case TunnelActions::StartWithVelumo:
        return TunnelActions::tr("Start with Velumo");
    case TunnelActions::TrustCertificate:
        return TunnelActions::tr("Trust the service's own certificate");
    case TunnelActions::HostHeader: // with the tunnel's port once it has one
        return TunnelActions::tr("Send Host as localhost");
    case TunnelActions::AllowHost:
        return TunnelActions::tr("How to allow the tunnel's address…");
    case TunnelActions::KindCount:
        break;
    }
    return {};
}

TunnelActions::TunnelActions(ContentModel &model, QWidget *window)
    : QObject(window)
    , m_model(model)
    , m_window(window)
{
    TunnelRegistry &registry = m_model.registry();
    connect(&registry, &TunnelRegistry::dataChanged, this,
            [this](const QModelIndex &first, const QModelIndex &last) {
                for (int row = first.row(); row <= last.row(); ++row) {
                    sync(first.siblingAtRow(row));
                }
            });
    connect(&registry, &TunnelRegistry::rowsRemoved, this, &TunnelActions::forgetRemoved);
    connect(&registry, &TunnelRegistry::passwordGenerated, this,
            [this](const QUuid &id) { showPassword(id); });
    connect(&registry, &TunnelRegistry::modelReset, this, &TunnelActions::forgetRemoved);
}

QModelIndex TunnelActions::indexOf(const QUuid &id) const
{
    return m_model.registry().indexOf(id);
}

QAction *TunnelActions::action(const QUuid &id, Kind kind)
{
    auto &actions = m_actions[id];
    if (!actions[kind]) {
        auto *action = new QAction(text(kind), this);
        action->setCheckable(isSwitch(kind) || kind == StartWithVelumo);
        connect(action, &QAction::triggered, this, [this, id, kind] { run(id, kind); });
        actions[kind] = action;
        sync(id);
    }
    return actions[kind];
}

void TunnelActions::bind(QAbstractButton *button, const QUuid &id, Kind kind)
{
    if (!isSwitch(kind)) {
        // Made at the first click: the rows of a long list cost no action each.
        connect(button, &QAbstractButton::clicked, this,
                [this, id, kind] { action(id, kind)->trigger(); });
        return;
    }
    // A click, Space and the accessibility Toggle action all toggle the button: each goes
    // to the action, which then says what holds.
    QAction *action = this->action(id, kind);
    button->setCheckable(true);
    button->setChecked(action->isChecked());
    connect(action, &QAction::toggled, button, &QAbstractButton::setChecked);
    connect(button, &QAbstractButton::toggled, action, [action](bool checked) {
        if (checked != action->isChecked()) {
            action->trigger();
        }
    });
}

void TunnelActions::sync(const QUuid &id)
{
    if (const QModelIndex index = indexOf(id); index.isValid()) {
        sync(index);
    }
}

void TunnelActions::sync(const QModelIndex &index)
{
    const auto found = m_actions.constFind(index.data(Role::IdRole).toUuid());
    if (found == m_actions.cend()) {
        return;
    }
    const TunnelActivity activity = index.data(Role::ActivityRole).value<TunnelActivity>();
    const bool hasAddress = index.data(Role::AddressRole).isValid();
    const bool loading = index.data(Role::LoadingRole).toBool();
    const bool proxy = index.data(Role::ProxyAllowedRole).toBool();
    const bool inspected = index.data(Role::InspectedRole).toBool();
    const bool password = index.data(Role::PasswordRole).toBool();
    const bool unreadable = !index.data(Role::PasswordProblemRole).toString().isEmpty();
    const bool untrusted =
        index.data(Role::CertificateTrustRole).toInt() == int(CertificateTrust::NotTrusted);
    // Whether each applies now; one that does not is hidden, and disabled for a shortcut.
    // A QR code invites scanning at once: only once the address answers.
    const bool reachable = hasAddress && activity.state == TunnelState::Connected;
    const std::array<bool, KindCount> applies{hasAddress,
                                              hasAddress,
                                              reachable,
                                              activity.log != nullptr,
                                              activity.running,
                                              !activity.running,
                                              !loading,
                                              proxy,
                                              proxy,
                                              inspected,
                                              password && hasAddress,
                                              activity.quicBlocked,
                                              password && !unreadable,
                                              unreadable,
                                              unreadable,
                                              true,
                                              untrusted,
                                              proxy,
                                              index.data(Role::HostCheckRole).isValid()};
    for (int kind = 0; kind < KindCount; ++kind) {
        if (QAction *action = (*found)[kind]) {
            action->setVisible(applies[kind]);
            action->setEnabled(applies[kind] && (kind != Restart || !loading));
        }
    }
    if (QAction *action = (*found)[Inspect]) {
        action->setChecked(inspected);
    }
    if (QAction *action = (*found)[Password]) {
        action->setChecked(password);
    }
    if (QAction *action = (*found)[StartWithVelumo]) {
        action->setChecked(index.data(Role::StartWithVelumoRole).toBool());
    }
    if (QAction *action = (*found)[HostHeader]) {
        const QString port = index.data(Role::PortRole).toString();
        const QString host = serviceHostHeader(index.data(Role::HostnameRole).toString(), port);
        action->setText(tr("Send Host as %1").arg(host.isEmpty() ? u"localhost:"_s + port : host));
        action->setChecked(index.data(Role::HostHeaderRole).toBool());
    }
    const QUuid id = found.key();
    if (const auto awaited = m_awaitingAddress.constFind(id);
        awaited != m_awaitingAddress.cend() && !loading && hasAddress) {
        const QUrl address = index.data(Role::AddressRole).toUrl();
        if (address != *awaited) {
            m_awaitingAddress.erase(awaited);
            m_model.setStatusMessage(tr("%1 has a new address: %2")
                                         .arg(index.data(Qt::DisplayRole).toString(),
                                              address.toString()));
        }
    }
}

void TunnelActions::forgetRemoved()
{
    for (auto it = m_actions.begin(); it != m_actions.end();) {
        if (const QModelIndex index = indexOf(it.key()); index.isValid()) {
            ++it;
            sync(index);
            continue;
        }
        // An action may be the one being triggered: it goes once that is over.
        for (QAction *action : *it) {
            if (action) {
                action->deleteLater();
            }
        }
        it = m_actions.erase(it);
    }
}

void TunnelActions::run(const QUuid &id, Kind kind)
{
    const QModelIndex index = indexOf(id);
    if (!index.isValid()) {
        return;
    }
    const QUrl address = index.data(Role::AddressRole).toUrl();
    switch (kind) {
    case CopyAddress:
        if (!address.isEmpty()) {
            copy(address.toString());
        }
        return;
    case CopyLinkWithKey:
        if (const std::optional<QUrl> link = m_model.registry().linkWithKey(id, address);
            link && !address.isEmpty()) {
            copy(link->toString());
        }
        return;
    case OpenAddress:
        if (!address.isEmpty() && !QDesktopServices::openUrl(address)) {
            qCWarning(lcGui) << "nothing opened" << address.toString();
        }
        return;
    case ShowQrCode:
        return showQrCode(id);
    case ShowLog:
        return showLog(id);
    case ShowRequests:
        return showRequests(id);
    case Stop:
    case Restart:
        return m_model.setRunning(id, kind == Restart);
    case Delete:
        return remove(id);
    case Inspect:
    case Password:
    case HostHeader: {
        // The switch shows what holds until the user has decided and it has taken.
        const Role role = kind == Inspect    ? Role::InspectedRole
                          : kind == Password ? Role::PasswordRole
                                             : Role::HostHeaderRole;
        const bool on = !index.data(role).toBool();
        sync(index);
        return kind == Inspect    ? setInspected(id, on)
               : kind == Password ? setPasswordRequired(id, on)
                                  : setHostHeader(id, on);
    }
    case AllowHost:
        return showAllowHost(id);
    case StartOverHttp2:
        return m_model.restartOverHttp2(id);
    case StartWithVelumo:
        return m_model.registry().setStartWithVelumo(
            id, !index.data(Role::StartWithVelumoRole).toBool());
    case ShowPassword:
        showPassword(id);
        return;
    case SetNewPassword:
        return askPassword([this, id](const std::optional<QString> &password) {
            if (const Done done = m_model.registry().setPassword(id, password); !done) {
                m_model.setStatusMessage(done.reason());
            }
        });
    case PasswordOff:
        return void(m_model.registry().setPassword(id, std::nullopt));
    case TrustCertificate:
        return trustCertificate(id);
    case KindCount:
        break;
    }
}

} // namespace Velumo
