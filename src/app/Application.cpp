// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Application.h"

#include "core/ContentModel.h"
#include "desktop/DesktopNotifier.h"
#include "desktop/QuitSignals.h"
#include "desktop/SingleInstance.h"
#include "gui/AboutDialog.h"
#include "gui/ContentView.h"
#include "gui/Symbols.h"

#include <QApplication>
#include <QTimer>

#include <functional>

namespace Velumo {

namespace {

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

Application::Application(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    QApplication::setApplicationName(QStringLiteral("Velumo"));
    QApplication::setApplicationDisplayName(QStringLiteral("Velumo"));
    QApplication::setOrganizationDomain(QStringLiteral("velumo.org"));
    QApplication::setApplicationVersion(QStringLiteral(VELUMO_VERSION));
    QGuiApplication::setDesktopFileName(m_options.appId);
    connect(this, &Application::readyToQuit, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

Application::~Application() = default;

bool Application::start()
{
    // Two copies would each save their own list over the other's. The bus answers while the
    // window is built; the window reads and writes nothing before it is shown.
    m_instance = std::make_unique<SingleInstance>(m_options.appId);
    m_instance->beginClaim();
    auto *model = m_options.storePath ? new ContentModel(TunnelStore(*m_options.storePath))
                                      : new ContentModel;
    if (m_options.toolPath) {
        model->setToolPath(*m_options.toolPath);
    }
    m_window = std::make_unique<ContentView>(model);
    if (!m_instance->claim()) {
        m_window.reset();
        return false;
    }

    // The tools must end with us: quitting stops them first, however the quit was asked for.
    QApplication::setQuitOnLastWindowClosed(false);
    m_quitSignals = std::make_unique<QuitSignals>();
    connect(m_quitSignals.get(), &QuitSignals::quitRequested, this, &Application::quit);
    connect(m_window.get(), &ContentView::quitRequested, this, &Application::quit);
    connect(m_window.get(), &ContentView::aboutRequested, this, &Application::showAbout);
    connect(m_instance.get(), &SingleInstance::activated, this, &Application::bringForward);
    connect(model, &ContentModel::tunnelReady, this, &Application::notifyReady);

    m_window->show();
    // Finding the icon in the theme and loading the SVG engine for it would hold up the first
    // frame; the window gets it right after.
    afterFirstPaint(m_window.get(), [] { QApplication::setWindowIcon(Symbols::appIcon()); });
    return true;
}

void Application::quit()
{
    if (m_quitting) {
        return;
    }
    m_quitting = true;
    if (!m_window) {
        Q_EMIT readyToQuit();
        return;
    }
    m_window->hide();
    ContentModel *model = m_window->model();
    connect(model, &ContentModel::toolsStopped, this, &Application::readyToQuit,
            Qt::QueuedConnection);
    // Tools are killed after their grace period; this only guards against the unexpected.
    QTimer::singleShot(ToolProcess::defaultStopGrace + std::chrono::seconds(1), this,
                       &Application::readyToQuit);
    model->stopAllTools();
}

void Application::bringForward(const QString &activationToken)
{
    // On Wayland a window may take focus only with the token of the request that asked.
    if (!activationToken.isEmpty()) {
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void Application::notifyReady(const Tunnel &tunnel)
{
    if (m_window->isActiveWindow() || !tunnel.url) {
        return;
    }
    if (!m_notifier) {
        m_notifier = std::make_unique<DesktopNotifier>();
        connect(m_notifier.get(), &DesktopNotifier::activated, this, &Application::bringForward);
    }
    m_notifier->notifyTunnelReady(*tunnel.url, tunnel.hostname + u':' + tunnel.port);
}

void Application::showAbout()
{
    if (!m_about) {
        m_about = new AboutDialog(m_window.get());
    }
    // The tool may have been installed, or gone, since the dialog was last shown.
    m_about->showTool(m_window->model()->toolPath());
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

} // namespace Velumo
