// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"
#include "core/Shell.h"

#include <QObject>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace Velumo {

// Signing in to the user's Cloudflare account: cloudflared's `tunnel login` writes a
// certificate (cert.pem, bound to the one domain the user picks in the browser) that creating,
// routing, listing and deleting named tunnels need. Velumo reads nothing in it but its presence.
class CloudflareAccount : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CloudflareAccount)

public:
    enum class State { Unknown, SignedOut, SigningIn, SignedIn };
    Q_ENUM(State)

    // Sign-in waits for the browser; cloudflared itself gives up after about ten minutes.
    static constexpr std::chrono::minutes signInTimeout{11};

    explicit CloudflareAccount(std::function<QString()> toolPath, QObject *parent = nullptr);
    ~CloudflareAccount() override;

    // Where cloudflared keeps the certificate: ~/.cloudflared/cert.pem.
    static QString certificatePath();

    State state() const { return m_state; }
    // Looks for the certificate (the window asks after its first frame).
    void check();

    // Runs `cloudflared tunnel login` and waits for it. The tool opens the browser itself;
    // `signInAddress` says where, and whether Velumo must open it (no xdg-open).
    QCoro::Task<> signIn();
    void cancelSignIn();
    QUrl signInAddress() const { return m_address; }
    // Moves the certificate aside (never deletes it); refused when it could not.
    Done signOut();

    bool isRunning() const;
    void stop(std::chrono::milliseconds grace);

Q_SIGNALS:
    void stateChanged();
    void signInAddressFound(const QUrl &address, bool openIt);
    void message(const QString &text);
    void toolEnded();

private:
    void setState(State state);
    void readLog(const QString &chunk);

    std::function<QString()> m_toolPath;
    State m_state = State::Unknown;
    std::shared_ptr<ToolProcess> m_login;
    QUrl m_address;
    bool m_addressNext = false;
    bool m_openIt = false;
};

} // namespace Velumo
