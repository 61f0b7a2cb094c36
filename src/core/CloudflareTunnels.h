// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/NamedTunnel.h"
#include "core/ToolCommand.h"

#include <QDateTime>
#include <QObject>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Velumo {

class NamedTunnelModel;

// The account's tunnels at Cloudflare, through cloudflared's one-shot commands: creating one
// with its credentials file and its DNS route, listing them, bringing one in, deleting one.
// Each command passes --no-autoupdate, runs without a shell and gives up after a minute.
class CloudflareTunnels : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CloudflareTunnels)

public:
    static constexpr std::chrono::seconds commandTimeout{60};

    CloudflareTunnels(NamedTunnelModel &model, std::function<QString()> toolPath,
                      QObject *parent = nullptr);
    ~CloudflareTunnels() override;

    struct Outcome {
        bool ok = false;
        // What to tell the user; on success it may carry a warning.
        QString message;
        // A tunnel made at Cloudflare by a creation that failed after; the user may delete it.
        std::optional<NamedTunnel> halfMade;
    };

    // Creates the tunnel at Cloudflare with its credentials file, routes the public hostname to
    // it, lists it and runs it.
    QCoro::Task<Outcome> create(QString name, QString publicHostname, QString hostname,
                                QString port);
    // Deletes the tunnel at Cloudflare (its DNS record stays) and its credentials file, and
    // removes it from the list.
    QCoro::Task<Outcome> deleteOnCloudflare(NamedTunnel tunnel);

    struct AccountTunnel {
        QString id;
        QString name;
        QDateTime createdAt;
        int connections = 0;
    };
    struct Listing {
        bool ok = false;
        QString message;
        QList<AccountTunnel> tunnels;
    };
    // The account's tunnels, as `tunnel list --output json` gives them.
    QCoro::Task<Listing> list();
    // Lists an existing tunnel to run with its credentials file: the one given, or the one
    // cloudflared wrote beside the certificate when the tunnel was made on this machine.
    Outcome addExisting(const AccountTunnel &tunnel, const QString &publicHostname,
                        const QString &hostname, const QString &port,
                        const QString &credentialsFile = {});

    void stopAll(std::chrono::milliseconds grace);
    int runningCount() const;

Q_SIGNALS:
    void toolEnded();

private:
    QCoro::Task<CommandResult> command(QStringList arguments);

    NamedTunnelModel &m_model;
    std::function<QString()> m_toolPath;
    std::vector<std::shared_ptr<ToolProcess>> m_commands;
};

} // namespace Velumo
