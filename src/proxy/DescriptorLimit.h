// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

namespace Velumo {

// Each visitor connection takes two descriptors, and the desktop's usual soft limit of 1,024
// would let a few hundred connections on one tunnel starve every other proxy and the window.
// Raises the soft limit to the hard one, once, at start; processes started afterwards get the
// limit that was there before, through fork() and restoreDescriptorLimit().
void raiseDescriptorLimit();

// For a child process between fork and exec (async-signal-safe): the soft limit back to what
// it was before raiseDescriptorLimit(). Does nothing when it was not raised.
void restoreDescriptorLimit();

} // namespace Velumo
