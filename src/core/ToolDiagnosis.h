// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringView>

namespace Velumo {

// Reads a tool's output for the failures users meet most, so the app can say in plain words
// what happened and what to do, instead of quoting a log line.
class ToolDiagnosis
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::ToolDiagnosis)

public:
    // After this many failed QUIC connections without one registered, UDP is probably blocked.
    static constexpr int quicFailuresForBlocked = 3;

    // Feeds one chunk of output; lines may be whole or cut.
    void read(QStringView chunk);

    // A sentence on what went wrong and what the user can do; empty when nothing was recognised.
    QString explanation() const;
    // The edge cannot be reached over QUIC: the tunnel may work over HTTP/2.
    bool quicBlocked() const { return m_quicFailures >= quicFailuresForBlocked && !m_registered; }

private:
    bool m_rateLimited = false;
    bool m_outage = false;
    bool m_noConnection = false;
    int m_quicFailures = 0;
    bool m_registered = false;
};

} // namespace Velumo
