// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/ProxyTarget.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>

class QHostInfo;

namespace Velumo {

// A tunnel's service as its connections (ServiceConnector) reach it: its addresses, looked up
// once and kept while they work, and the one certificate it may present beyond those this
// system trusts. A proxy's connections share one; a replay has its own.
class ServiceEndpoint : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ServiceEndpoint)

public:
    // `connectTimeout`: per address; on loopback the answer is immediate.
    ServiceEndpoint(ProxyTarget target, std::chrono::milliseconds connectTimeout,
                    QObject *parent = nullptr);
    ~ServiceEndpoint() override;

    const ProxyTarget &target() const { return m_target; }
    std::chrono::milliseconds connectTimeout() const { return m_connectTimeout; }
    // host:port as a user writes it, after https:// for a TLS service.
    QString name() const;

    // The SHA-256 fingerprint of the one certificate a TLS service may present when this
    // system does not trust it; empty for none. Takes effect for the next connection.
    void setTrustedCertificate(const QByteArray &fingerprint)
    {
        m_trustedCertificate = fingerprint;
    }
    const QByteArray &trustedCertificate() const { return m_trustedCertificate; }

    // resolved() follows (later, or at once when the addresses are known).
    void resolve();
    const QList<QHostAddress> &addresses() const { return m_addresses; }
    const QString &lookupError() const { return m_lookupError; }
    void addressWorked(const QHostAddress &address);
    void addressesFailed() { m_addresses.clear(); }

    // host:port as a user writes it, IPv6 addresses in brackets.
    static QString endpoint(const QString &host, quint16 port);

Q_SIGNALS:
    void resolved();

private:
    void lookedUp(const QHostInfo &info);

    ProxyTarget m_target;
    std::chrono::milliseconds m_connectTimeout;
    QByteArray m_trustedCertificate;
    QList<QHostAddress> m_addresses;
    QString m_lookupError;
    int m_lookup = -1;
};

} // namespace Velumo
