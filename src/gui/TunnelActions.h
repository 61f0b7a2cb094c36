// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <array>
#include <functional>
#include <optional>

class QAbstractButton;
class QAction;
class QModelIndex;
class QWidget;

namespace Velumo {

class ContentModel;
class LogWindow;

// The actions on each listed tunnel, once per tunnel, whatever its kind: the window's rows and
// the tray's menu show the same QActions. Each is enabled, checked and shown from the
// registry's roles, and carries out what it names through the model.
class TunnelActions : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelActions)

public:
    enum Kind {
        CopyAddress,
        OpenAddress,
        ShowQrCode,
        ShowLog,
        Stop,
        Restart,
        Delete,
        Inspect,
        Password,
        ShowRequests,
        CopyLinkWithKey,
        StartOverHttp2,
        ShowPassword,
        SetNewPassword,
        PasswordOff,
        StartWithVelumo,
        TrustCertificate,
        HostHeader, // "Send Host as localhost:<port>", a switch
        AllowHost,  // the development server's setting that lets the tunnel's address in
        KindCount
    };

    TunnelActions(ContentModel &model, QWidget *window);

    static QString text(Kind kind);
    // The actions that are switches, checked while what they name is on.
    static bool isSwitch(Kind kind)
    {
        return kind == Inspect || kind == Password || kind == HostHeader;
    }
    // The tunnel's action, made when first asked for; it goes with the tunnel.
    QAction *action(const QUuid &id, Kind kind);
    // A button that stands for the tunnel's action: a click, the keyboard and the
    // accessibility Toggle action all trigger it, and a switch shows whether it is checked.
    void bind(QAbstractButton *button, const QUuid &id, Kind kind);

private:
    void sync(const QModelIndex &index);
    void sync(const QUuid &id);
    void forgetRemoved();
    void run(const QUuid &id, Kind kind);
    void copy(const QString &text);
    void bringUp(QWidget *window);
    void showQrCode(const QUuid &id);
    void showLog(const QUuid &id);
    void showRequests(const QUuid &id);
    void remove(const QUuid &id);
    void setInspected(const QUuid &id, bool inspect);
    void setPasswordRequired(const QUuid &id, bool required);
    void trustCertificate(const QUuid &id);
    void setHostHeader(const QUuid &id, bool on);
    void showAllowHost(const QUuid &id);
    // The password and the link with key, each with Copy; read from the secret store if need be.
    QCoro::Task<> showPassword(QUuid id);
    // Runs `apply` at once, or once the user agrees when it starts the tunnel again and the
    // address changes.
    void confirmRestart(const QUuid &id, const std::function<void()> &apply);
    void askPassword(const std::function<void(const std::optional<QString> &)> &apply);
    QModelIndex indexOf(const QUuid &id) const;

    ContentModel &m_model;
    QWidget *m_window;
    QHash<QUuid, std::array<QAction *, KindCount>> m_actions;
    QHash<QUuid, QPointer<LogWindow>> m_logs;
    QHash<QUuid, QPointer<QWidget>> m_windows;
    // Tunnels started again by a switch, with the address they had.
    QHash<QUuid, QUrl> m_awaitingAddress;
};

} // namespace Velumo
