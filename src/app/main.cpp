// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Application.h"
#include "proxy/DescriptorLimit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    Velumo::raiseDescriptorLimit(); // before any thread starts
    QApplication qtApp(argc, argv);
    Velumo::Application app;
    if (!app.start()) {
        return 0;
    }
    return QApplication::exec();
}
