// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentView.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velumo"));
    QApplication::setApplicationVersion(QStringLiteral(VELUMO_VERSION));
    Velumo::ContentView window;
    window.show();
    return QApplication::exec();
}
