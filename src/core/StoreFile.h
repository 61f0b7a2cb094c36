// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <functional>
#include <optional>
#include <type_traits>

namespace Velumo {

// One file that keeps a list between runs. Writes are atomic, so a reader sees either the old
// bytes or the new ones; and bytes that could not be read are never replaced before a copy of
// them is kept aside.
class StoreFile
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::StoreFile)

public:
    // `what` names the list in messages for the user, e.g. "tunnel list".
    StoreFile(QString filePath, QString what);

    const QString &filePath() const { return m_filePath; }

    struct Contents {
        // Absent when there is no file, or something other than a file is in its place.
        std::optional<QByteArray> bytes;
        // Why the file could not be read, when it is there but unreadable.
        QString error;
    };
    Contents read() const;

    // Whether the file is known to hold something its owner can read, or nothing: only then may
    // a save replace it without first keeping a copy. Set by the owner after decoding it.
    void setKnownReadable(bool known) { m_knownReadable = known; }

    struct SaveResult {
        bool written = false;
        // Where unreadable bytes were kept before this save replaced them.
        std::optional<QString> keptAs;
        // Why nothing was written; with keptAs unset and `keepFailed`, the copy failed.
        QString error;
        bool keepFailed = false;
    };
    // Writes `bytes` over the file. Unless the file is known readable, its current bytes are
    // checked with `decodes` first and kept aside when they do not decode.
    SaveResult save(const QByteArray &bytes,
                    const std::function<bool(const QByteArray &)> &decodes);

    // The list in the file, or nothing when there is none; refused, saying why, when a file
    // that is there cannot be used. Remembers whether a later save may replace the file as it
    // is. `decode(bytes)` reads the list.
    template <typename Decode>
    auto load(Decode decode)
        -> Result<std::optional<std::remove_cvref_t<decltype(*decode(QByteArray()))>>>
    {
        using List = std::remove_cvref_t<decltype(*decode(QByteArray()))>;
        const Contents contents = read();
        if (!contents.bytes) {
            m_knownReadable = contents.error.isEmpty();
            if (!m_knownReadable) {
                return Refusal{unreadableMessage(contents.error)};
            }
            return std::optional<List>();
        }
        auto list = decode(*contents.bytes);
        m_knownReadable = list.has_value();
        if (!list) {
            return Refusal{undecodableMessage(list.reason())};
        }
        return std::optional(std::move(*list));
    }
    // Saves as save() does and returns a message for the user when something went wrong or an
    // unreadable file was kept aside, or nothing.
    QString saveAndSay(const QByteArray &bytes,
                       const std::function<bool(const QByteArray &)> &decodes);

    // Copies bytes to <file>.unreadable-<UTC time> beside it; returns the path written.
    Result<QString> keepUnreadable(const QByteArray &bytes) const;

    // Writes a temporary file beside `path`, checks every write and the flush, then renames it
    // over the old file. When refused, the old file is untouched.
    static Done writeAtomically(const QString &path, const QByteArray &bytes);

private:
    QString unreadableMessage(const QString &error) const;
    QString undecodableMessage(const QString &error) const;

    QString m_filePath;
    QString m_what;
    bool m_knownReadable = false;
};

} // namespace Velumo
