// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/OutputStream.h"
#include "core/ToolProcess.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace Velumo {

// What one start of a tool gives its caller: the stream of what the tool writes on its error
// stream, and the handle that owns the process. Dropping the handle ends the tool.
struct ToolRun {
    OutputStream output;
    std::shared_ptr<ToolProcess> process;
};

// Starts external programs. Stateless: every run is independent.
class Shell
{
public:
    // Starts `launchPath` with `arguments` as separate argv entries (no shell in between).
    // Without `environment` the tool inherits ours; with one, it replaces ours whole. The tool's
    // standard output and input are ours; its standard error is read, chunk by chunk, into the
    // stream. A failed launch prints its description on standard output and ends the stream.
    ToolRun run(const QString &launchPath, const QStringList &arguments,
                const std::optional<QMap<QString, QString>> &environment = std::nullopt) const;
    // A one-shot command: as run(), with its standard output kept for the caller (see
    // ToolProcess::capturedOutput) and `environment` added to ours rather than replacing it.
    ToolRun runCommand(const QString &launchPath, const QStringList &arguments,
                       const QMap<QString, QString> &addedEnvironment = {}) const;
    // A run that fails to launch with `description`, for a tool that is nowhere to be found.
    ToolRun unavailable(const QString &description, const QStringList &arguments) const;
    // run(), or, when `launchPath` is empty (the tool was not found), a run that fails to
    // launch saying where the app looked.
    ToolRun runFound(const QString &launchPath, const QStringList &arguments,
                     const std::optional<QMap<QString, QString>> &environment = std::nullopt) const;
};

// Where cloudflared lives: beside the executable, then in ../libexec/velumo/ (the installed
// layout), then on PATH. A path once found is kept for the rest of the run; while none is
// found, every call looks again, so a tool installed while the app runs is used at the next
// start. Empty when it is nowhere.
QString cloudflaredPath();
// The places the lookup tries, for telling the user where it looked.
QStringList cloudflaredSearchPlaces();
// "cloudflared was not found (looked in …)".
QString cloudflaredNotFound();
// cloudflared's `tunnel` command with `rest` after it, never updating itself: an unmanaged
// cloudflared updates itself when its output is not a terminal, then exits with code 11, which
// would end a running tunnel.
QStringList tunnelArguments(const QStringList &rest);

// Prints one line on our standard output: how the app reports a tool that failed to launch
// and error chunks, besides what it tells the user in the window.
void printDiagnostic(const QString &text);

// What `<path> --version` prints, first line; nothing when it cannot be run or says nothing
// within a few seconds.
QCoro::Task<std::optional<QString>> cloudflaredVersion(QString path);

} // namespace Velumo
