// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/PasswordGate.h"

#include <QString>

#include <memory>

namespace Velumo {

// What the user chose for one tunnel, kept by the registry apart from the stored lists.
struct TunnelChoices {
    // Start the tool with --protocol http2 (networks that block QUIC's UDP).
    bool overHttp2 = false;
    // Run the tunnel through a local proxy that shows its requests.
    bool inspect = false;
    // Visitors must pass the gate before reaching the service; it also needs the proxy.
    bool password = false;
    // Started when Velumo starts.
    bool startWithVelumo = false;
    // The service gets Host as <its host>:<port>, as development servers expect; the visitor's
    // goes in X-Forwarded-Host. The tool sends it, or the proxy when there is one.
    bool hostHeader = false;
    // One gate for every proxy of the tunnel, so that links and cookies outlive a restart.
    // Null until made, or read back from the secret store before the tunnel's next start.
    std::shared_ptr<PasswordGate> gate;
    // Why the gate could not be read back: the tunnel does not start until the user decides.
    QString gateProblem;
    // The SHA-256 fingerprint of the service's own certificate, trusted by the user though
    // this system does not trust it: the tool accepts any certificate from the service, the
    // proxy exactly this one. Empty until trusted.
    QByteArray trustedCertificate;

    bool needsProxy() const { return inspect || password; }
};

// What a row says of an https:// service's certificate.
enum class CertificateTrust {
    Unremarkable, // plain HTTP, not checked yet, or trusted by this system
    NotTrusted,   // this system does not trust it, and the user has not (or trusted another)
    TrustedByUser,
};

// What a new quick or named tunnel starts with, from Preferences.
struct NewTunnelDefaults {
    bool inspect = false;
    // A new generated password per tunnel.
    bool password = false;
    // Not in Preferences: a script asks for it per tunnel.
    bool hostHeader = false;
};

} // namespace Velumo
