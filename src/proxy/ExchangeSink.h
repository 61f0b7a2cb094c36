// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

namespace Velumo {

// One thing that happened in an exchange (a request and its response), as the capture sees it.
struct ExchangeEvent {
    enum class Kind : quint8 {
        Request,      // `bytes`: the request head as the visitor sent it, start line to blank
                      // line, X-Forwarded-For appended
        Response,     // `bytes`: a response head as received (interim 1xx heads included)
        RequestBody,  // `bytes`: the next body bytes as forwarded, chunk framing included, so
                      // that the request can be sent again exactly
        ResponseBody, // `bytes`: the next body bytes, without chunk framing
        Finished,     // the final response was forwarded whole; `bytes` is empty
        Answered,     // the proxy answered itself: `bytes` is its response whole, page included
        Repeated,     // the same visitor got the same answer again, `times` more times
        Ended,        // the connection ended before a whole response: `bytes` says why (UTF-8)
        Rewritten,    // `bytes`: the request head as forwarded, with the Host Velumo sent
    };

    quint64 exchange = 0; // numbers a proxy's exchanges from 1, in the order requests arrive
    Kind kind = Kind::Request;
    qint64 atMsecs = 0; // QDateTime::currentMSecsSinceEpoch()
    QByteArray bytes;
    // Finished: how many bytes followed each head on the wire (all of them, not only what the
    // sink was given); the request's so far when the service answered before it was whole.
    qint64 requestBodySize = 0;
    qint64 responseBodySize = 0;
    qint64 times = 0;
};

// Where a proxy hands what it sees for the request list. Without one the proxy copies nothing.
class ExchangeSink
{
public:
    virtual ~ExchangeSink() = default;
    // How many bytes of each body the sink wants; the rest of a body is not copied.
    virtual qsizetype bodyBytesWanted() const = 0;
    // Bytes copied for the sink count against its bound from the moment they are copied until
    // its owner has them. False (only when `refusable`): no room now for `bytes` more of a
    // body, which is then cut.
    virtual bool reserve(qsizetype bytes, bool refusable) = 0;
    // Called on the proxy thread, a few times a second at most (or once 4 MiB are waiting),
    // with the events since the last call in order, a body's bytes in one event per batch. It
    // must not block: it hands the batch on to the thread that keeps it.
    virtual void deliver(std::vector<ExchangeEvent> batch) = 0;
};

} // namespace Velumo
