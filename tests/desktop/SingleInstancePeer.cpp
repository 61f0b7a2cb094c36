// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// A second copy of the app, reduced to its start: claims the app id given as the first argument
// ("local" as the second forces the socket) and prints whether it may go on.
#include "desktop/SingleInstance.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        return 2;
    }
    const auto transport = arguments.value(2) == u"local"
                               ? Velumo::SingleInstance::Transport::LocalSocket
                               : Velumo::SingleInstance::Transport::Automatic;
    Velumo::SingleInstance instance(arguments.at(1), transport);
    QTextStream(stdout) << (instance.claim() ? "claimed" : "deferred") << Qt::endl;
    return 0;
}
