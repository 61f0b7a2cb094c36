// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "AboutDialog.h"
#include "ContentModel.h"
#include "ContentView.h"
#include "DesktopNotifier.h"
#include "QuitSignals.h"
#include "SingleInstance.h"
#include "Symbols.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

namespace {
const QString appId = QStringLiteral("org.velumo.Velumo");
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velumo"));
    QApplication::setApplicationDisplayName(QStringLiteral("Velumo"));
    QApplication::setOrganizationDomain(QStringLiteral("velumo.org"));
    QApplication::setApplicationVersion(QStringLiteral(VELUMO_VERSION));
    QGuiApplication::setDesktopFileName(appId);
    QApplication::setWindowIcon(Velumo::Symbols::appIcon());

    // Two instances would each save their own list over the other's.
    Velumo::SingleInstance instance(appId);
    if (!instance.claim()) {
        return 0;
    }

    // The tools must end with us: quitting stops them first, however the quit was asked for.
    QApplication::setQuitOnLastWindowClosed(false);
    Velumo::QuitSignals quitSignals;

    auto *window = new Velumo::ContentView;
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    QPointer<Velumo::AboutDialog> about;
    bool quitting = false;

    auto quitInOrder = [&] {
        if (quitting) {
            return;
        }
        quitting = true;
        window->hide();
        QObject::connect(window->model(), &Velumo::ContentModel::toolsStopped, &app,
                         &QApplication::quit, Qt::QueuedConnection);
        window->model()->stopAllTools();
        // Tools are killed after their grace period; this only guards against the unexpected.
        QTimer::singleShot(Velumo::ToolProcess::defaultStopGrace + std::chrono::seconds(1), &app,
                           &QApplication::quit);
    };

    QObject::connect(window, &Velumo::ContentView::quitRequested, &app, quitInOrder);
    QObject::connect(&quitSignals, &Velumo::QuitSignals::quitRequested, &app, quitInOrder);
    auto bringForward = [window](const QString &activationToken) {
        // On Wayland a window may take focus only with the token of the request that asked.
        if (!activationToken.isEmpty()) {
            qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
        }
        window->show();
        window->raise();
        window->activateWindow();
    };
    QObject::connect(&instance, &Velumo::SingleInstance::activated, window, bringForward);

    // Tell the user when an address comes up while they are looking elsewhere.
    Velumo::DesktopNotifier notifier;
    QObject::connect(window->model(), &Velumo::ContentModel::tunnelReady, &notifier,
                     [window, &notifier](const Velumo::Tunnel &tunnel) {
                         if (!window->isActiveWindow() && tunnel.url) {
                             notifier.notifyTunnelReady(*tunnel.url,
                                                        tunnel.hostname + u':' + tunnel.port);
                         }
                     });
    QObject::connect(&notifier, &Velumo::DesktopNotifier::activated, window, bringForward);
    QObject::connect(window, &Velumo::ContentView::aboutRequested, window, [&about, window] {
        if (!about) {
            about = new Velumo::AboutDialog(window);
        }
        about->show();
        about->raise();
        about->activateWindow();
    });

    window->show();
    const int code = QApplication::exec();
    delete window;
    return code;
}
