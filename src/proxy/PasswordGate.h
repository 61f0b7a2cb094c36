// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/GuessLimiter.h"
#include "proxy/RequestGate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QString>
#include <QUrl>

namespace Velumo {

// Lets a visitor's request reach the service only with the tunnel's password, given through
// HTTP Basic authentication (any user name), or with the cookie that a link with key hands
// out. Every request needs one of them, whatever its method: a CORS preflight too, as behind
// nginx's auth_basic. Guessing is slowed down (GuessLimiter): a visitor locked out gets 429
// even with the right password; the cookie and the key still let in. Whatever the gate checked is
// dropped from what is forwarded: the Authorization field it matched, the key parameter, its own
// cookie.
//
// One gate per tunnel, made on the GUI thread and shared with the tunnel's proxy through
// ReverseProxy::setGate (again for each new proxy of the tunnel, so links and cookies outlive
// a restart); its setters may be called from any thread and hold from the next request on.
// Password, key and cookie live in this object, and in the secret store when its owner keeps
// them there (kept()).
class PasswordGate final : public RequestGate
{
public:
    // The query parameter of a link with key, and the cookie it leads to.
    static constexpr QByteArrayView keyParameter = "velumo_key";
    static constexpr QByteArrayView cookieName = "__Host-velumo";

    // The shortest password a user may type; generated ones are longer.
    static constexpr int shortest = 8;

    explicit PasswordGate(const QString &password);

    // What lets the same visitors in after the app starts again.
    struct Kept {
        QString password;
        QByteArray key;
        QByteArray token; // the cookie's
    };
    explicit PasswordGate(const Kept &kept);
    Kept kept() const;

    // A new password also replaces the key and the cookie's token, so that nobody let in with
    // the old ones stays in (upgraded connections let in before are closed). An empty password
    // lets nobody in through Basic authentication.
    void setPassword(const QString &password);
    // `address` (https://…trycloudflare.com) with the key as its only query.
    QUrl linkWithKey(const QUrl &address) const;

    std::optional<QByteArray> admit(MessageHead &head, const QHostAddress &peer) override;

    // 16 characters from a 32-letter alphabet without look-alikes (80 bits), in groups of
    // four: strong against guessing over the network, and easy to read out and type on a
    // phone, with no word list to ship.
    static QString generatePassword();

private:
    struct Secrets {
        QString password;
        QByteArray passwordDigest; // empty when there is no password
        QByteArray key;
        QByteArray keyDigest;
        QByteArray token;
        QByteArray tokenDigest;
    };

    Secrets secrets() const;
    void setSecrets(const QString &password, QByteArray key, QByteArray token);

    mutable QMutex m_mutex;
    Secrets m_secrets;
    GuessLimiter m_guesses;
    QElapsedTimer m_clock;
};

} // namespace Velumo
