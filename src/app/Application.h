// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUuid>

#include <memory>
#include <optional>

class QAction;

namespace Velumo {

class AboutDialog;
class PreferencesDialog;
class ContentView;
class DesktopNotifier;
class ProxyHost;
class QuitSignals;
class ScriptingService;
class SecretStore;
class SingleInstance;
class TrayIcon;
struct Tunnel;

// The app as a whole: the main window and the desktop services around it. It keeps one copy
// per session, brings the window forward when asked, tells the desktop when an address comes
// up while the user looks elsewhere, and quits in order: every tool is stopped first, however
// the quit was asked for (Quit, a termination signal, the window closed). While tools run and
// the desktop has a tray, closing the window only hides it: the tray icon leads back.
class Application : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Application)

public:
    struct Options {
        QString appId;
        // Tests run the app with a stand-in tool, a list and secrets of their own.
        std::optional<QString> toolPath;
        std::optional<QString> storePath;
        // The desktop's secret store when none is given.
        std::shared_ptr<SecretStore> secrets;
        // The tray icon and no window (a minimised window without a tray), as when started for
        // a script or at login.
        bool background = false;
    };
    static Options defaultOptions() { return {QStringLiteral("org.velumo.Velumo"), {}, {}, {}}; }

    // Needs a QApplication; names the app for the desktop.
    explicit Application(Options options = defaultOptions(), QObject *parent = nullptr);
    ~Application() override;

    // Claims the session's single copy and shows the window. False when a running copy was
    // asked to come forward instead: the caller should exit.
    bool start();
    // Stops every tool (SIGTERM, SIGKILL after the grace period), then quits the event loop.
    void quit();
    bool isQuitting() const { return m_quitting; }

    ContentView *window() const { return m_window.get(); }
    // Made after the first frame when the desktop has a tray; null before and without one.
    TrayIcon *tray() const { return m_tray.get(); }

Q_SIGNALS:
    // Every tool has ended (or the grace period is long over); the event loop quits next.
    void readyToQuit();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void startInBackground();
    // Starts the tunnels chosen to start with Velumo; never before the first frame.
    void startChosenTunnels();
    void bringForward(const QString &activationToken);
    void notifyReady(const Tunnel &tunnel);
    void showAbout();
    void showPreferences();
    DesktopNotifier &notifier();
    void showTray();
    void scheduleTrayUpdate();
    void updateTray();
    bool hidesOnClose() const;

    Options m_options;
    // The thread every tunnel's proxy runs on; it outlives the window and its model.
    std::unique_ptr<ProxyHost> m_proxyHost;
    std::unique_ptr<SingleInstance> m_instance;
    std::unique_ptr<ScriptingService> m_scripting;
    std::unique_ptr<ContentView> m_window;
    std::unique_ptr<QuitSignals> m_quitSignals;
    // Made at the first notification: nothing to do before, and start-up is quicker without.
    std::unique_ptr<DesktopNotifier> m_notifier;
    QPointer<AboutDialog> m_about;
    QPointer<PreferencesDialog> m_preferences;
    std::unique_ptr<TrayIcon> m_tray;
    // File > Keep running in the background; the window owns it.
    QAction *m_keepRunning = nullptr;
    // Quick tunnels started with Velumo whose new address is yet to be told.
    QSet<QUuid> m_newAddress;
    bool m_trayUpdatePending = false;
    bool m_toldAboutBackground = false;
    bool m_quitting = false;
};

} // namespace Velumo
