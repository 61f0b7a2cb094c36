// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Result.h"
#include "core/TunnelChoices.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QLabel;

namespace Velumo {

// File > Preferences: what new quick and named tunnels start with, so that the first address
// is already behind the proxy (dashboard tunnels are not affected), and whether Velumo starts
// at login.
class PreferencesDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PreferencesDialog)

public:
    struct Choices {
        NewTunnelDefaults defaults;
        bool startAtLogin = false;
    };
    // Carries out OK; a refusal keeps the dialog open, with every choice as made, and says why.
    using Apply = std::function<Done(const Choices &)>;

    explicit PreferencesDialog(Apply apply, QWidget *parent = nullptr);

    void setChoices(const Choices &choices);
    Choices choices() const;

    void accept() override;

private:
    Apply m_apply;
    QCheckBox *m_inspect;
    QCheckBox *m_password;
    QCheckBox *m_startAtLogin;
    QLabel *m_problem;
};

// The password of a tunnel and its link with key, each with Copy; the link once the address is
// known.
class PasswordDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PasswordDialog)

public:
    PasswordDialog(const QString &title, const QString &password, const QUrl &link,
                   QWidget *parent = nullptr);
};

} // namespace Velumo
