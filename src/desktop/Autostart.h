// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"

#include <QCoreApplication>
#include <QString>

namespace Velumo {

// "Start Velumo at login": an XDG autostart entry that starts this executable in the
// background, $XDG_CONFIG_HOME/autostart/org.velumo.Velumo.desktop.
class Autostart
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::Autostart)

public:
    static QString entryPath();
    static bool isEnabled();
    // Writes the entry, atomically, for `executable` (an absolute path: the session starts it
    // with no PATH of the user's shell); or removes it.
    static Done setEnabled(bool enabled, const QString &executable);
    // An Exec= line's program as the desktop entry format wants it quoted.
    static QString quotedForExec(const QString &program);
};

} // namespace Velumo
