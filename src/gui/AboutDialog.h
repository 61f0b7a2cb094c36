// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QDialog>

namespace Velumo {

// Name, version, copyright and the credits owed for cloudflared. Meant to be kept and shown
// again rather than run modally.
class AboutDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutDialog)

public:
    explicit AboutDialog(QWidget *parent = nullptr);

    static QString copyrightText();
    // Two lines of plain text, for anywhere the credits must appear.
    static QString creditsText();
};

} // namespace Velumo
