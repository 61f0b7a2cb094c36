// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/KeychainSecretStore.h"

#include <qt6keychain/keychain.h>

#include <qcoro/qcorosignal.h>

#include <memory>

namespace Velumo {

namespace {

// Starts a job and waits for it; the job is deleted when the caller is done with it.
template <typename Job> QCoro::Task<std::unique_ptr<Job>> run(std::unique_ptr<Job> job)
{
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->start();
    co_await qCoro(job.get(), &QKeychain::Job::finished);
    co_return job;
}

} // namespace

KeychainSecretStore::KeychainSecretStore(QString service)
    : m_service(std::move(service))
{}

QCoro::Task<std::optional<QString>> KeychainSecretStore::read(QString key)
{
    auto job = std::make_unique<QKeychain::ReadPasswordJob>(m_service);
    job->setKey(key);
    auto running = run(std::move(job));
    const auto done = co_await std::move(running);
    co_return done->error() == QKeychain::NoError ? std::optional<QString>(done->textData())
                                                  : std::nullopt;
}

QCoro::Task<std::optional<QString>> KeychainSecretStore::write(QString key, QString secret)
{
    auto job = std::make_unique<QKeychain::WritePasswordJob>(m_service);
    job->setKey(key);
    job->setTextData(secret);
    auto running = run(std::move(job));
    const auto done = co_await std::move(running);
    co_return done->error() == QKeychain::NoError ? std::nullopt
                                                  : std::optional<QString>(done->errorString());
}

QCoro::Task<> KeychainSecretStore::remove(QString key)
{
    auto job = std::make_unique<QKeychain::DeletePasswordJob>(m_service);
    job->setKey(key);
    auto running = run(std::move(job));
    co_await std::move(running);
}

} // namespace Velumo
