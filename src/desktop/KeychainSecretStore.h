// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/SecretStore.h"

namespace Velumo {

// The desktop's secret store through QtKeychain: the Secret Service (GNOME and most desktops)
// or KWallet. Its fallback to a plain file stays off: without a store, writing fails.
class KeychainSecretStore : public SecretStore
{
public:
    explicit KeychainSecretStore(QString service = QStringLiteral("org.velumo.Velumo"));

    QCoro::Task<std::optional<QString>> read(QString key) override;
    QCoro::Task<std::optional<QString>> write(QString key, QString secret) override;
    QCoro::Task<> remove(QString key) override;

private:
    QString m_service;
};

} // namespace Velumo
