// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/PasswordGate.h"

#include "proxy/ErrorPage.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QVarLengthArray>

#include <array>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

// The cookie outlives a browser restart; the token itself lasts only while the app runs.
constexpr QByteArrayView cookieAttributes = "; Path=/; Max-Age=2592000; Secure; HttpOnly; "
                                            "SameSite=Lax";

QByteArray digest(QByteArrayView secret)
{
    return QCryptographicHash::hash(secret, QCryptographicHash::Sha256);
}

// Compares digests, so that the time taken says nothing about how much of a guess was right.
bool matches(QByteArrayView candidate, const QByteArray &expected)
{
    const QByteArray actual = digest(candidate);
    if (expected.size() != actual.size()) {
        return false; // no secret set
    }
    char difference = 0;
    for (qsizetype i = 0; i < actual.size(); ++i) {
        difference |= char(actual[i] ^ expected[i]);
    }
    return difference == 0;
}

// URL-safe base64 of `bytes` random bytes from the system's generator.
QByteArray randomToken(qsizetype bytes)
{
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.data()), bytes)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool isNamed(const MessageHead &head, qsizetype i, QByteArrayView name)
{
    return head.name(i).compare(name, Qt::CaseInsensitive) == 0;
}

// "Basic <base64 of user:password>" with the password; any user name. `tried`: it was Basic.
bool basicMatches(QByteArrayView value, const QByteArray &passwordDigest, bool &tried)
{
    constexpr QByteArrayView scheme = "Basic ";
    if (value.size() <= scheme.size() ||
        value.first(scheme.size()).compare(scheme, Qt::CaseInsensitive) != 0) {
        return false;
    }
    tried = true;
    const auto decoded =
        QByteArray::fromBase64Encoding(value.sliced(scheme.size()).trimmed().toByteArray(),
                                       QByteArray::AbortOnBase64DecodingErrors);
    const qsizetype colon = decoded ? decoded.decoded.indexOf(':') : -1;
    return colon >= 0 && matches(QByteArrayView(decoded.decoded).sliced(colon + 1), passwordDigest);
}

// The target without key parameters, the others kept in order. `found`: it had one;
// `valid`: one of them was the key.
QByteArray withoutKey(QByteArrayView target, const QByteArray &keyDigest, bool &found, bool &valid)
{
    const qsizetype question = target.indexOf('?');
    if (question < 0) {
        return target.toByteArray();
    }
    QByteArray query;
    bool first = true;
    for (qsizetype from = question + 1; from <= target.size();) {
        qsizetype end = target.indexOf('&', from);
        end = end < 0 ? target.size() : end;
        const QByteArrayView item = target.sliced(from, end - from);
        from = end + 1;
        const qsizetype equals = item.indexOf('=');
        if ((equals < 0 ? item : item.first(equals)) == PasswordGate::keyParameter) {
            found = true;
            valid = valid || (equals >= 0 && matches(item.sliced(equals + 1), keyDigest));
            continue;
        }
        if (!first) {
            query += '&';
        }
        query += item;
        first = false;
    }
    QByteArray out = target.first(question).toByteArray();
    if (!first) {
        out += '?' + query;
    }
    return out;
}

// Drops the gate's own cookie from a Cookie field's value; true when one was the token.
bool dropOwnCookie(MessageHead &head, qsizetype field, const QByteArray &tokenDigest)
{
    const QByteArrayView value = head.value(field);
    QByteArray kept;
    bool changed = false;
    bool valid = false;
    for (qsizetype from = 0; from <= value.size();) {
        qsizetype end = value.indexOf(';', from);
        end = end < 0 ? value.size() : end;
        const QByteArrayView pair = value.sliced(from, end - from).trimmed();
        from = end + 1;
        const qsizetype equals = pair.indexOf('=');
        if (equals >= 0 && pair.first(equals).trimmed() == PasswordGate::cookieName) {
            QByteArrayView token = pair.sliced(equals + 1).trimmed();
            if (token.size() >= 2 && token.startsWith('"') && token.endsWith('"')) {
                token = token.sliced(1, token.size() - 2);
            }
            valid = valid || matches(token, tokenDigest);
            changed = true;
            continue;
        }
        if (!pair.isEmpty()) {
            kept += (kept.isEmpty() ? "" : "; ") + pair.toByteArray();
        }
    }
    if (changed && kept.isEmpty()) {
        head.removeField(field);
    } else if (changed) {
        head.setValue(field, std::move(kept));
    }
    return valid;
}

// Where a link with key leads once the key is gone: the origin-form path and query, and only
// ever a path on the tunnel. "//host/" or "/\host/" (also percent-encoded) would send the
// browser to another site.
QByteArray redirectTarget(QByteArray target)
{
    if (!target.startsWith('/')) {
        const qsizetype scheme = target.indexOf("://");
        const qsizetype path = scheme < 0 ? -1 : target.indexOf('/', scheme + 3);
        target = path < 0 ? QByteArray("/") : target.mid(path);
    }
    const QByteArray decoded = QByteArray::fromPercentEncoding(target);
    const bool onTunnel = decoded.startsWith('/') &&
                          (decoded.size() == 1 ||
                           (decoded[1] != '/' && decoded[1] != '\\' && uchar(decoded[1]) > ' '));
    return onTunnel ? target : QByteArray("/");
}

} // namespace

PasswordGate::PasswordGate(const QString &password)
{
    m_clock.start();
    setPassword(password);
}

PasswordGate::PasswordGate(const Kept &kept)
{
    m_clock.start();
    setSecrets(kept.password, kept.key, kept.token);
}

void PasswordGate::setPassword(const QString &password)
{
    {
        const QMutexLocker lock(&m_mutex);
        if (!m_secrets.key.isEmpty() && !password.isEmpty() && password == m_secrets.password) {
            return;
        }
    }
    setSecrets(password, randomToken(16), randomToken(32));
    changed();
}

void PasswordGate::setSecrets(const QString &password, QByteArray key, QByteArray token)
{
    const QMutexLocker lock(&m_mutex);
    m_secrets.password = password;
    m_secrets.passwordDigest = password.isEmpty() ? QByteArray() : digest(password.toUtf8());
    m_secrets.keyDigest = digest(key);
    m_secrets.key = std::move(key);
    m_secrets.tokenDigest = digest(token);
    m_secrets.token = std::move(token);
}

PasswordGate::Kept PasswordGate::kept() const
{
    const Secrets secrets = this->secrets();
    return {secrets.password, secrets.key, secrets.token};
}

QUrl PasswordGate::linkWithKey(const QUrl &address) const
{
    QUrl link = address;
    link.setPath(u"/"_s);
    link.setQuery(QString::fromLatin1(keyParameter.toByteArray() + '=' + secrets().key));
    link.setFragment({});
    return link;
}

PasswordGate::Secrets PasswordGate::secrets() const
{
    const QMutexLocker lock(&m_mutex);
    return m_secrets;
}

std::optional<QByteArray> PasswordGate::admit(MessageHead &head, const QHostAddress &peer)
{
    const Secrets secrets = this->secrets();
    bool hasKey = false;
    bool keyValid = false;
    const QByteArray target = withoutKey(head.target(), secrets.keyDigest, hasKey, keyValid);
    if (hasKey) {
        head.setTarget(target);
    }
    bool cookieValid = false;
    bool triedPassword = false;
    QVarLengthArray<qsizetype, 2> passwords; // the fields that carry it, dropped when let in
    for (qsizetype i = 0; i < head.fieldCount(); ++i) {
        if (isNamed(head, i, "Cookie")) {
            cookieValid = dropOwnCookie(head, i, secrets.tokenDigest) || cookieValid;
        } else if (isNamed(head, i, "Authorization") &&
                   basicMatches(head.value(i), secrets.passwordDigest, triedPassword)) {
            passwords.append(i);
        }
    }
    const auto letIn = [&head, &passwords] {
        for (const qsizetype field : passwords) {
            head.removeField(field);
        }
        return std::nullopt;
    };
    if (keyValid) {
        return QByteArray("HTTP/1.1 302 Found\r\nLocation: " + redirectTarget(target) +
                          "\r\nSet-Cookie: " + cookieName.toByteArray() + '=' + secrets.token +
                          cookieAttributes.toByteArray() +
                          "\r\nContent-Length: 0\r\nCache-Control: no-store\r\n"
                          "Connection: close\r\n\r\n");
    }
    if (cookieValid) {
        return letIn();
    }
    const QByteArray visitor = GuessLimiter::visitorOf(head, peer);
    const qint64 now = m_clock.elapsed();
    if (const qint64 wait = m_guesses.waitSeconds(visitor, now); wait > 0) {
        return errorResponse(
            429,
            QCoreApplication::translate("Velumo::PasswordGate",
                                        "Too many wrong passwords: try again in %n second(s).",
                                        nullptr, int(wait)),
            head.method() != "HEAD",
            QByteArray("Retry-After: " + QByteArray::number(wait) + "\r\n"));
    }
    if (!passwords.isEmpty()) {
        return letIn();
    }
    if (triedPassword || hasKey) {
        m_guesses.failed(visitor, now);
    }
    return errorResponse(
        401,
        QCoreApplication::translate("Velumo::PasswordGate",
                                    "This address is protected by a password. Enter it when "
                                    "the browser asks, or open the link with key you were "
                                    "given."),
        head.method() != "HEAD", "WWW-Authenticate: Basic realm=\"Velumo\"\r\n");
}

QString PasswordGate::generatePassword()
{
    // Crockford's base32: no i, l, o or u, so nothing reads as another character.
    constexpr QLatin1StringView alphabet("0123456789abcdefghjkmnpqrstvwxyz");
    QString password;
    for (int i = 0; i < 16; ++i) {
        if (i > 0 && i % 4 == 0) {
            password += u'-';
        }
        password += alphabet[QRandomGenerator::system()->bounded(int(alphabet.size()))];
    }
    return password;
}

} // namespace Velumo
