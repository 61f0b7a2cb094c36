// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHash>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace Velumo {

// Where secrets (dashboard tunnel tokens) are kept, never in a plain file. The desktop's secret
// store in the app; a store in memory in tests and where the desktop has none.
class SecretStore
{
public:
    virtual ~SecretStore() = default;

    // The secret under `key`, or nothing when there is none or it cannot be read.
    virtual QCoro::Task<std::optional<QString>> read(QString key) = 0;
    // Returns why it could not be kept, or nothing when it was.
    virtual QCoro::Task<std::optional<QString>> write(QString key, QString secret) = 0;
    virtual QCoro::Task<> remove(QString key) = 0;
};

// Secrets kept for as long as the object lives.
class MemorySecretStore : public SecretStore
{
public:
    QCoro::Task<std::optional<QString>> read(QString key) override
    {
        const auto found = m_secrets.constFind(key);
        co_return found == m_secrets.cend() ? std::nullopt : std::optional<QString>(*found);
    }
    QCoro::Task<std::optional<QString>> write(QString key, QString secret) override
    {
        m_secrets.insert(key, secret);
        co_return std::nullopt;
    }
    QCoro::Task<> remove(QString key) override
    {
        m_secrets.remove(key);
        co_return;
    }

private:
    QHash<QString, QString> m_secrets;
};

} // namespace Velumo
