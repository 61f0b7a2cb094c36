// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/ScriptingService.h"

#include "core/ContentModel.h"
#include "core/PortNumber.h"
#include "velumo1adaptor.h"

#include <QDBusMetaType>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

const QString errorPrefix = u"org.velumo.Velumo1.Error."_s;

QString kindName(TunnelKind kind)
{
    switch (kind) {
    case TunnelKind::Quick:
        return u"quick"_s;
    case TunnelKind::Named:
        return u"named"_s;
    case TunnelKind::Token:
        return u"dashboard"_s;
    }
    return {};
}

QString stateName(TunnelState state)
{
    switch (state) {
    case TunnelState::Idle:
        return u"idle"_s;
    case TunnelState::Starting:
        return u"starting"_s;
    case TunnelState::Announced:
        return u"announced"_s;
    case TunnelState::Connected:
        return u"connected"_s;
    case TunnelState::Stopped:
        return u"stopped"_s;
    case TunnelState::Ended:
        return u"ended"_s;
    case TunnelState::FailedToStart:
        return u"failed"_s;
    }
    return {};
}

QString idText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

} // namespace

ScriptingService::ScriptingService(ContentModel &model, QObject *parent)
    : QObject(parent)
    , m_model(model)
{
    qDBusRegisterMetaType<QVariantMapList>();
    new Velumo1Adaptor(this);

    TunnelRegistry &registry = model.registry();
    connect(&registry, &TunnelRegistry::dataChanged, this,
            [this](const QModelIndex &first, const QModelIndex &last) {
                rowsChanged(first.row(), last.row());
            });
    connect(&registry, &TunnelRegistry::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { rowsChanged(first, last); });
    // A removed row is gone by the time it could be read: its id is taken before.
    connect(&registry, &TunnelRegistry::rowsAboutToBeRemoved, this,
            [this](const QModelIndex &, int first, int last) { rowsChanged(first, last); });
    // Ready once the address answers, as for the notification: a script that opens it at
    // once must not find a name the DNS does not have yet.
    connect(&model, &ContentModel::tunnelReachable, this, [this](const Tunnel &tunnel) {
        m_pending.remove(tunnel.id);
        Q_EMIT TunnelReady(idText(tunnel.id), tunnel.url ? tunnel.url->toString() : QString());
    });
    connect(&model, &ContentModel::creationFailed, this,
            [this](const QUuid &id, const QString &reason) {
                if (m_pending.remove(id)) {
                    Q_EMIT TunnelFailed(idText(id), reason);
                }
            });
}

ScriptingService::~ScriptingService() = default;

QVariantMap ScriptingService::describe(int row) const
{
    const TunnelRegistry &registry = m_model.registry();
    const QModelIndex index = registry.index(row);
    const auto role = [&](TunnelRegistry::Role r) { return registry.data(index, r); };
    const QUuid id = role(TunnelRegistry::IdRole).toUuid();
    const QUrl address = role(TunnelRegistry::AddressRole).toUrl();
    return {
        {u"id"_s, idText(id)},
        {u"kind"_s, kindName(TunnelKind(role(TunnelRegistry::KindRole).toInt()))},
        {u"hostname"_s, role(TunnelRegistry::HostnameRole).toString()},
        {u"port"_s, role(TunnelRegistry::PortRole).toString()},
        {u"address"_s, address.isEmpty() ? QString() : address.toString()},
        {u"state"_s, stateName(TunnelState(role(TunnelRegistry::StateRole).toInt()))},
        {u"running"_s, role(TunnelRegistry::RunningRole).toBool()},
        {u"inspect"_s, role(TunnelRegistry::InspectedRole).toBool()},
        {u"password"_s, role(TunnelRegistry::PasswordRole).toBool()},
        {u"hostHeader"_s, role(TunnelRegistry::HostHeaderRole).toBool()},
        {u"overHttp2"_s, registry.choices(id).overHttp2},
        {u"startWithVelumo"_s, role(TunnelRegistry::StartWithVelumoRole).toBool()},
    };
}

QVariantMapList ScriptingService::List()
{
    QVariantMapList tunnels;
    const int rows = m_model.registry().rowCount();
    tunnels.reserve(rows);
    for (int row = 0; row < rows; ++row) {
        tunnels.append(describe(row));
    }
    return tunnels;
}

QString ScriptingService::Share(const QString &hostname, const QString &port,
                                const QVariantMap &options)
{
    const QString host = hostname.trimmed().isEmpty() ? u"localhost"_s : hostname.trimmed();
    if (!parsePort(port)) {
        refuse("InvalidArgument",
               tr("\"%1\" is not a port: give a number from 1 to 65535.").arg(port));
        return {};
    }
    // Each option given replaces the default from Preferences.
    NewTunnelDefaults chosen = m_model.registry().defaults();
    for (auto option = options.cbegin(); option != options.cend(); ++option) {
        const bool on = option.value().toBool();
        if (option.key() == u"inspect") {
            chosen.inspect = on;
        } else if (option.key() == u"password") {
            chosen.password = on;
        } else if (option.key() == u"hostHeader") {
            if (on && serviceHostHeader(host, port).isEmpty()) {
                refuse("InvalidArgument",
                       tr("\"%1\" cannot be sent to the service as its Host.").arg(host));
                return {};
            }
            chosen.hostHeader = on;
        } else {
            refuse("InvalidArgument",
                   tr("The option \"%1\" is not known to this Velumo.").arg(option.key()));
            return {};
        }
    }
    if (!toolFound()) {
        return {};
    }
    const QUuid id = QUuid::createUuid();
    m_pending.insert(id);
    m_model.createTunnel(host, port, id, chosen);
    return idText(id);
}

QString ScriptingService::Password(const QString &id, QString &linkWithKey)
{
    const std::optional<QUuid> uuid = listed(id);
    if (!uuid) {
        return {};
    }
    const std::shared_ptr<PasswordGate> gate = m_model.registry().choices(*uuid).gate;
    if (!gate) {
        refuse(m_model.registry().choices(*uuid).password ? "Refused" : "NotFound",
               m_model.registry().choices(*uuid).password
                   ? tr("The password is read from the secret store when the tunnel starts.")
                   : tr("This tunnel has no password."));
        return {};
    }
    const QUrl address = m_model.registry().find(*uuid)->tunnel.url.value_or(QUrl());
    linkWithKey = address.isEmpty() ? QString() : gate->linkWithKey(address).toString();
    return gate->kept().password;
}

void ScriptingService::Start(const QString &id)
{
    if (const std::optional<QUuid> uuid = listed(id)) {
        if (toolFound()) {
            m_model.setRunning(*uuid, true);
        }
    }
}

void ScriptingService::Stop(const QString &id)
{
    if (const std::optional<QUuid> uuid = listed(id)) {
        m_model.setRunning(*uuid, false);
    }
}

void ScriptingService::SetStartWithVelumo(const QString &id, bool start)
{
    if (const std::optional<QUuid> uuid = listed(id)) {
        m_model.registry().setStartWithVelumo(*uuid, start);
    }
}

void ScriptingService::Delete(const QString &id)
{
    if (const std::optional<QUuid> uuid = listed(id)) {
        m_model.registry().remove(*uuid);
    }
}

std::optional<QUuid> ScriptingService::listed(const QString &id)
{
    const QUuid uuid(id);
    if (!uuid.isNull() && m_model.registry().find(uuid)) {
        return uuid;
    }
    refuse("NotFound", tr("No listed tunnel has the id \"%1\".").arg(id));
    return std::nullopt;
}

bool ScriptingService::toolFound()
{
    const QString tool = m_model.toolPath();
    if (!tool.isEmpty() && QFileInfo(tool).isExecutable()) {
        return true;
    }
    refuse("ToolMissing", tr("cloudflared was not found: install it, then try again."));
    return false;
}

void ScriptingService::refuse(const char *error, const QString &message)
{
    if (calledFromDBus()) {
        sendErrorReply(errorPrefix + QLatin1StringView(error), message);
    }
}

void ScriptingService::rowsChanged(int first, int last)
{
    const TunnelRegistry &registry = m_model.registry();
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = registry.index(row);
        const QUuid id = index.data(TunnelRegistry::IdRole).toUuid();
        Q_EMIT TunnelChanged(idText(id));
        // A shared tunnel whose tool ended after its address but before a connection.
        const auto state = TunnelState(index.data(TunnelRegistry::StateRole).toInt());
        if (m_pending.contains(id) && (state == TunnelState::Ended ||
                                       state == TunnelState::FailedToStart ||
                                       state == TunnelState::Stopped)) {
            m_pending.remove(id);
            const QString problem = index.data(TunnelRegistry::ProblemRole).toString();
            Q_EMIT TunnelFailed(idText(id),
                                problem.isEmpty()
                                    ? tr("The tool ended before the tunnel could be reached.")
                                    : problem);
        }
    }
}

} // namespace Velumo
