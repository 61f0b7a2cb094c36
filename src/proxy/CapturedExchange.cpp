// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/CapturedExchange.h"

#include "proxy/HttpFramer.h"

namespace Velumo {

namespace {

// What walking a captured message found.
struct Walked {
    bool whole = false;   // it ended
    bool chunked = false; // its body came in chunks
};

// Walks a captured message, its head and what there is of its body, through the framer that
// found its end when it passed: its head into `out`, a chunked body's content into `content`.
template <bool isRequest>
Walked readMessage(QByteArrayView head, QByteArrayView body, CapturedHead &out, QByteArray *content)
{
    HttpFramer<isRequest> framer;
    for (QByteArrayView rest : {head, body}) {
        while (!rest.isEmpty() && !framer.is_done()) {
            const typename HttpFramer<isRequest>::Step step = framer.feed(rest);
            if (step.consumed == 0) {
                return {};
            }
            if (step.head) {
                const MessageHead &read = framer.head();
                out.method = read.method().toByteArray();
                out.target = read.target().toByteArray();
                out.status = read.status();
                out.reason = read.reason().toByteArray();
                out.version = read.version();
                out.fields.clear();
                for (qsizetype i = 0; i < read.fieldCount(); ++i) {
                    out.fields.append({read.name(i).toByteArray(), read.value(i).toByteArray()});
                }
            } else if (content && framer.chunked()) {
                *content += framer.body();
            }
            rest = rest.sliced(step.consumed);
        }
    }
    return {framer.is_done(), framer.is_header_done() && framer.chunked()};
}

} // namespace

CapturedHead CapturedHead::response(QByteArray bytes)
{
    CapturedHead head;
    readMessage<false>(bytes, {}, head, nullptr);
    head.bytes = std::move(bytes);
    return head;
}

CapturedHead CapturedHead::request(QByteArray bytes)
{
    CapturedHead head;
    readMessage<true>(bytes, {}, head, nullptr);
    head.bytes = std::move(bytes);
    return head;
}

QByteArray CapturedHead::field(QByteArrayView name) const
{
    QByteArray value;
    for (const auto &[fieldName, fieldValue] : fields) {
        if (fieldName.compare(name, Qt::CaseInsensitive) == 0) {
            value += (value.isEmpty() ? "" : ", ") + fieldValue;
        }
    }
    return value;
}

qint64 CapturedHead::cost() const
{
    // What was read from the bytes is never longer than they are; each field has its pair too.
    return 2 * bytes.size() + 32 * fields.size();
}

void CapturedExchange::readRequest()
{
    m_content.clear();
    const Walked walked = readMessage<true>(request.bytes, requestBody, request, &m_content);
    requestWhole = walked.whole;
    m_chunked = walked.chunked;
    if (request.method.isEmpty()) {
        // A request the proxy refused as unreadable: its start line still says what it was.
        const qsizetype end = request.bytes.indexOf('\r');
        const QByteArrayView line = QByteArrayView(request.bytes).first(end < 0 ? 0 : end);
        const qsizetype space = line.indexOf(' ');
        const qsizetype last = line.lastIndexOf(' ');
        request.method = line.first(std::max<qsizetype>(space, 0)).toByteArray();
        request.target =
            space < last ? line.sliced(space + 1, last - space - 1).toByteArray() : QByteArray();
    }
}

qint64 CapturedExchange::cost() const
{
    // The fixed part stands for the object, its strings' headers and the indexes.
    return 256 + tunnel.size() * 2 + request.cost() + response.cost() + requestBody.size() +
           responseBody.size() + m_content.size() + ended.size() + forwardedHead.size();
}

} // namespace Velumo
