// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
// The windows and dialogs the tunnel actions open: QR code, log, requests, password, and the
// questions asked before a delete or a restart that changes the address.
#include "gui/TunnelActions.h"

#include "core/ContentModel.h"
#include "core/PortNumber.h"
#include "gui/AllowHostDialog.h"
#include "gui/LogWindow.h"
#include "gui/Logging.h"
#include "gui/PreferencesDialog.h"
#include "gui/QrCodeWindow.h"
#include "gui/RequestsWindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace Velumo {

namespace {

using Role = TunnelRegistry::Role;

} // namespace

void TunnelActions::copy(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}

void TunnelActions::bringUp(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

void TunnelActions::showQrCode(const QUuid &id)
{
    const QUrl address = indexOf(id).data(Role::AddressRole).toUrl();
    if (address.isEmpty()) {
        return;
    }
    if (QWidget *shown = m_windows.value(id)) {
        shown->close();
    }
    // A phone cannot give a password: behind one, the code carries the link with key.
    auto *window =
        new QrCodeWindow(m_model.registry().linkWithKey(id, address).value_or(address), m_window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    m_windows.insert(id, window);
    bringUp(window);
}

void TunnelActions::showLog(const QUuid &id)
{
    const QModelIndex index = indexOf(id);
    const std::shared_ptr<ToolLog> log = index.data(Role::ActivityRole).value<TunnelActivity>().log;
    if (!log) {
        return;
    }
    QPointer<LogWindow> &window = m_logs[id];
    if (!window) {
        window = new LogWindow(tr("Log of %1:%2")
                                   .arg(index.data(Role::HostnameRole).toString(),
                                        index.data(Role::PortRole).toString()),
                               log, m_window);
    } else if (window->log() != log) {
        window->setLog(log);
    }
    bringUp(window);
}

void TunnelActions::showRequests(const QUuid &id)
{
    const QModelIndex index = indexOf(id);
    const QString hostname = index.data(Role::HostnameRole).toString();
    const QString port = index.data(Role::PortRole).toString();
    auto *window =
        new RequestsWindow(m_model.registry().runs().recorder(), id.toString(QUuid::WithoutBraces),
                           tr("Requests to %1:%2").arg(hostname, port),
                           ProxyTarget::fromHostname(hostname, parsePort(port).value_or(0))
                               .value_or(ProxyTarget{hostname, 0}),
                           m_window);
    window->setLinkWithKey([self = QPointer(this), id]() -> std::optional<QUrl> {
        const QUrl address = self ? self->indexOf(id).data(Role::AddressRole).toUrl() : QUrl();
        return address.isEmpty() ? std::nullopt : self->m_model.registry().linkWithKey(id, address);
    });
    window->setTrustedCertificate([self = QPointer(this), id] {
        return self ? self->m_model.registry().choices(id).trustedCertificate : QByteArray();
    });
    window->setAttribute(Qt::WA_DeleteOnClose);
    bringUp(window);
}

void TunnelActions::remove(const QUuid &id)
{
    TunnelRegistry &registry = m_model.registry();
    const TunnelEntry *entry = registry.find(id);
    if (!entry || !indexOf(id).data(Role::DeletableAtCloudflareRole).toBool()) {
        registry.remove(id);
        return;
    }
    const NamedTunnel record = entry->toNamed();
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Delete %1").arg(record.tunnelName),
                                tr("Delete the tunnel %1 only from this list, or also at "
                                   "Cloudflare? Its DNS record for %2 stays either way and must "
                                   "be removed in the Cloudflare dashboard. Deleting only from "
                                   "the list keeps its credentials file.")
                                    .arg(record.tunnelName, record.publicHostname),
                                QMessageBox::Cancel, m_window);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *listOnly = ask->addButton(tr("From the list only"), QMessageBox::AcceptRole);
    QPushButton *everywhere =
        ask->addButton(tr("Also at Cloudflare"), QMessageBox::DestructiveRole);
    connect(ask, &QMessageBox::buttonClicked, this,
            [this, listOnly, everywhere, record](auto *button) {
                if (button == listOnly) {
                    m_model.registry().remove(record.id);
                } else if (button == everywhere) {
                    m_model.named().cloudflare().deleteOnCloudflare(record);
                }
            });
    ask->open();
}

void TunnelActions::setInspected(const QUuid &id, bool inspect)
{
    confirmRestart(id, [this, id, inspect] {
        if (const Done done = m_model.registry().setInspected(id, inspect); !done) {
            m_model.setStatusMessage(done.reason());
        }
        sync(id);
    });
}

void TunnelActions::confirmRestart(const QUuid &id, const std::function<void()> &apply)
{
    const QModelIndex index = indexOf(id);
    if (index.data(Role::AddressKnownRole).toBool() || !index.data(Role::RunningRole).toBool()) {
        apply();
        return;
    }
    // A tunnel started again gets a new address: the user decides first.
    const QUrl address = index.data(Role::AddressRole).toUrl();
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Start the tunnel again?"),
                                tr("The tunnel must start again, and a quick tunnel then gets a "
                                   "new address: %1 will stop working.")
                                    .arg(address.toString()),
                                QMessageBox::Ok | QMessageBox::Cancel, m_window);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    ask->setObjectName(QStringLiteral("restartQuestion"));
    ask->button(QMessageBox::Ok)->setText(tr("Start again"));
    connect(ask, &QMessageBox::finished, this, [this, id, address, apply](int result) {
        if (result == QMessageBox::Ok) {
            // The status line says the new address once it comes.
            m_awaitingAddress.insert(id, address);
            apply();
        }
    });
    ask->open();
}

void TunnelActions::trustCertificate(const QUuid &id)
{
    const auto trust = [this, id] {
        if (const Done done = m_model.registry().trustServiceCertificate(id); !done) {
            m_model.setStatusMessage(done.reason());
        }
    };
    if (m_model.registry().restartsToTrust(id)) {
        confirmRestart(id, trust);
    } else {
        trust();
    }
}

void TunnelActions::setHostHeader(const QUuid &id, bool on)
{
    auto apply = [this, id, on] {
        if (const Done done = m_model.registry().setHostHeader(id, on); !done) {
            m_model.setStatusMessage(done.reason());
        }
        sync(id);
    };
    // The proxy sends the other Host at once; the tool only from its next start.
    if (indexOf(id).data(Role::ActivityRole).value<TunnelActivity>().throughProxy) {
        apply();
    } else {
        confirmRestart(id, apply);
    }
}

void TunnelActions::showAllowHost(const QUuid &id)
{
    const QModelIndex index = indexOf(id);
    const QVariant refused = index.data(Role::HostCheckRole);
    if (!refused.isValid()) {
        return;
    }
    // A named tunnel keeps its hostname; a quick one's changes, so every name is allowed.
    const QString hostname = index.data(Role::AddressKnownRole).toBool()
                                 ? index.data(Role::AddressRole).toUrl().host()
                                 : QString();
    auto *dialog = new AllowHostDialog(DevServer(refused.toInt()), hostname, m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void TunnelActions::setPasswordRequired(const QUuid &id, bool required)
{
    auto apply = [this, id](const std::optional<QString> &password) {
        if (const Done done = m_model.registry().setPassword(id, password); !done) {
            m_model.setStatusMessage(done.reason());
        }
        sync(id);
    };
    if (!required) {
        apply(std::nullopt);
        return;
    }
    // Behind the proxy already, the gate takes without a restart.
    if (!indexOf(id).data(Role::ActivityRole).value<TunnelActivity>().throughProxy) {
        confirmRestart(id, [this, apply] { askPassword(apply); });
        return;
    }
    askPassword(apply);
}

QCoro::Task<> TunnelActions::showPassword(QUuid id)
{
    QPointer<TunnelActions> self(this);
    auto reading = m_model.registry().readGate(id);
    const Done read = co_await std::move(reading);
    const QModelIndex index = self ? indexOf(id) : QModelIndex();
    const std::shared_ptr<PasswordGate> gate =
        index.isValid() ? m_model.registry().choices(id).gate : nullptr;
    if (!read || !gate) {
        if (self && !read.reason().isEmpty()) {
            m_model.setStatusMessage(read.reason());
        }
        co_return;
    }
    const QUrl address = index.data(Role::AddressRole).toUrl();
    auto *dialog = new PasswordDialog(
        tr("Password of %1").arg(index.data(Qt::DisplayRole).toString()), gate->kept().password,
        address.isEmpty() ? QUrl() : gate->linkWithKey(address), m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void TunnelActions::askPassword(const std::function<void(const std::optional<QString> &)> &apply)
{
    auto *dialog = new QInputDialog(m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("passwordDialog"));
    dialog->setWindowTitle(tr("Require a password"));
    dialog->setLabelText(tr("Password (at least %1 characters)").arg(PasswordGate::shortest));
    dialog->setTextValue(PasswordGate::generatePassword());
    connect(dialog, &QInputDialog::finished, this, [apply, dialog](int result) {
        const QString password = dialog->textValue();
        if (result == QDialog::Accepted && !password.isEmpty()) {
            apply(password);
        }
    });
    dialog->open();
}

} // namespace Velumo
