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

#include <functional>
#include <memory>

namespace {

const QString appId = QStringLiteral("org.velumo.Velumo");

// Runs `call` from the event loop once `widget` has been painted for the first time.
void afterFirstPaint(QWidget *widget, std::function<void()> call)
{
    class Watcher : public QObject
    {
    public:
        Watcher(QWidget *widget, std::function<void()> call)
            : QObject(widget)
            , m_call(std::move(call))
        {
            widget->installEventFilter(this);
        }

        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Paint) {
                watched->removeEventFilter(this);
                QMetaObject::invokeMethod(watched, std::move(m_call), Qt::QueuedConnection);
                deleteLater();
            }
            return false;
        }

    private:
        std::function<void()> m_call;
    };
    new Watcher(widget, std::move(call));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velumo"));
    QApplication::setApplicationDisplayName(QStringLiteral("Velumo"));
    QApplication::setOrganizationDomain(QStringLiteral("velumo.org"));
    QApplication::setApplicationVersion(QStringLiteral(VELUMO_VERSION));
    QGuiApplication::setDesktopFileName(appId);

    // Two instances would each save their own list over the other's. The bus answers while
    // the window is built; the window reads and writes nothing before it is shown.
    Velumo::SingleInstance instance(appId);
    instance.beginClaim();
    auto *window = new Velumo::ContentView;
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    if (!instance.claim()) {
        delete window;
        return 0;
    }

    // The tools must end with us: quitting stops them first, however the quit was asked for.
    QApplication::setQuitOnLastWindowClosed(false);
    Velumo::QuitSignals quitSignals;

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

    // Tell the user when an address comes up while they are looking elsewhere. Made at the
    // first such moment: it has nothing to do before, and start-up is quicker without it.
    std::unique_ptr<Velumo::DesktopNotifier> notifier;
    QObject::connect(window->model(), &Velumo::ContentModel::tunnelReady, window,
                     [window, &notifier, bringForward](const Velumo::Tunnel &tunnel) {
                         if (window->isActiveWindow() || !tunnel.url) {
                             return;
                         }
                         if (!notifier) {
                             notifier = std::make_unique<Velumo::DesktopNotifier>();
                             QObject::connect(notifier.get(), &Velumo::DesktopNotifier::activated,
                                              window, bringForward);
                         }
                         notifier->notifyTunnelReady(*tunnel.url,
                                                     tunnel.hostname + u':' + tunnel.port);
                     });
    QObject::connect(window, &Velumo::ContentView::aboutRequested, window, [&about, window] {
        if (!about) {
            about = new Velumo::AboutDialog(window);
        }
        about->show();
        about->raise();
        about->activateWindow();
    });

    window->show();
    // Finding the icon in the theme and loading the SVG engine for it would hold up the
    // first frame; the window gets it right after.
    afterFirstPaint(window, [] { QApplication::setWindowIcon(Velumo::Symbols::appIcon()); });
    const int code = QApplication::exec();
    delete window;
    return code;
}
