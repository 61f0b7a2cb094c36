// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// Must not compile with the core library's include paths: the core links no D-Bus.
#include <QDBusConnection>
