// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <utility>

namespace Velumo {

using HeaderFields = QList<std::pair<QByteArray, QByteArray>>; // names and values, in order

// A captured head, read once when it is captured: what every reader of the capture uses.
struct CapturedHead {
    QByteArray bytes;    // as it passed, start line to blank line, names as received
    QByteArray method;   // a request's
    QByteArray target;   // a request's, as forwarded: the path and query, usually
    int status = 0;      // a response's; 0 until one is in
    QByteArray reason;   // a response's
    int version = 0;     // 11 for HTTP/1.1
    HeaderFields fields; // values without the whitespace around them

    // Reads `bytes` as a response's head, or a request's.
    static CapturedHead response(QByteArray bytes);
    static CapturedHead request(QByteArray bytes);
    // The values of every field of that name (any case), joined by ", "; empty when none.
    QByteArray field(QByteArrayView name) const;
    qint64 cost() const;
};

// One request and its response as the request list keeps them.
struct CapturedExchange {
    quint64 id = 0; // unique in the store; a newer exchange has a larger one
    QString tunnel;
    qint64 startedMsecs = 0;   // since the epoch, when the request head was forwarded
    qint64 durationMsecs = -1; // until the response was forwarded whole; -1 until then
    CapturedHead request;      // as the visitor sent it
    // The head as forwarded, when the proxy sent the service another Host; empty otherwise.
    QByteArray forwardedHead;
    CapturedHead response;     // the last one received (after any interim 1xx)
    // Body bytes on the wire (chunk framing included); so far, until finished.
    qint64 requestSize = 0;
    qint64 responseSize = 0;
    QByteArray requestBody;        // as forwarded, chunk framing included, at most bodyLimit
    QByteArray responseBody;       // without chunk framing, at most bodyLimit
    bool requestWhole = false;     // its end was captured too, so it can be sent again as it was
    bool requestTruncated = false; // more followed than the body holds
    bool responseTruncated = false;
    bool replay = false;   // sent again from here, not by a visitor
    bool finished = false; // the response was forwarded whole (or switched protocols)
    bool byProxy = false;  // the proxy answered itself, not the service
    qint64 times = 1;      // a refusal the same visitor got again counts here, not anew
    QByteArray ended;      // why the connection ended before a whole response, if it did

    // Reads the request from request.bytes and requestBody, once either has changed: its head,
    // whether it is whole and, for a chunked one, its content.
    void readRequest();
    // The request body without chunk framing, as far as it was captured.
    QByteArray requestContent() const { return m_chunked ? m_content : requestBody; }
    qint64 cost() const; // what it counts for against the store's capacity

private:
    bool m_chunked = false;
    QByteArray m_content; // a chunked body's content, which the framing hides
};

} // namespace Velumo
