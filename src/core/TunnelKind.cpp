// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelKind.h"

#include "core/NamedTunnelModel.h"
#include "core/PortNumber.h"
#include "core/Shell.h"

#include <algorithm>

namespace Velumo {

TunnelEntry TunnelEntry::quick(const Tunnel &tunnel)
{
    return {TunnelKind::Quick, tunnel, {}, {}, {}};
}

TunnelEntry TunnelEntry::named(const NamedTunnel &tunnel)
{
    Tunnel shown;
    shown.id = tunnel.id;
    shown.url = tunnel.address();
    shown.hostname = tunnel.hostname;
    shown.port = tunnel.port;
    return {tunnel.kind == NamedTunnel::Kind::Token ? TunnelKind::Token : TunnelKind::Named, shown,
            tunnel.tunnelId, tunnel.tunnelName, tunnel.publicHostname};
}

NamedTunnel TunnelEntry::toNamed() const
{
    NamedTunnel named;
    named.id = tunnel.id;
    named.kind =
        kind == TunnelKind::Token ? NamedTunnel::Kind::Token : NamedTunnel::Kind::CredentialsFile;
    named.tunnelId = tunnelId;
    named.tunnelName = tunnelName;
    named.publicHostname = publicHostname;
    named.hostname = tunnel.hostname;
    named.port = tunnel.port;
    return named;
}

const KindTraits &traits(TunnelKind kind)
{
    static const KindTraits quick{.storedAsQuick = true};
    static const KindTraits named{.addressKnown = true, .deletableAtCloudflare = true};
    static const KindTraits token{
        .addressKnown = true, .proxyAllowed = false, .tokenInEnvironment = true};
    switch (kind) {
    case TunnelKind::Quick:
        break;
    case TunnelKind::Named:
        return named;
    case TunnelKind::Token:
        return token;
    }
    return quick;
}

TunnelList quickPart(const QList<TunnelEntry> &entries)
{
    TunnelList list;
    for (const TunnelEntry &entry : entries) {
        if (traits(entry.kind).storedAsQuick) {
            list.append(entry.tunnel);
        }
    }
    return list;
}

NamedTunnelList namedPart(const QList<TunnelEntry> &entries)
{
    NamedTunnelList list;
    for (const TunnelEntry &entry : entries) {
        if (!traits(entry.kind).storedAsQuick) {
            list.append(entry.toNamed());
        }
    }
    return list;
}

QList<TunnelEntry> loadedList(const QList<TunnelEntry> &listed,
                              const std::optional<NamedTunnelList> &named,
                              const std::optional<TunnelList> &quick)
{
    QList<TunnelEntry> entries;
    for (const TunnelEntry &entry : listed) {
        if (traits(entry.kind).storedAsQuick ? !quick : !named) {
            entries.append(entry);
        }
    }
    qsizetype firstQuick = 0;
    for (const NamedTunnel &tunnel : named.value_or(NamedTunnelList())) {
        entries.insert(firstQuick++, TunnelEntry::named(tunnel));
    }
    for (Tunnel tunnel : quick.value_or(TunnelList())) {
        tunnel.url.reset();
        // No tool runs for a loaded record, so nothing would ever clear this.
        tunnel.loading = false;
        entries.append(TunnelEntry::quick(tunnel));
    }
    return entries;
}

QString KindTexts::label(const TunnelEntry &entry)
{
    const QString hostAndPort = entry.tunnel.hostname + u':' + entry.tunnel.port;
    switch (entry.kind) {
    case TunnelKind::Quick:
        break;
    case TunnelKind::Named:
        return hostAndPort + QStringLiteral("  ·  ") + tr("named tunnel %1").arg(entry.tunnelName);
    case TunnelKind::Token:
        // Its local service is set in the dashboard: host:port would say nothing true.
        return tr("%1 (from the dashboard, which sets its local service)").arg(entry.tunnelName);
    }
    return hostAndPort;
}

QString KindTexts::menuName(const TunnelEntry &entry)
{
    // A token's tunnel serves what its dashboard routes: its name says more than a port.
    return entry.kind == TunnelKind::Token ? entry.tunnelName
                                           : entry.tunnel.hostname + u':' + entry.tunnel.port;
}

QStringList runArguments(const TunnelEntry &entry, const QString &target, bool overHttp2,
                         bool anyCertificate, const QString &hostHeader)
{
    QStringList host;
    if (!hostHeader.isEmpty()) {
        host << QStringLiteral("--http-host-header") << hostHeader;
    }
    QStringList arguments;
    if (overHttp2) {
        arguments << QStringLiteral("--protocol") << QStringLiteral("http2");
    }
    if (anyCertificate) {
        arguments << QStringLiteral("--no-tls-verify");
    }
    switch (entry.kind) {
    case TunnelKind::Quick:
        arguments << QStringLiteral("--url") << target << host;
        break;
    case TunnelKind::Named:
        // `--` ends the flags: an id can never be read as an option.
        arguments << QStringLiteral("run") << QStringLiteral("--url") << target << host
                  << QStringLiteral("--credentials-file")
                  << NamedTunnelModel::credentialsFile(entry.toNamed()) << QStringLiteral("--")
                  << entry.tunnelId;
        break;
    case TunnelKind::Token:
        arguments << QStringLiteral("run");
        break;
    }
    return tunnelArguments(arguments);
}

QString serviceHostHeader(const QString &hostname, const QString &port)
{
    QString host = hostname.trimmed();
    if (const qsizetype scheme = host.indexOf(u"://"); scheme >= 0) {
        host = host.mid(scheme + 3);
    }
    host = host.section(u'/', 0, 0);
    if (host.count(u':') > 1 && !host.startsWith(u'[')) {
        host = u'[' + host + u']';
    }
    // Letters, digits and the punctuation of names and addresses only: nothing a header
    // could be split or smuggled with.
    const bool sendable = !host.isEmpty() && std::ranges::all_of(host, [](QChar c) {
        return c.unicode() < 128 && (c.isLetterOrNumber() || QStringView(u".-_[]:").contains(c));
    });
    return sendable && parsePort(port) ? host + u':' + port : QString();
}

} // namespace Velumo
