// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace Velumo {

class CloudflareAccount;

// Signing in to Cloudflare: shows where the browser should go, with Open and Copy, while
// cloudflared waits for the user; Cancel stops it. Closes itself when the sign-in ends.
class SignInDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignInDialog)

public:
    explicit SignInDialog(CloudflareAccount &account, QWidget *parent = nullptr);

    // Starts the sign-in and shows the dialog.
    void start();

private:
    void showAddress(const QUrl &address, bool openIt);

    CloudflareAccount &m_account;
    QLabel *m_explanation = nullptr;
    QLabel *m_address = nullptr;
    QPushButton *m_open = nullptr;
    QPushButton *m_copy = nullptr;
};

} // namespace Velumo
