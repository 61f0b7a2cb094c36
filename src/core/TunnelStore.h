// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace Velumo {

// The one file that keeps the tunnel list between runs. Its bytes are exactly the JSON text of
// the list; writes are atomic, so a reader sees either the old list or the new one.
class TunnelStore
{
public:
    // $XDG_CONFIG_HOME/velumo/storedTunnels.json, through QStandardPaths.
    static QString defaultFilePath();

    explicit TunnelStore(QString filePath = defaultFilePath());

    QString filePath() const { return m_filePath; }

    struct Contents {
        // Absent when there is no file, or something other than a file is in its place.
        std::optional<QByteArray> bytes;
        // Why the file could not be read, when it is there but unreadable.
        QString error;
    };
    Contents read() const;

    // Writes a temporary file beside the store, checks every write and the flush, then renames
    // it over the old file. On failure the old file is untouched and `error` says why.
    bool write(const QByteArray &bytes, QString *error = nullptr) const;

    // Copies bytes that could not be decoded to storedTunnels.json.unreadable-<UTC time> beside
    // the store, so the next save does not destroy them. Returns the path written, or nullopt.
    std::optional<QString> keepUnreadable(const QByteArray &bytes, QString *error = nullptr) const;

private:
    QString m_filePath;
};

} // namespace Velumo
