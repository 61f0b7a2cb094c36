// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/NamedTunnel.h"
#include "core/StoreFile.h"
#include "core/Tunnel.h"

#include <optional>

namespace Velumo {

// The quick-tunnel list between runs: $XDG_CONFIG_HOME/velumo/storedTunnels.json, whose bytes
// are exactly the JSON text of the list.
class TunnelStore
{
public:
    static QString defaultFilePath();

    explicit TunnelStore(QString filePath = defaultFilePath());

    const QString &filePath() const { return m_file.filePath(); }

    // The stored list, or nothing when there is none or it cannot be read. Changes nothing.
    std::optional<TunnelList> read() const;
    // As read(), and remembers whether a later save may replace the file as it is; refused,
    // saying why, when a file that is there could not be used.
    Result<std::optional<TunnelList>> load();
    // Writes the whole list. Returns a message for the user when something went wrong or an
    // unreadable list was kept aside, and an empty one otherwise.
    QString save(const TunnelList &list);

private:
    StoreFile m_file;
};

// The named tunnels between runs, in a file of their own beside the quick-tunnel list:
// $XDG_CONFIG_HOME/velumo/namedTunnels.json, kept aside when unreadable in the same way.
class NamedTunnelStore
{
public:
    static QString defaultFilePath();

    explicit NamedTunnelStore(QString filePath = defaultFilePath());

    const QString &filePath() const { return m_file.filePath(); }
    Result<std::optional<NamedTunnelList>> load();
    QString save(const NamedTunnelList &list);

private:
    StoreFile m_file;
};

} // namespace Velumo
