// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/MessageHead.h"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <cstdint>
#include <cstring>
#include <limits>

namespace Velumo {

// Finds where one HTTP/1.1 message begins and ends in a stream, and reads its head. The body
// is only walked through: each step says how many bytes belong to the message, and the caller
// forwards exactly those. Beast's parser cannot start over, so a framer reads one message and
// the connection makes a new one for the next.
template <bool isRequest>
class HttpFramer final : public boost::beast::http::basic_parser<isRequest>
{
    using Parser = boost::beast::http::basic_parser<isRequest>;
    using string_view = boost::beast::string_view;
    using error_code = boost::beast::error_code;

public:
    // Cloudflare forwards heads larger than Beast's 8 KiB default.
    static constexpr qsizetype headLimit = 64 * 1024;

    enum class Outcome { Progress, NeedMore, HeadTooLarge, Malformed };
    struct Step {
        qsizetype consumed = 0;
        Outcome outcome = Outcome::Progress;
        bool head = false; // this step read the whole head
    };

    // `bodyless`: the answer to a HEAD request, whose length fields describe a body not sent.
    explicit HttpFramer(bool bodyless = false)
    {
        this->header_limit(std::uint32_t(headLimit));
        // Beast 1.74 takes boost::none here as a limit of zero for any Content-Length.
        this->body_limit(std::numeric_limits<std::uint64_t>::max());
        this->skip(bodyless);
        m_head.m_request = isRequest;
    }

    // Reads a prefix of `data`, which starts where the last step ended. The head is read only
    // once it is whole; a body one piece at a time.
    Step feed(QByteArrayView data)
    {
        m_body = {};
        QByteArrayView input = data;
        if (!this->is_header_done()) {
            const qsizetype end = headEnd(data);
            if (end < 0) {
                const bool over = data.size() >= headLimit;
                return {0, over ? Outcome::HeadTooLarge : Outcome::NeedMore};
            }
            if (end > headLimit) {
                return {0, Outcome::HeadTooLarge};
            }
            input = data.first(end);
            m_base = input.data();
            m_head.clear();
        }
        error_code ec;
        const auto used =
            qsizetype(this->put(boost::asio::const_buffer(input.data(), size_t(input.size())), ec));
        Step step{used};
        if (ec == boost::beast::http::error::need_more) {
            step.outcome = Outcome::NeedMore;
        } else if (ec == boost::beast::http::error::header_limit) {
            step.outcome = Outcome::HeadTooLarge;
        } else if (ec) {
            step.outcome = Outcome::Malformed;
        }
        if (m_base && this->is_header_done()) {
            step.head = true;
            m_head.finish(input.first(used));
            m_base = nullptr;
        } else if (m_base) {
            // The head ended where Beast saw no end (a bare LF after a folded line): it is
            // not HTTP/1.1, and none of it may be forwarded.
            step = {0, Outcome::Malformed};
        }
        return step;
    }

    // The stream ended: true when that completes the message (a body that runs to the end).
    bool finishAtEnd()
    {
        if (!this->got_some()) {
            return false;
        }
        error_code ec;
        this->put_eof(ec);
        return !ec && this->is_done();
    }

    MessageHead &head() { return m_head; }
    // The body bytes in what the last step consumed, without chunk framing.
    QByteArrayView body() const { return m_body; }

private:
    // The end of the head's blank line, or -1. Beast takes a head a line at a time and would
    // hand part of it over before the rest arrived; the gate and the rewrite need it whole.
    qsizetype headEnd(QByteArrayView data)
    {
        for (qsizetype at = std::max<qsizetype>(m_scanned - 2, 0); at + 1 < data.size(); ++at) {
            const char *nl = static_cast<const char *>(
                std::memchr(data.data() + at, '\n', size_t(data.size() - at)));
            if (!nl) {
                break;
            }
            at = nl - data.data();
            // A bare LF ends the head too, for Beast to reject it rather than wait for more.
            if (at + 1 < data.size() && data[at + 1] == '\n') {
                return at + 2;
            }
            if (at + 2 < data.size() && data[at + 1] == '\r' && data[at + 2] == '\n') {
                return at + 3;
            }
        }
        m_scanned = data.size();
        return -1;
    }

    qsizetype offset(string_view text) const { return qsizetype(text.data() - m_base); }
    MessageHead::Span span(string_view text) const
    {
        return {offset(text), qsizetype(text.size())};
    }

    void on_request_impl(boost::beast::http::verb, string_view method, string_view target,
                         int version, error_code &) override
    {
        m_head.m_method = span(method);
        m_head.m_target = span(target);
        m_head.m_version = version;
    }
    void on_response_impl(int status, string_view reason, int version, error_code &) override
    {
        m_head.m_status = status;
        m_head.m_reason = span(reason);
        m_head.m_version = version;
    }
    void on_field_impl(boost::beast::http::field, string_view name, string_view,
                       error_code &) override
    {
        // Trailers come here too, after the head; they are forwarded as read and not kept.
        if (m_base) {
            m_head.m_fields.emplace_back().name = span(name);
        }
    }
    void on_header_impl(error_code &) override {}
    void on_body_init_impl(boost::optional<std::uint64_t> const &, error_code &) override {}
    std::size_t on_body_impl(string_view body, error_code &) override
    {
        m_body = QByteArrayView(body.data(), qsizetype(body.size()));
        return body.size();
    }
    void on_chunk_header_impl(std::uint64_t, string_view, error_code &) override {}
    std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code &ec) override
    {
        return on_body_impl(body, ec);
    }
    void on_finish_impl(error_code &) override {}

    MessageHead m_head;
    const char *m_base = nullptr; // the head's first byte while it is parsed
    qsizetype m_scanned = 0;
    QByteArrayView m_body;
};

using RequestFramer = HttpFramer<true>;
using ResponseFramer = HttpFramer<false>;

} // namespace Velumo
