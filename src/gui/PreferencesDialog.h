// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/TunnelChoices.h"

#include <QDialog>

class QCheckBox;

namespace Velumo {

// File > Preferences: what new quick and named tunnels start with, so that the first address
// is already behind the proxy. Dashboard tunnels are not affected.
class PreferencesDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PreferencesDialog)

public:
    explicit PreferencesDialog(QWidget *parent = nullptr);

    void setDefaults(NewTunnelDefaults defaults);
    NewTunnelDefaults defaults() const;

private:
    QCheckBox *m_inspect;
    QCheckBox *m_password;
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
