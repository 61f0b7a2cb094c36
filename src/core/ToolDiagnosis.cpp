// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ToolDiagnosis.h"

namespace Velumo {

void ToolDiagnosis::read(QStringView chunk)
{
    for (const QStringView line : chunk.split(u'\n')) {
        if (line.contains(u"Registered tunnel connection")) {
            m_registered = true;
        } else if (line.contains(u"Failed to create new quic connection") ||
                   line.contains(u"failed to dial to edge with quic")) {
            ++m_quicFailures;
        } else if (line.contains(u"429 Too Many Requests") || line.contains(u"error code: 1015") ||
                   // Before 2024.10 the tool printed only the failure to read the refusal.
                   (line.contains(u"failed to unmarshal quick Tunnel") &&
                    line.contains(u"invalid character 'e' looking for beginning of value"))) {
            m_rateLimited = true;
        } else if (line.contains(u"failed to parse quick Tunnel ID") ||
                   line.contains(u"failed to unmarshal quick Tunnel")) {
            m_outage = true;
        } else if (line.contains(u"failed to request quick Tunnel") ||
                   line.contains(u"connect: network is unreachable")) {
            m_noConnection = true;
        }
    }
}

QString ToolDiagnosis::explanation() const
{
    if (m_rateLimited) {
        return tr("Cloudflare refused a new quick tunnel for now, as too many were asked for. "
                  "Try again in a few minutes.");
    }
    if (m_outage) {
        return tr("Cloudflare's quick tunnel service did not answer properly. Try again later.");
    }
    if (m_noConnection) {
        return tr("Velumo could not reach Cloudflare. Check the internet connection, then try "
                  "again.");
    }
    if (quicBlocked()) {
        return tr("cloudflared cannot reach Cloudflare over QUIC: the network probably blocks "
                  "UDP. Start the tunnel again over HTTP/2.");
    }
    return {};
}

} // namespace Velumo
