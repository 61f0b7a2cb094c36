// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Application.h"
#include "app/CommandLine.h"
#include "proxy/DescriptorLimit.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (Velumo::CommandLine::isCommand(argc, argv)) {
        return Velumo::CommandLine::run(argc, argv);
    }
    Velumo::raiseDescriptorLimit(); // before any thread starts
    QApplication qtApp(argc, argv);
    Velumo::Application::Options options = Velumo::Application::defaultOptions();
    options.background = Velumo::CommandLine::wantsBackground(argc, argv);
    Velumo::Application app(options);
    if (!app.start()) {
        return 0;
    }
    return QApplication::exec();
}
