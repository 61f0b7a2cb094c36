// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

class QAccessibleInterface;
class QObject;
class QString;

namespace Velumo {

// What a screen reader finds in the tunnel list: a list whose items are the rows (across the
// pages they sit in), each named from its tunnel, its controls in the order they are seen.
// Installed once as an accessibility factory.
void installRowAccessibility();
QAccessibleInterface *rowAccessibility(const QString &className, QObject *object);

} // namespace Velumo
