// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/NamedTunnel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Velumo {

std::optional<QUrl> NamedTunnel::address() const
{
    if (publicHostname.isEmpty()) {
        return std::nullopt;
    }
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(publicHostname);
    return url.isValid() ? std::optional<QUrl>(url) : std::nullopt;
}

QString kindText(NamedTunnel::Kind kind)
{
    return kind == NamedTunnel::Kind::Token ? QStringLiteral("token")
                                            : QStringLiteral("credentials file");
}

QByteArray encodeNamedTunnels(const NamedTunnelList &tunnels)
{
    QJsonArray array;
    for (const NamedTunnel &tunnel : tunnels) {
        array.append(QJsonObject{
            {QStringLiteral("id"), tunnel.id.toString(QUuid::WithoutBraces)},
            {QStringLiteral("kind"), kindText(tunnel.kind)},
            {QStringLiteral("tunnelId"), tunnel.tunnelId},
            {QStringLiteral("tunnelName"), tunnel.tunnelName},
            {QStringLiteral("publicHostname"), tunnel.publicHostname},
            {QStringLiteral("hostname"), tunnel.hostname},
            {QStringLiteral("port"), tunnel.port},
        });
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

Result<NamedTunnelList> decodeNamedTunnels(const QByteArray &json)
{
    auto fail = [](const QString &message) { return Refusal{message}; };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isArray()) {
        return fail(parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                 : QStringLiteral("not a list"));
    }
    NamedTunnelList tunnels;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject object = value.toObject();
        NamedTunnel tunnel;
        tunnel.id = QUuid::fromString(object.value(QStringLiteral("id")).toString());
        const QString kind = object.value(QStringLiteral("kind")).toString();
        if (tunnel.id.isNull() || (kind != kindText(NamedTunnel::Kind::Token) &&
                                   kind != kindText(NamedTunnel::Kind::CredentialsFile))) {
            return fail(QStringLiteral("an element without a valid id or kind"));
        }
        tunnel.kind = kind == kindText(NamedTunnel::Kind::Token)
                          ? NamedTunnel::Kind::Token
                          : NamedTunnel::Kind::CredentialsFile;
        QString *const fields[] = {&tunnel.tunnelId, &tunnel.tunnelName, &tunnel.publicHostname,
                                   &tunnel.hostname, &tunnel.port};
        const char *const keys[] = {"tunnelId", "tunnelName", "publicHostname", "hostname", "port"};
        for (size_t i = 0; i < std::size(keys); ++i) {
            const QJsonValue field = object.value(QLatin1StringView(keys[i]));
            if (!field.isString()) {
                return fail(QStringLiteral("\"%1\" missing or not a string")
                                .arg(QLatin1StringView(keys[i])));
            }
            *fields[i] = field.toString();
        }
        tunnels.append(tunnel);
    }
    return tunnels;
}

} // namespace Velumo
