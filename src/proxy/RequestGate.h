// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/MessageHead.h"

#include <QByteArray>

#include <optional>

namespace Velumo {

// Decides whether a visitor's request may reach the service, before any of it is forwarded.
class RequestGate
{
public:
    virtual ~RequestGate() = default;
    // Called on the proxy thread once a request's head has arrived. Nothing lets the request
    // through as `head` then reads: the gate may drop its own credentials from it. A complete
    // response is sent to the visitor instead, and the connection then ends.
    virtual std::optional<QByteArray> admit(MessageHead &head) = 0;
};

} // namespace Velumo
