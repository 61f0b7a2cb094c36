// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QMainWindow>

namespace Velumo {

// The main window.
class ContentView : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ContentView)

public:
    explicit ContentView(QWidget *parent = nullptr);
};

} // namespace Velumo
