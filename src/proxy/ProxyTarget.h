// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QString>

namespace Velumo {

// Where a proxy forwards to: the tunnel's service, fixed for the proxy's life.
struct ProxyTarget {
    QString host;
    quint16 port = 0;
};

} // namespace Velumo
