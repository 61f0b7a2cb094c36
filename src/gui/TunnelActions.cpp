// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/TunnelActions.h"

#include "core/ContentModel.h"
#include "gui/LogWindow.h"
#include "gui/QrCodeWindow.h"
#include "gui/RequestsWindow.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>

namespace Velumo {

TunnelActions::TunnelActions(ContentModel &model, QWidget *window)
    : QObject(window)
    , m_model(model)
    , m_window(window)
{}

std::optional<NamedTunnel> TunnelActions::named(const QUuid &id) const
{
    const NamedTunnel *tunnel = m_model.named().find(id);
    return tunnel ? std::optional(*tunnel) : std::nullopt;
}

Tunnel TunnelActions::shown(const NamedTunnel &tunnel)
{
    Tunnel row;
    row.id = tunnel.id;
    row.url = tunnel.address();
    row.hostname = tunnel.hostname;
    row.port = tunnel.port;
    return row;
}

TunnelActivity TunnelActions::activity(const QUuid &id) const
{
    return m_model.named().find(id) ? m_model.named().activity(id) : m_model.activity(id);
}

TunnelRow::Extras TunnelActions::extras(const QUuid &id) const
{
    const TunnelOptions::Options options = m_model.options().get(id);
    TunnelRow::Extras extras{{}, false, options.inspect, options.gate != nullptr};
    if (const std::optional<NamedTunnel> record = named(id)) {
        extras.fromDashboard = record->kind == NamedTunnel::Kind::Token;
        extras.kind = extras.fromDashboard
                          ? tr("%1 (from the dashboard, which sets its local service)")
                                .arg(record->tunnelName)
                          : tr("named tunnel %1").arg(record->tunnelName);
    }
    return extras;
}

std::optional<bool> TunnelActions::serviceListening(const QUuid &id) const
{
    return m_model.named().find(id) ? m_model.named().serviceListening(id)
                                    : m_model.serviceListening(id);
}

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

void TunnelActions::copyAddress(const Tunnel &tunnel)
{
    if (tunnel.url) {
        copy(tunnel.url->toString());
    }
}

void TunnelActions::copyLinkWithKey(const Tunnel &tunnel)
{
    if (!tunnel.url) {
        return;
    }
    if (const std::optional<QUrl> link = m_model.options().linkWithKey(tunnel.id, *tunnel.url)) {
        copy(link->toString());
    }
}

void TunnelActions::openAddress(const Tunnel &tunnel)
{
    if (tunnel.url) {
        QDesktopServices::openUrl(*tunnel.url);
    }
}

void TunnelActions::showQrCode(const Tunnel &tunnel)
{
    if (!tunnel.url) {
        return;
    }
    if (QWidget *shown = m_windows.value(tunnel.id)) {
        shown->close();
    }
    // A phone cannot give a password: behind one, the code carries the link with key.
    const QUrl address =
        m_model.options().linkWithKey(tunnel.id, *tunnel.url).value_or(*tunnel.url);
    auto *window = new QrCodeWindow(address, m_window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    m_windows.insert(tunnel.id, window);
    bringUp(window);
}

void TunnelActions::showLog(const Tunnel &tunnel)
{
    const std::shared_ptr<ToolLog> log = activity(tunnel.id).log;
    if (!log) {
        return;
    }
    QPointer<LogWindow> &window = m_logs[tunnel.id];
    if (!window) {
        window = new LogWindow(tr("Log of %1:%2").arg(tunnel.hostname, tunnel.port), log, m_window);
    } else if (window->log() != log) {
        window->setLog(log);
    }
    bringUp(window);
}

void TunnelActions::showRequests(const Tunnel &tunnel)
{
    TunnelOptions &options = m_model.options();
    auto *window = new RequestsWindow(
        options.captures(), options.replayer(), tunnel.id.toString(QUuid::WithoutBraces),
        tr("Requests to %1:%2").arg(tunnel.hostname, tunnel.port),
        ProxyTarget{tunnel.hostname, quint16(tunnel.port.toUInt())}, m_window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    bringUp(window);
}

void TunnelActions::restart(const Tunnel &tunnel)
{
    m_model.setRunning(tunnel.id, true);
}

void TunnelActions::stop(const Tunnel &tunnel)
{
    m_model.setRunning(tunnel.id, false);
}

void TunnelActions::remove(const Tunnel &tunnel)
{
    const std::optional<NamedTunnel> record = named(tunnel.id);
    if (!record) {
        m_model.deleteTunnel(tunnel);
        return;
    }
    if (record->kind == NamedTunnel::Kind::Token) {
        m_model.named().remove(*record);
        return;
    }
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Delete %1").arg(record->tunnelName),
                                tr("Delete the tunnel %1 only from this list, or also at "
                                   "Cloudflare? Its DNS record for %2 stays either way and must "
                                   "be removed in the Cloudflare dashboard. Deleting only from "
                                   "the list keeps its credentials file.")
                                    .arg(record->tunnelName, record->publicHostname),
                                QMessageBox::Cancel, m_window);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *listOnly = ask->addButton(tr("From the list only"), QMessageBox::AcceptRole);
    QPushButton *everywhere =
        ask->addButton(tr("Also at Cloudflare"), QMessageBox::DestructiveRole);
    connect(ask, &QMessageBox::buttonClicked, this,
            [this, listOnly, everywhere, record](auto *button) {
                if (button == listOnly) {
                    m_model.named().remove(*record);
                } else if (button == everywhere) {
                    m_model.named().cloudflare().deleteOnCloudflare(*record);
                }
            });
    ask->open();
}

void TunnelActions::setInspected(const Tunnel &tunnel, bool inspect)
{
    const QUuid id = tunnel.id;
    auto apply = [this, id, inspect] {
        if (const QString refusal = m_model.options().setInspected(id, inspect);
            !refusal.isEmpty()) {
            m_model.setStatusMessage(refusal);
        }
        Q_EMIT optionsChanged(id);
    };
    if (named(id) || !activity(id).running) {
        apply();
        return;
    }
    // A quick tunnel started again gets a new address: the user decides first.
    auto *ask = new QMessageBox(QMessageBox::Question, tr("Start the tunnel again?"),
                                tr("The tunnel must start again, and a quick tunnel then gets a "
                                   "new address: %1 will stop working.")
                                    .arg(tunnel.url ? tunnel.url->toString() : QString()),
                                QMessageBox::Ok | QMessageBox::Cancel, m_window);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    ask->button(QMessageBox::Ok)->setText(tr("Start again"));
    connect(ask, &QMessageBox::finished, this, [this, id, apply](int result) {
        if (result == QMessageBox::Ok) {
            apply();
        } else {
            Q_EMIT optionsChanged(id);
        }
    });
    ask->open();
}

void TunnelActions::setPasswordRequired(const Tunnel &tunnel, bool required)
{
    const QUuid id = tunnel.id;
    auto apply = [this, id](const std::optional<QString> &password) {
        if (const QString refusal = m_model.options().setPassword(id, password);
            !refusal.isEmpty()) {
            m_model.setStatusMessage(refusal);
        }
        Q_EMIT optionsChanged(id);
    };
    if (!required) {
        apply(std::nullopt);
        return;
    }
    auto *dialog = new QInputDialog(m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName(QStringLiteral("passwordDialog"));
    dialog->setWindowTitle(tr("Require a password"));
    dialog->setLabelText(tr("Password (at least %1 characters)").arg(PasswordGate::shortest));
    dialog->setTextValue(PasswordGate::generatePassword());
    connect(dialog, &QInputDialog::finished, this, [this, id, apply, dialog](int result) {
        const QString password = dialog->textValue();
        if (result == QDialog::Accepted && !password.isEmpty()) {
            apply(password);
        } else {
            Q_EMIT optionsChanged(id);
        }
    });
    dialog->open();
}

} // namespace Velumo
