// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/HostCheck.h"

#include <QDialog>

namespace Velumo {

// "How to allow the tunnel's address…": the line of the development server's own
// configuration that lets the tunnel's address in, to copy into the project.
class AllowHostDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AllowHostDialog)

public:
    // `hostname`: a named tunnel's own; empty for a quick tunnel, whose name changes.
    AllowHostDialog(DevServer server, const QString &hostname, QWidget *parent = nullptr);
};

} // namespace Velumo
