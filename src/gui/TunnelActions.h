// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/NamedTunnel.h"
#include "core/Tunnel.h"
#include "core/TunnelSession.h"
#include "gui/TunnelRow.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <optional>

class QWidget;

namespace Velumo {

class ContentModel;
class LogWindow;

// What a row's buttons ask for, carried out for quick and named tunnels alike: opening and
// copying addresses, the log, QR code and requests windows, starting and stopping, deleting,
// and the local proxy's switches. A named tunnel's row shows it as a Tunnel with its id.
class TunnelActions : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelActions)

public:
    TunnelActions(ContentModel &model, QWidget *window);

    std::optional<NamedTunnel> named(const QUuid &id) const;
    // A named tunnel as its row shows it.
    static Tunnel shown(const NamedTunnel &tunnel);
    TunnelActivity activity(const QUuid &id) const;
    // What the tunnel's row shows beyond a quick tunnel's controls.
    TunnelRow::Extras extras(const QUuid &id) const;
    std::optional<bool> serviceListening(const QUuid &id) const;

    void copyAddress(const Tunnel &tunnel);
    void copyLinkWithKey(const Tunnel &tunnel);
    void openAddress(const Tunnel &tunnel);
    void showQrCode(const Tunnel &tunnel);
    void showLog(const Tunnel &tunnel);
    void showRequests(const Tunnel &tunnel);
    void restart(const Tunnel &tunnel);
    void stop(const Tunnel &tunnel);
    void remove(const Tunnel &tunnel);
    void setInspected(const Tunnel &tunnel, bool inspect);
    void setPasswordRequired(const Tunnel &tunnel, bool required);

Q_SIGNALS:
    // The row's switches may not have taken: it should show what holds now.
    void optionsChanged(const QUuid &id);

private:
    void copy(const QString &text);
    void bringUp(QWidget *window);

    ContentModel &m_model;
    QWidget *m_window;
    QHash<QUuid, QPointer<LogWindow>> m_logs;
    QHash<QUuid, QPointer<QWidget>> m_windows;
};

} // namespace Velumo
