// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ServiceEndpoint.h"

#include <QHostInfo>

using namespace Qt::StringLiterals;

namespace Velumo {

ServiceEndpoint::ServiceEndpoint(ProxyTarget target, std::chrono::milliseconds connectTimeout,
                                 QObject *parent)
    : QObject(parent)
    , m_target(std::move(target))
    , m_connectTimeout(connectTimeout)
{}

ServiceEndpoint::~ServiceEndpoint()
{
    if (m_lookup >= 0) {
        QHostInfo::abortHostLookup(m_lookup);
    }
}

QString ServiceEndpoint::name() const
{
    return (m_target.tls ? u"https://"_s : QString()) + endpoint(m_target.host, m_target.port);
}

void ServiceEndpoint::resolve()
{
    if (!m_addresses.isEmpty()) {
        Q_EMIT resolved();
        return;
    }
    if (m_lookup >= 0) {
        return;
    }
    if (QHostAddress literal; literal.setAddress(m_target.host)) {
        m_addresses = {literal};
        m_lookupError.clear();
        Q_EMIT resolved();
        return;
    }
    m_lookup = QHostInfo::lookupHost(m_target.host, this, &ServiceEndpoint::lookedUp);
}

void ServiceEndpoint::lookedUp(const QHostInfo &info)
{
    m_lookup = -1;
    m_addresses = info.addresses();
    m_lookupError = info.error() == QHostInfo::NoError && !m_addresses.isEmpty()
                        ? QString()
                        : tr("Could not look up %1: %2").arg(m_target.host, info.errorString());
    Q_EMIT resolved();
}

void ServiceEndpoint::addressWorked(const QHostAddress &address)
{
    // The next connection tries first what worked last: a service on 127.0.0.1 alone is not
    // made to wait for a refusal from ::1 every time.
    if (const qsizetype at = m_addresses.indexOf(address); at > 0) {
        m_addresses.move(at, 0);
    }
}

QString ServiceEndpoint::endpoint(const QString &host, quint16 port)
{
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

} // namespace Velumo
