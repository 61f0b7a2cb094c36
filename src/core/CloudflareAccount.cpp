// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/CloudflareAccount.h"

#include "core/ToolCommand.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace Velumo {

namespace {

bool hasCertificate()
{
    const QFileInfo info(CloudflareAccount::certificatePath());
    return info.isFile() && info.size() > 0;
}

} // namespace

CloudflareAccount::CloudflareAccount(std::function<QString()> toolPath, QObject *parent)
    : QObject(parent)
    , m_toolPath(std::move(toolPath))
{}

CloudflareAccount::~CloudflareAccount() = default;

QString CloudflareAccount::certificatePath()
{
    return QDir::homePath() + QStringLiteral("/.cloudflared/cert.pem");
}

void CloudflareAccount::setState(State state)
{
    if (m_state != state) {
        m_state = state;
        Q_EMIT stateChanged();
    }
}

void CloudflareAccount::check()
{
    if (m_state != State::SigningIn) {
        setState(hasCertificate() ? State::SignedIn : State::SignedOut);
    }
}

bool CloudflareAccount::isRunning() const
{
    return m_login && m_login->isRunning();
}

void CloudflareAccount::stop(std::chrono::milliseconds grace)
{
    if (m_login) {
        m_login->stop(grace);
    }
}

void CloudflareAccount::cancelSignIn()
{
    stop(std::chrono::seconds(2));
}

void CloudflareAccount::readLog(const QString &chunk)
{
    // The address follows one of two announcements, on a line of its own after a blank one.
    for (const QStringView line : QStringView(chunk).split(u'\n')) {
        const QStringView text = line.trimmed();
        if (text.contains(u"A browser window should have opened at the following URL")) {
            m_addressNext = true;
            m_openIt = false;
        } else if (text.contains(u"Please open the following URL")) {
            m_addressNext = true;
            m_openIt = true;
        } else if (m_addressNext && text.startsWith(u"https://")) {
            m_addressNext = false;
            m_address = QUrl(text.toString(), QUrl::StrictMode);
            if (m_address.isValid()) {
                Q_EMIT signInAddressFound(m_address, m_openIt);
            }
        }
    }
}

QCoro::Task<> CloudflareAccount::signIn()
{
    QPointer<CloudflareAccount> self(this);
    if (m_state == State::SigningIn) {
        co_return;
    }
    const QString tool = m_toolPath();
    if (tool.isEmpty()) {
        Q_EMIT message(cloudflaredNotFound());
        co_return;
    }
    const bool hadCertificate = hasCertificate();
    m_address.clear();
    m_addressNext = false;
    setState(State::SigningIn);
    ToolRun run = Shell().runCommand(tool, tunnelArguments({QStringLiteral("login")}));
    m_login = run.process;
    connect(m_login.get(), &ToolProcess::ended, this, &CloudflareAccount::toolEnded);
    // The awaited task is made first: GCC 12 may destroy temporaries of a co_await's operand
    // twice.
    std::function<void(const QString &)> onLog = [self](const QString &chunk) {
        if (self) {
            self->readLog(chunk);
        }
    };
    const std::weak_ptr<ToolProcess> process = run.process;
    auto finished = finishCommand(run.output, process, signInTimeout, std::move(onLog));
    const CommandResult result = co_await std::move(finished);
    if (!self) {
        co_return;
    }
    m_login.reset();
    const bool certificateNow = hasCertificate();
    setState(certificateNow ? State::SignedIn : State::SignedOut);
    const QString said = result.output + result.log;
    if (result.succeeded() && said.contains(QStringLiteral("You have an existing certificate"))) {
        Q_EMIT message(tr("Already signed in: a certificate is at %1.").arg(certificatePath()));
    } else if (result.succeeded() && certificateNow && !hadCertificate) {
        Q_EMIT message(tr("Signed in to Cloudflare."));
    } else if (result.end == CommandResult::End::Stopped) {
        Q_EMIT message(tr("Sign-in cancelled."));
    } else if (result.end == CommandResult::End::TimedOut) {
        Q_EMIT message(tr("Sign-in gave up waiting for the browser. Try again."));
    } else if (result.end == CommandResult::End::FailedToStart) {
        Q_EMIT message(tr("Could not start cloudflared: %1").arg(result.error));
    } else {
        Q_EMIT message(tr("Sign-in failed: %1").arg(result.lastLine()));
    }
}

Done CloudflareAccount::signOut()
{
    const QString path = certificatePath();
    const QString aside =
        path + QStringLiteral(".signed-out-") +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QFile certificate(path);
    if (certificate.exists() && !certificate.rename(aside)) {
        return Refusal{certificate.errorString()};
    }
    setState(State::SignedOut);
    return {};
}

} // namespace Velumo
