// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/BodyDecoder.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMimeDatabase>
#include <QStringDecoder>

#include <brotli/decode.h>
#include <zlib.h>

#include <optional>
#include <span>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

constexpr qsizetype outputStep = 64 * 1024;

QString tr(const char *text)
{
    return QCoreApplication::translate("Velumo::BodyDecoder", text);
}

// Output of one decoder: cut when it stopped at the limit or its input ended early.
struct Inflated {
    QByteArray bytes;
    bool cut = false;
    bool failed = false;

    // Room for the decoder's next step at the end of `bytes`, or none once the limit is
    // reached. The caller chops off what the step left unused.
    std::optional<std::span<char>> nextRoom()
    {
        if (bytes.size() >= BodyDecoder::decodedLimit) {
            cut = true;
            return std::nullopt;
        }
        const qsizetype before = bytes.size();
        const qsizetype room = std::min(outputStep, BodyDecoder::decodedLimit - before);
        bytes.resize(before + room);
        return std::span<char>(bytes.data() + before, size_t(room));
    }
};

// zlib for gzip (windowBits 15 + 32 takes gzip or zlib) and deflate (15: zlib, -15: raw).
Inflated inflate(QByteArrayView input, int windowBits)
{
    Inflated out;
    z_stream stream{};
    if (inflateInit2(&stream, windowBits) != Z_OK) {
        out.failed = true;
        return out;
    }
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.data()));
    stream.avail_in = uInt(input.size());
    int status = Z_OK;
    while (status == Z_OK) {
        const std::optional<std::span<char>> room = out.nextRoom();
        if (!room) {
            break;
        }
        stream.next_out = reinterpret_cast<Bytef *>(room->data());
        stream.avail_out = uInt(room->size());
        status = ::inflate(&stream, Z_NO_FLUSH);
        out.bytes.chop(qsizetype(stream.avail_out));
        if (status == Z_BUF_ERROR ||
            (status == Z_OK && stream.avail_in == 0 && stream.avail_out > 0)) {
            out.cut = true; // the input ended before the stream did
            break;
        }
    }
    out.failed = status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR;
    inflateEnd(&stream);
    return out;
}

Inflated unbrotli(QByteArrayView input)
{
    Inflated out;
    BrotliDecoderState *state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    size_t inLeft = size_t(input.size());
    auto next = reinterpret_cast<const uint8_t *>(input.data());
    BrotliDecoderResult result = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
    while (result == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
        const std::optional<std::span<char>> room = out.nextRoom();
        if (!room) {
            break;
        }
        size_t outLeft = room->size();
        auto to = reinterpret_cast<uint8_t *>(room->data());
        result = BrotliDecoderDecompressStream(state, &inLeft, &next, &outLeft, &to, nullptr);
        out.bytes.chop(qsizetype(outLeft));
    }
    out.cut = out.cut || result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT;
    out.failed = result == BROTLI_DECODER_RESULT_ERROR;
    BrotliDecoderDestroyInstance(state);
    return out;
}

// Indents JSON already known to be valid. QJsonDocument would do it too, but it sorts object
// keys and turns numbers into doubles, and here the user reads what the service sent.
QString prettyJson(QByteArrayView json)
{
    QByteArray out;
    out.reserve(json.size() * 2);
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    const auto newline = [&] { out += '\n' + QByteArray(depth * 2, ' '); };
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            out += c;
            inString = escaped || c != '"';
            escaped = !escaped && c == '\\';
            continue;
        }
        switch (c) {
        case '{':
        case '[': {
            qsizetype next = i + 1;
            while (next < json.size() && QByteArrayView(" \t\r\n").contains(json[next])) {
                ++next;
            }
            out += c;
            if (next < json.size() && json[next] == (c == '{' ? '}' : ']')) {
                out += json[next]; // an empty one stays on its line
                i = next;
            } else {
                ++depth;
                newline();
            }
            break;
        }
        case '}':
        case ']':
            --depth;
            newline();
            out += c;
            break;
        case ',':
            out += c;
            newline();
            break;
        case ':':
            out += ": ";
            break;
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            break;
        case '"':
            inString = true;
            out += c;
            break;
        default:
            out += c;
        }
    }
    return QString::fromUtf8(out);
}

// Offset, sixteen bytes in hex, then the same bytes as ASCII, a line each. Built as Latin-1
// bytes: a formatted string per byte made 64 KiB cost tens of thousands of allocations.
QString hexDump(QByteArrayView bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    QByteArray out;
    out.reserve((bytes.size() / 16 + 1) * 78);
    for (qsizetype at = 0; at < bytes.size(); at += 16) {
        const QByteArrayView line = bytes.sliced(at, std::min<qsizetype>(16, bytes.size() - at));
        out += QByteArray::number(at, 16).rightJustified(8, '0');
        out += ' ';
        for (qsizetype i = 0; i < 16; ++i) {
            if (i < line.size()) {
                const auto byte = quint8(line[i]);
                out += ' ';
                out += digits[byte >> 4];
                out += digits[byte & 0xf];
            } else {
                out += "   ";
            }
        }
        out += "  |";
        for (const char c : line) {
            out += c >= 0x20 && c < 0x7f ? c : '.';
        }
        out += "|\n";
    }
    return QString::fromLatin1(out);
}

// Text in the charset the head names (UTF-8 when none); nullopt when it does not decode.
std::optional<QString> asText(QByteArrayView bytes, const QByteArray &contentType)
{
    const qsizetype at = contentType.toLower().indexOf("charset=");
    QByteArray charset = at < 0 ? QByteArray("utf-8") : contentType.mid(at + 8).trimmed();
    charset = charset.left(charset.indexOf(';')).replace('"', "").trimmed();
    QStringDecoder decoder(charset.constData());
    if (!decoder.isValid()) {
        decoder = QStringDecoder(QStringDecoder::Utf8);
    }
    QString text = decoder.decode(bytes);
    const bool control = std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.unicode() < 0x20 && c != u'\n' && c != u'\r' && c != u'\t';
    });
    if (decoder.hasError() || control) {
        return std::nullopt;
    }
    return text;
}

} // namespace

DecodedBody BodyDecoder::request(const CapturedExchange &exchange)
{
    return decode(exchange.request, exchange.requestContent(), exchange.requestTruncated);
}

DecodedBody BodyDecoder::response(const CapturedExchange &exchange)
{
    return decode(exchange.response, exchange.responseBody, exchange.responseTruncated);
}

DecodedBody BodyDecoder::decode(const CapturedHead &head, QByteArrayView body, bool truncated)
{
    DecodedBody out;
    out.truncated = truncated;
    out.bytes = body.toByteArray();
    if (body.isEmpty()) {
        return out;
    }
    // Codings are undone last first.
    QList<QByteArray> codings = head.field("Content-Encoding").toLower().split(',');
    for (auto coding = codings.crbegin(); coding != codings.crend(); ++coding) {
        const QByteArray name = coding->trimmed();
        if (name.isEmpty() || name == "identity") {
            continue;
        }
        Inflated step;
        if (name == "gzip" || name == "x-gzip") {
            step = inflate(out.bytes, 15 + 32);
        } else if (name == "deflate") {
            step = inflate(out.bytes, 15);
            if (step.failed && step.bytes.isEmpty()) {
                step = inflate(out.bytes, -15); // servers that send it raw
            }
        } else if (name == "br") {
            step = unbrotli(out.bytes);
        } else {
            out.problem = tr("Shown as received: Velumo cannot undo the coding “%1”.")
                              .arg(QString::fromLatin1(name));
            break;
        }
        if (step.failed) {
            out.problem =
                tr("Shown as received: the body is not valid %1.").arg(QString::fromLatin1(name));
            break;
        }
        out.bytes = std::move(step.bytes);
        out.truncated = out.truncated || step.cut;
    }

    const QByteArray contentType = head.field("Content-Type");
    out.mimeType = contentType.left(contentType.indexOf(';')).trimmed().toLower();
    if (out.mimeType.isEmpty() || out.mimeType == "application/octet-stream") {
        const QMimeType guess = QMimeDatabase().mimeTypeForData(out.bytes);
        out.mimeType = guess.isValid() ? guess.name().toLatin1() : out.mimeType;
    }
    const QByteArray &mime = out.mimeType;
    if (mime.startsWith("image/")) {
        out.kind = DecodedBody::Kind::Image;
        return out;
    }
    const QByteArray start = out.bytes.first(std::min<qsizetype>(out.bytes.size(), 64)).trimmed();
    const bool looksLikeJson =
        mime.contains("json") || start.startsWith('{') || start.startsWith('[');
    if (looksLikeJson && !QJsonDocument::fromJson(out.bytes).isNull()) {
        out.kind = DecodedBody::Kind::Json;
        out.text = prettyJson(out.bytes);
        return out;
    }
    if (const std::optional<QString> text = asText(out.bytes, contentType)) {
        out.kind = DecodedBody::Kind::Text;
        out.text = *text;
        return out;
    }
    out.kind = DecodedBody::Kind::Binary;
    out.text = hexDump(QByteArrayView(out.bytes).first(std::min(out.bytes.size(), hexLimit)));
    return out;
}

} // namespace Velumo
