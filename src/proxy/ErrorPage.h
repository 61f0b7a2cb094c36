// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>
#include <QString>

namespace Velumo {

// A complete response the proxy sends itself: a short page saying what went wrong, after which
// the connection ends. `withBody` is false for the answer to a HEAD request; `fields` are more
// header lines, each ended by CRLF.
QByteArray errorResponse(int status, const QString &message, bool withBody = true,
                         QByteArrayView fields = {});

} // namespace Velumo
