// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/BodyDecoder.h"

#include <QTest>

#include <brotli/encode.h>
#include <zlib.h>

using namespace Velumo;
using namespace Qt::StringLiterals;

namespace {

// windowBits 31: gzip; 15: zlib (HTTP's "deflate"); -15: raw deflate.
QByteArray deflated(const QByteArray &data, int windowBits)
{
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QByteArray brotli(const QByteArray &data)
{
    size_t size = BrotliEncoderMaxCompressedSize(size_t(data.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                          size_t(data.size()), reinterpret_cast<const uint8_t *>(data.data()),
                          &size, reinterpret_cast<uint8_t *>(out.data()));
    out.truncate(qsizetype(size));
    return out;
}

} // namespace

class BodyDecoderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text"); // what the display starts with
        QTest::addColumn<bool>("truncated");

        using K = DecodedBody::Kind;
        const QByteArray json = "{\"b\":1,\"a\":[2.50,{}],\"s\":\"x,\\\"y\\\":{\"}";
        QTest::newRow("gzip JSON: pretty, keys and numbers as sent")
            << QByteArray("Content-Encoding: gzip\r\nContent-Type: application/json\r\n")
            << deflated(json, 31) << int(K::Json)
            << u"{\n  \"b\": 1,\n  \"a\": [\n    2.50,\n    {}\n  ],\n  \"s\": \"x,\\\"y\\\":{\"\n}"_s
            << false;
        const QByteArray text = "Grüße, " + QByteArray(2000, 'z');
        QTest::newRow("br text") << QByteArray(
                                        "Content-Encoding: br\r\nContent-Type: text/plain\r\n")
                                 << brotli(text) << int(K::Text) << QString::fromUtf8(text)
                                 << false;
        QTest::newRow("deflate, zlib-wrapped")
            << QByteArray("Content-Encoding: deflate\r\n") << deflated(text, 15) << int(K::Text)
            << QString::fromUtf8(text) << false;
        QTest::newRow("gzip then br")
            << QByteArray("Content-Encoding: gzip, br\r\n") << brotli(deflated(text, 31))
            << int(K::Text) << QString::fromUtf8(text) << false;
        QTest::newRow("cut short")
            << QByteArray("Content-Encoding: gzip\r\n") << deflated(text, 31).first(40)
            << int(K::Text) << u"Grüße, zzz"_s << true;
        QTest::newRow("zip bomb: decoding stops at its limit")
            << QByteArray("Content-Encoding: gzip\r\n")
            << deflated(QByteArray(4 * BodyDecoder::decodedLimit, '\0'), 31) << int(K::Binary)
            << u"00000000  00 00 00"_s << true;
        QTest::newRow("image") << QByteArray("Content-Type: image/png\r\n")
                               << QByteArray("\x89PNG\r\n\x1a\n") << int(K::Image) << QString()
                               << false;
        QTest::newRow("binary as hex") << QByteArray() << QByteArray("\x01\x02\xffok", 5)
                                       << int(K::Binary) << u"00000000  01 02 ff 6f 6b"_s << false;
        QTest::newRow("unknown coding: as received")
            << QByteArray("Content-Encoding: zstd\r\n") << QByteArray("abc") << int(K::Text)
            << u"abc"_s << false;
    }

    void decode()
    {
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, body);
        QFETCH(int, kind);
        QFETCH(QString, text);
        QFETCH(bool, truncated);

        const DecodedBody decoded = BodyDecoder::decode(
            CapturedHead::response("HTTP/1.1 200 OK\r\n" + fields + "\r\n"), body, false);
        QCOMPARE(int(decoded.kind), kind);
        QVERIFY2(decoded.text.startsWith(text), qPrintable(decoded.text.left(200)));
        QCOMPARE(decoded.truncated, truncated);
        if (kind == int(DecodedBody::Kind::Image)) {
            QCOMPARE(decoded.mimeType, "image/png");
        }
        QVERIFY(decoded.bytes.size() <= BodyDecoder::decodedLimit);
        QCOMPARE(decoded.problem.isEmpty(), !fields.contains("zstd"));
    }
};

QTEST_GUILESS_MAIN(BodyDecoderTest)
#include "BodyDecoderTest.moc"
