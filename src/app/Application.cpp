// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/Application.h"

#include "app/Logging.h"
#include "core/Coroutine.h"
#include "core/ContentModel.h"
#include "desktop/Autostart.h"
#include "desktop/DesktopNotifier.h"
#include "desktop/KeychainSecretStore.h"
#include "desktop/QuitSignals.h"
#include "desktop/ScriptingService.h"
#include "desktop/SingleInstance.h"
#include "desktop/TrayHost.h"
#include "desktop/TrayIcon.h"
#include "gui/AboutDialog.h"
#include "gui/AppStyle.h"
#include "gui/ContentView.h"
#include "gui/FirstPaint.h"
#include "gui/PreferencesDialog.h"
#include "gui/Symbols.h"
#include "gui/TunnelActions.h"
#include "proxy/ProxyHost.h"

#include <QAction>
#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>

namespace Velumo {

namespace {

// $XDG_CONFIG_HOME/velumo/velumo.conf, beside the tunnel lists.
QString settingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/velumo/velumo.conf");
}

const QString keepRunningKey = QStringLiteral("keepRunningInBackground");
const QString inspectKey = QStringLiteral("newTunnels/inspect");
const QString passwordKey = QStringLiteral("newTunnels/password");

NewTunnelDefaults storedDefaults()
{
    const QSettings settings(settingsPath(), QSettings::IniFormat);
    return {settings.value(inspectKey, false).toBool(), settings.value(passwordKey, false).toBool()};
}

} // namespace

Application::Application(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_proxyHost(std::make_unique<ProxyHost>())
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
    // Two copies would each save their own list over the other's. The connection to the bus
    // is made while the window is built; the window reads and writes nothing before it is
    // shown.
    SingleInstance::connectInBackground();
    auto *model = m_options.storePath ? new ContentModel(TunnelStore(*m_options.storePath))
                                      : new ContentModel;
    model->setProxyHost(m_proxyHost.get());
    model->setNewTunnelDefaults(storedDefaults());
    if (m_options.toolPath) {
        model->setToolPath(*m_options.toolPath);
    }
    model->named().setSecretStore(m_options.secrets ? m_options.secrets
                                                    : std::make_shared<KeychainSecretStore>());
    QApplication::setStyle(new AppStyle);
    m_window = std::make_unique<ContentView>(model);
    m_instance = std::make_unique<SingleInstance>(m_options.appId);
    // Scripts find the tunnels beside org.freedesktop.Application, once the name is ours.
    m_scripting = std::make_unique<ScriptingService>(*model);
    m_instance->exportOn(m_scripting.get());
    if (!m_instance->claim()) {
        qCInfo(lcApp, "Velumo already runs in this session: its window was brought forward");
        m_scripting.reset();
        m_window.reset();
        return false;
    }

    // The tools must end with us: quitting stops them first, however the quit was asked for.
    QApplication::setQuitOnLastWindowClosed(false);
    m_quitSignals = std::make_unique<QuitSignals>();
    connect(m_quitSignals.get(), &QuitSignals::quitRequested, this, &Application::quit);
    connect(m_window.get(), &ContentView::quitRequested, this, &Application::quit);
    connect(m_window.get(), &ContentView::aboutRequested, this, &Application::showAbout);
    connect(m_window.get(), &ContentView::preferencesRequested, this,
            &Application::showPreferences);
    connect(m_instance.get(), &SingleInstance::activated, this, &Application::bringForward);
    // Not at the address: the name may not be in the DNS yet, and a browser that looks it up
    // then remembers the failure for minutes.
    connect(model, &ContentModel::tunnelReachable, this, &Application::notifyReady);

    m_keepRunning = m_window->findChild<QAction *>(QStringLiteral("keepRunningAction"));
    Q_ASSERT(m_keepRunning);
    m_keepRunning->setChecked(
        QSettings(settingsPath(), QSettings::IniFormat).value(keepRunningKey, true).toBool());
    connect(m_keepRunning, &QAction::toggled, this, [](bool keepRunning) {
        QSettings settings(settingsPath(), QSettings::IniFormat);
        settings.setValue(keepRunningKey, keepRunning);
        settings.sync();
    });
    m_window->installEventFilter(this);

    if (m_options.background) {
        startInBackground();
        return true;
    }
    m_window->show();
    // Finding the icon in the theme, loading the SVG engine for it and asking the bus for a
    // tray would hold up the first frame; they come right after.
    afterFirstPaint(m_window.get(), [this] {
        QApplication::setWindowIcon(Symbols::appIcon());
        showTray();
        startChosenTunnels();
    });
    return true;
}

void Application::startInBackground()
{
    QApplication::setWindowIcon(Symbols::appIcon());
    // Scripts that started this copy see the stored tunnels at once.
    m_window->loadTunnels();
    auto *host = new TrayHost(TrayHost::defaultPatience, this);
    connect(host, &TrayHost::decided, this, [this, host] {
        host->deleteLater();
        showTray();
        // Without a tray the window is the only way to the tunnels: it waits, minimised.
        if (!m_tray && !m_quitting) {
            m_window->showMinimized();
        }
        startChosenTunnels();
    });
    host->wait();
}

void Application::startChosenTunnels()
{
    if (m_quitting) {
        return;
    }
    ContentModel *model = m_window->model();
    const TunnelRegistry &registry = model->registry();
    for (const QUuid &id : registry.startingWithVelumo()) {
        if (!traits(registry.find(id)->kind).addressKnown) {
            m_newAddress.insert(id);
        }
        model->setRunning(id, true);
    }
}

void Application::quit()
{
    if (m_quitting) {
        return;
    }
    m_quitting = true;
    if (m_tray) {
        m_tray->hide();
    }
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
    const bool started = m_newAddress.remove(tunnel.id);
    if (!tunnel.url) {
        return;
    }
    const QString hostAndPort = tunnel.hostname + u':' + tunnel.port;
    // Whoever shared the old address needs the new one, even with the window in front.
    if (started) {
        notifier().notifyStartedWithNewAddress(*tunnel.url, hostAndPort);
    } else if (!m_window->isActiveWindow()) {
        notifier().notifyTunnelReady(*tunnel.url, hostAndPort);
    }
}

DesktopNotifier &Application::notifier()
{
    if (!m_notifier) {
        m_notifier = std::make_unique<DesktopNotifier>();
        connect(m_notifier.get(), &DesktopNotifier::activated, this, &Application::bringForward);
    }
    return *m_notifier;
}

void Application::showAbout()
{
    if (!m_about) {
        m_about = new AboutDialog(m_window.get());
    }
    // The tool may have been installed, or gone, since the dialog was last shown.
    startOwned(m_about.get(), m_about->showTool(m_window->model()->toolPath()));
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void Application::showPreferences()
{
    if (!m_preferences) {
        m_preferences = new PreferencesDialog(
            [this](const PreferencesDialog::Choices &choices) {
                QSettings settings(settingsPath(), QSettings::IniFormat);
                settings.setValue(inspectKey, choices.defaults.inspect);
                settings.setValue(passwordKey, choices.defaults.password);
                settings.sync();
                m_window->model()->setNewTunnelDefaults(choices.defaults);
                return choices.startAtLogin == Autostart::isEnabled()
                           ? Done()
                           : Autostart::setEnabled(choices.startAtLogin,
                                                   QCoreApplication::applicationFilePath());
            },
            m_window.get());
    }
    // The entry may have been removed or added outside Velumo since the dialog was last shown.
    m_preferences->setChoices({storedDefaults(), Autostart::isEnabled()});
    m_preferences->open();
}

bool Application::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Close && watched == m_window.get() && hidesOnClose()) {
        event->ignore();
        m_window->hide();
        if (!std::exchange(m_toldAboutBackground, true)) {
            notifier().notifyRunningInBackground();
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}

// Closing the window leaves running tunnels in the tray's care, unless the user said not to or
// there is no tray to lead back to them.
bool Application::hidesOnClose() const
{
    // The tray check asks the bus, so it comes last.
    return !m_quitting && m_tray && m_keepRunning->isChecked() &&
           m_window->model()->runningToolCount() > 0 && QSystemTrayIcon::isSystemTrayAvailable();
}

void Application::showTray()
{
    // Without a tray host (a plain GNOME, say) the window is the only way back.
    if (m_quitting || !QSystemTrayIcon::isSystemTrayAvailable()) {
        return;
    }
    m_tray = std::make_unique<TrayIcon>();
    connect(m_tray.get(), &TrayIcon::showRequested, this, [this] { bringForward({}); });
    connect(m_tray.get(), &TrayIcon::quitRequested, this, &Application::quit);

    ContentModel *model = m_window->model();
    TunnelRegistry *registry = &model->registry();
    connect(model, &ContentModel::objectWillChange, this, &Application::scheduleTrayUpdate);
    connect(registry, &TunnelRegistry::dataChanged, this, &Application::scheduleTrayUpdate);
    connect(registry, &TunnelRegistry::rowsInserted, this, &Application::scheduleTrayUpdate);
    connect(registry, &TunnelRegistry::rowsRemoved, this, &Application::scheduleTrayUpdate);
    connect(registry, &TunnelRegistry::modelReset, this, &Application::scheduleTrayUpdate);
    updateTray();
    m_tray->show();
}

void Application::scheduleTrayUpdate()
{
    // The model announces changes before it makes them, and an action of the tray's menu must
    // not rebuild the menu it sits in: the update runs once, from the event loop.
    if (!std::exchange(m_trayUpdatePending, true)) {
        QMetaObject::invokeMethod(this, &Application::updateTray, Qt::QueuedConnection);
    }
}

void Application::updateTray()
{
    m_trayUpdatePending = false;
    ContentModel *model = m_window->model();
    const TunnelRegistry &registry = model->registry();
    TunnelActions *actions = m_window->actions();
    QList<TrayIcon::Entry> entries;
    for (int row = 0; row < registry.rowCount(); ++row) {
        const QModelIndex index = registry.index(row);
        const QUuid id = index.data(TunnelRegistry::IdRole).toUuid();
        const QUrl address = index.data(TunnelRegistry::AddressRole).toUrl();
        entries.append({address.isEmpty() ? index.data(TunnelRegistry::MenuNameRole).toString()
                                          : address.toString(),
                        {actions->action(id, TunnelActions::CopyAddress),
                         actions->action(id, TunnelActions::OpenAddress),
                         actions->action(id, TunnelActions::Stop),
                         actions->action(id, TunnelActions::Restart)}});
    }
    m_tray->setTunnels(entries, model->runningToolCount());
}

} // namespace Velumo
