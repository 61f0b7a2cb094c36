// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

namespace Velumo::CommandLine {

// What the commands exit with: a contract with scripts (docs/automation.md).
enum Exit {
    Done = 0,
    UsageError = 2,
    NoTool = 3,
    ToolFailed = 4,
    NoVelumo = 5,
    NotFound = 6,
};

// True when the arguments name a command (share, list, start, stop, delete; any first word
// that is not an option) or ask for help or the version: then run() handles them, and no
// window is made.
bool isCommand(int argc, char **argv);
// True when the app is to start in the background: the tray icon, no window.
bool wantsBackground(int argc, char **argv);
// Runs a command against the running Velumo over the session bus, starting one in the
// background when none runs; returns the exit status.
int run(int argc, char **argv);

} // namespace Velumo::CommandLine
