// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace Velumo {

QString Autostart::entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           u"/autostart/org.velumo.Velumo.desktop"_s;
}

bool Autostart::isEnabled()
{
    return QFileInfo::exists(entryPath());
}

QString Autostart::quotedForExec(const QString &program)
{
    // Reserved characters need the whole argument in double quotes, inside which ", `, $ and
    // \ take a backslash.
    static const QString reserved = u" \t\n\"'\\><~|&;$*?#()`"_s;
    if (std::none_of(program.cbegin(), program.cend(),
                     [](QChar c) { return reserved.contains(c); })) {
        return program;
    }
    QString quoted = u"\""_s;
    for (const QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') {
            quoted += u'\\';
        }
        quoted += c;
    }
    return quoted + u'"';
}

Done Autostart::setEnabled(bool enabled, const QString &executable)
{
    const QString path = entryPath();
    if (!enabled) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            return Refusal{tr("Could not remove %1.").arg(QDir::toNativeSeparators(path))};
        }
        return {};
    }
    if (!QFileInfo(executable).isAbsolute()) {
        return Refusal{tr("Velumo's own path is not known, so it cannot start at login.")};
    }
    // In desktop entry strings a backslash is an escape too: the quoting's backslashes double.
    QString exec = quotedForExec(executable);
    exec.replace(u'\\', u"\\\\"_s);
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Velumo\n"
                             "Comment=" +
                             tr("Velumo in the background, with its tray icon").toUtf8() +
                             "\n"
                             "Exec=" +
                             exec.toUtf8() +
                             " --background\n"
                             "Icon=org.velumo.Velumo\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit()) {
        return Refusal{tr("Could not write %1: %2")
                           .arg(QDir::toNativeSeparators(path), file.errorString())};
    }
    return {};
}

} // namespace Velumo
