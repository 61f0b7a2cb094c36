// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/KeychainSecretStore.h"

#include <QTest>

#include <qcoro/qcorotask.h>

using namespace Velumo;

// Against a real Secret Service: with-keyring.sh starts gnome-keyring on a private bus.
class KeychainSecretStoreTest : public QObject
{
    Q_OBJECT

private:
    // What the task gives, waited for on the event loop.
    template <typename T> static T await(QCoro::Task<T> task)
    {
        std::optional<T> result;
        QCoro::connect(std::move(task), QCoreApplication::instance(),
                       [&result](T value) { result = std::move(value); });
        if (!QTest::qWaitFor([&result] { return result.has_value(); }, 20000)) {
            qFatal("no answer from the secret store");
        }
        return result.value_or(T{});
    }

private Q_SLOTS:
    void token_isKeptReadAndDeleted()
    {
        KeychainSecretStore store(QStringLiteral("org.velumo.Test"));
        const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
        QCOMPARE(await(store.write(key, QStringLiteral("eyJhIjoi-token"))),
                 std::optional<QString>());
        QCOMPARE(await(store.read(key)), std::optional<QString>(QStringLiteral("eyJhIjoi-token")));
        bool removed = false;
        QCoro::connect(store.remove(key), QCoreApplication::instance(),
                       [&removed] { removed = true; });
        QTRY_VERIFY(removed);
        QCOMPARE(await(store.read(key)), std::optional<QString>());
    }
};

QTEST_GUILESS_MAIN(KeychainSecretStoreTest)
#include "KeychainSecretStoreTest.moc"
