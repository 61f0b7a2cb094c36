// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/MessageHead.h"

#include <QCoreApplication>
#include <QString>

#include <optional>

namespace Velumo {

// A request head that parses but whose end a service could find elsewhere than the proxy
// does: a folded line, a Transfer-Encoding other than exactly "chunked" or in HTTP/1.0, a
// Content-Length list or repeated, or both fields. nginx refuses each of these, with the same
// status; so does the proxy, before the gate or the service sees any of it.
class StrictFraming
{
    Q_DECLARE_TR_FUNCTIONS(Velumo::StrictFraming)

public:
    struct Refusal {
        int status = 400;
        QString message;
    };

    static std::optional<Refusal> refusal(const MessageHead &head);
};

} // namespace Velumo
