// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/HostCheck.h"

#include <QHash>
#include <QObject>
#include <QUrl>
#include <QUuid>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace Velumo {

// Asks a tunnel's local service for its front page once, as a visitor coming through the
// tunnel would (the public Host, X-Forwarded-Proto https), so that a development server's host
// check is found before the visitors find it.
class HostCheckProbe : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HostCheckProbe)

public:
    static constexpr int timeoutMs = 5000;

    explicit HostCheckProbe(QObject *parent = nullptr);
    ~HostCheckProbe() override;

    // `hostname` and `port` as typed for the tunnel (a scheme in the hostname is kept);
    // `address` is the tunnel's public address. A probe under way for `key` is dropped.
    // `hostSent`, unless empty, is the Host the service gets in place of the visitor's, which
    // then goes in X-Forwarded-Host.
    void probe(const QUuid &key, const QString &hostname, const QString &port, const QUrl &address,
               const QString &hostSent = {});
    void cancel(const QUuid &key);

Q_SIGNALS:
    // A probe ended: `refusedBy` names the server whose host check turned the tunnel's address
    // away, and is empty for any other answer or none.
    void checked(const QUuid &key, std::optional<Velumo::DevServer> refusedBy);

private:
    void finish(const QUuid &key, QNetworkReply *reply);

    QNetworkAccessManager &network();

    // Made at the first probe: the app starts with it unused, and it costs a third of a MiB.
    std::unique_ptr<QNetworkAccessManager> m_network;
    QHash<QUuid, QNetworkReply *> m_probes;
};

} // namespace Velumo
