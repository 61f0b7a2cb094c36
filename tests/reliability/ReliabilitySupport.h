// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

// Helpers shared by the fault tests, on top of the core tests' own.

#include "../core/TestSupport.h"

#include <QFile>
#include <QString>

namespace Velumo::Testing {

// Writes a stand-in script to `path` and makes it the one tools started from now on replay.
// The file must stay until those tools have started and read it.
inline void useScriptAt(const QString &path, const QByteArray &script)
{
    if (!writeFile(path, script)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(path));
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM), or -1.
inline qint64 processStatusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix)) {
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
        }
    }
    return -1;
}

// Starts VmHWM afresh from the current RSS, so a peak left by an earlier test does not hide
// (or stand in for) this one's.
inline bool resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

} // namespace Velumo::Testing
