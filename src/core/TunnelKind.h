// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/NamedTunnel.h"
#include "core/Tunnel.h"

#include <QCoreApplication>
#include <QMap>
#include <QStringList>

#include <optional>

namespace Velumo {

enum class TunnelKind {
    Quick, // a temporary address from trycloudflare.com
    Named, // a named tunnel of the user's account, run with its credentials file
    Token, // a tunnel made in the dashboard, run with its token
};

// One listed tunnel of any kind. What every kind has is a Tunnel: its id, its address, its
// local service and whether a start is waiting for the tool. The rest belongs to named kinds.
struct TunnelEntry {
    TunnelKind kind = TunnelKind::Quick;
    Tunnel tunnel;
    // The tunnel's UUID at Cloudflare and its name there; for a token, the name the user gave.
    QString tunnelId;
    QString tunnelName;
    QString publicHostname;

    static TunnelEntry quick(const Tunnel &tunnel);
    static TunnelEntry named(const NamedTunnel &tunnel);
    // As namedTunnels.json keeps it; only for the named kinds.
    NamedTunnel toNamed() const;
    const QUuid &id() const { return tunnel.id; }
};

// What the kind decides, and nothing else does: where the entry is kept, how its tool is
// started, whether visitors can pass through Velumo, and what deleting it offers.
struct KindTraits {
    // Kept in storedTunnels.json, whose form never changes; the others in namedTunnels.json.
    bool storedAsQuick = false;
    // The address is known before the tool runs (a hostname on the user's domain); otherwise
    // each start brings a new one.
    bool addressKnown = false;
    // Its visitors can be sent through Velumo's proxy (the dashboard decides for a token).
    bool proxyAllowed = true;
    // The tool reads a token from the secret store in its environment.
    bool tokenInEnvironment = false;
    // It exists at Cloudflare and can be deleted there with its credentials file.
    bool deletableAtCloudflare = false;
};
const KindTraits &traits(TunnelKind kind);

// The tunnels kept in storedTunnels.json, and those in namedTunnels.json, in the list's order.
TunnelList quickPart(const QList<TunnelEntry> &entries);
NamedTunnelList namedPart(const QList<TunnelEntry> &entries);
// The list after a load: the named tunnels first, then the quick ones without addresses; the
// tunnels of a file that could not be read stay as they were listed.
QList<TunnelEntry> loadedList(const QList<TunnelEntry> &listed,
                              const std::optional<NamedTunnelList> &named,
                              const std::optional<TunnelList> &quick);

class KindTexts
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::KindTexts)

public:
    // What a row says for the tunnel: host:port, and for a named kind what sets it apart.
    static QString label(const TunnelEntry &entry);
    // What the tray's menu calls a tunnel without an address.
    static QString menuName(const TunnelEntry &entry);
};

// The tool's arguments for a run of the tunnel; `target` is host:port, or the proxy's.
// `anyCertificate`: the tool accepts any certificate from an https:// service. `hostHeader`,
// unless empty, is the Host the tool sends to the service in place of the visitor's.
QStringList runArguments(const TunnelEntry &entry, const QString &target, bool overHttp2,
                         bool anyCertificate = false, const QString &hostHeader = {});
// The Host a local service expects: the hostname as typed without scheme or path, an IPv6
// address in brackets, then the port. Empty when that could not be sent as a Host header.
QString serviceHostHeader(const QString &hostname, const QString &port);

} // namespace Velumo
