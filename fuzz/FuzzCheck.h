// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <cstdio>
#include <cstdlib>

namespace Velumo::Fuzzing {

// A broken property must stop the run the way a crash does, so libFuzzer keeps the input and
// the replay test fails; assertions may be compiled out, this may not.
inline void check(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

} // namespace Velumo::Fuzzing
