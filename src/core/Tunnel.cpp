// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Tunnel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace Velumo {

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void appendEscapedUtf8(QByteArray &out, const QByteArray &utf8)
{
    out.reserve(out.size() + utf8.size() + 2);
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '/':
            out.append("\\/");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        default:
            if (u < 0x20) {
                out.append("\\u00");
                out.append(hexDigits[u >> 4]);
                out.append(hexDigits[u & 0xf]);
            } else {
                out.append(c);
            }
        }
    }
}

// Qt's writer sorts keys and leaves '/' alone, and stored lists must keep the byte form
// other builds write, so strings are escaped here.
void appendJsonString(QByteArray &out, QStringView text)
{
    out.append('"');
    // UTF-8 cannot carry a lone surrogate (toUtf8 writes '?' for it), so the record would
    // change on its next save; such a code unit is written as a \u escape instead.
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (!c.isSurrogate()) {
            continue;
        }
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        appendEscapedUtf8(out, text.sliced(runStart, i - runStart).toUtf8());
        const char16_t u = c.unicode();
        out.append("\\u");
        for (int shift = 12; shift >= 0; shift -= 4) {
            out.append(hexDigits[(u >> shift) & 0xf]);
        }
        runStart = i + 1;
    }
    appendEscapedUtf8(out, text.sliced(runStart).toUtf8());
    out.append('"');
}

void appendKey(QByteArray &out, CodingKeys key)
{
    appendJsonString(out, codingKeyText(key));
    out.append(':');
}

void appendTunnel(QByteArray &out, const Tunnel &tunnel)
{
    out.append('{');
    appendKey(out, CodingKeys::id);
    appendJsonString(out, uuidText(tunnel.id));
    if (tunnel.url) {
        out.append(',');
        appendKey(out, CodingKeys::url);
        appendJsonString(out, tunnel.url->toString(QUrl::FullyEncoded));
    }
    out.append(',');
    appendKey(out, CodingKeys::hostname);
    appendJsonString(out, tunnel.hostname);
    out.append(',');
    appendKey(out, CodingKeys::port);
    appendJsonString(out, tunnel.port);
    out.append(',');
    appendKey(out, CodingKeys::loading);
    out.append(tunnel.loading ? "true" : "false");
    out.append('}');
}

Result<QString> readString(const QJsonObject &object, CodingKeys key)
{
    const QString name = codingKeyText(key);
    const QJsonValue value = object.value(name);
    if (value.isUndefined()) {
        return Refusal{QStringLiteral("missing key \"%1\"").arg(name)};
    }
    if (!value.isString()) {
        return Refusal{QStringLiteral("\"%1\" is not a string").arg(name)};
    }
    return value.toString();
}

} // namespace

QString codingKeyText(CodingKeys key)
{
    switch (key) {
    case CodingKeys::id:
        return QStringLiteral("id");
    case CodingKeys::url:
        return QStringLiteral("url");
    case CodingKeys::hostname:
        return QStringLiteral("hostname");
    case CodingKeys::port:
        return QStringLiteral("port");
    case CodingKeys::loading:
        return QStringLiteral("loading");
    }
    Q_UNREACHABLE();
}

QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

std::optional<QUuid> uuidFromText(QStringView text)
{
    if (text.size() != 36) {
        return std::nullopt;
    }
    // QUuid also takes braces and is lenient about some malformed input; the stored form is
    // the bare 36-character one, so check the hyphen positions and digits first.
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        const char16_t u = c.unicode();
        const bool hex =
            (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
        if (hyphenPlace ? u != u'-' : !hex) {
            return std::nullopt;
        }
    }
    return QUuid::fromString(text);
}

QByteArray encodeTunnels(const TunnelList &tunnels)
{
    QByteArray out;
    out.reserve(tunnels.size() * 160 + 2);
    out.append('[');
    for (qsizetype i = 0; i < tunnels.size(); ++i) {
        if (i > 0) {
            out.append(',');
        }
        appendTunnel(out, tunnels[i]);
    }
    out.append(']');
    return out;
}

Result<Tunnel> decodeTunnel(const QJsonObject &object)
{
    const QJsonValue id = object.value(codingKeyText(CodingKeys::id));
    if (id.isUndefined()) {
        return Refusal{QStringLiteral("missing key \"id\"")};
    }
    const std::optional<QUuid> uuid =
        id.isString() ? uuidFromText(id.toString()) : std::optional<QUuid>();
    if (!uuid) {
        return Refusal{QStringLiteral("\"id\" is not a UUID")};
    }
    // Made with the stored id: a default record would first draw a random one, which costs
    // more than all the rest of the decoding.
    Tunnel tunnel{.id = *uuid, .url = {}, .hostname = {}, .port = {}, .loading = false};

    const QJsonValue url = object.value(codingKeyText(CodingKeys::url));
    if (url.isUndefined() || url.isNull()) {
        tunnel.url.reset();
    } else if (!url.isString()) {
        return Refusal{QStringLiteral("\"url\" is not a string")};
    } else {
        const QString text = url.toString();
        QUrl parsed(text, QUrl::StrictMode);
        // Strict parsing still lets through a few forms (such as '#' inside the fragment) that
        // the encoded form cannot carry; such a record would change on its next save. Text that
        // already is its own encoded form reads back the same, so only other text is read again.
        const QString encoded = parsed.toString(QUrl::FullyEncoded);
        if (!parsed.isValid() || text.isEmpty() ||
            (encoded != text && QUrl(encoded, QUrl::StrictMode) != parsed)) {
            return Refusal{QStringLiteral("\"url\" is not a valid URL")};
        }
        tunnel.url = std::move(parsed);
    }

    for (auto [key, out] : {std::pair{CodingKeys::hostname, &tunnel.hostname},
                            std::pair{CodingKeys::port, &tunnel.port}}) {
        Result<QString> text = readString(object, key);
        if (!text) {
            return Refusal{text.reason()};
        }
        *out = std::move(*text);
    }

    const QJsonValue loading = object.value(codingKeyText(CodingKeys::loading));
    if (!loading.isBool()) {
        return Refusal{loading.isUndefined() ? QStringLiteral("missing key \"loading\"")
                                          : QStringLiteral("\"loading\" is not a boolean")};
    }
    tunnel.loading = loading.toBool();
    return tunnel;
}

Result<TunnelList> decodeTunnels(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Refusal{QStringLiteral("not JSON (%1 at byte %2)")
                        .arg(parseError.errorString())
                        .arg(parseError.offset)};
    }
    if (!document.isArray()) {
        return Refusal{QStringLiteral("not a JSON array")};
    }
    const QJsonArray array = document.array();
    TunnelList tunnels;
    tunnels.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue element = array.at(i);
        Result<Tunnel> tunnel = element.isObject()
                                    ? decodeTunnel(element.toObject())
                                    : Result<Tunnel>(Refusal{QStringLiteral("not an object")});
        if (!tunnel) {
            return Refusal{QStringLiteral("element %1: %2").arg(i).arg(tunnel.reason())};
        }
        tunnels.append(std::move(*tunnel));
    }
    return tunnels;
}

} // namespace Velumo
