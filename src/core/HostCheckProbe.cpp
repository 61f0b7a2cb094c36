// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/HostCheckProbe.h"

#include "core/PortNumber.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

// The refusals are short pages; what tells them apart is near the start.
constexpr qint64 bodyRead = 16 * 1024;

} // namespace

HostCheckProbe::HostCheckProbe(QObject *parent)
    : QObject(parent)
{}

HostCheckProbe::~HostCheckProbe() = default;

QNetworkAccessManager &HostCheckProbe::network()
{
    if (!m_network) {
        m_network = std::make_unique<QNetworkAccessManager>();
        // The service is on this machine: a proxy set for the desktop must not be asked.
        m_network->setProxy(QNetworkProxy::NoProxy);
        m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    return *m_network;
}

void HostCheckProbe::probe(const QUuid &key, const QString &hostname, const QString &port,
                           const QUrl &address, const QString &hostSent)
{
    cancel(key);
    const std::optional<quint16> number = parsePort(port);
    if (!number || address.host().isEmpty()) {
        return;
    }
    QUrl service(hostname.contains(u"://"_s) ? hostname : u"http://"_s + hostname);
    if (!service.isValid() || service.host().isEmpty()) {
        return;
    }
    service.setPort(*number);
    service.setPath(u"/"_s);

    QNetworkRequest request(service);
    if (hostSent.isEmpty()) {
        request.setRawHeader("Host", address.host().toUtf8());
    } else {
        request.setRawHeader("Host", hostSent.toUtf8());
        request.setRawHeader("X-Forwarded-Host", address.host().toUtf8());
    }
    request.setRawHeader("X-Forwarded-Proto", "https");
    request.setRawHeader("Accept", "text/html,*/*");
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = network().get(request);
    m_probes.insert(key, reply);
    // Enough of the body has come once a refusal would have shown itself; the rest of a real
    // page is never wanted.
    connect(reply, &QNetworkReply::readyRead, this, [this, key, reply] {
        if (reply->bytesAvailable() >= bodyRead) {
            finish(key, reply);
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, key, reply] { finish(key, reply); });
}

void HostCheckProbe::cancel(const QUuid &key)
{
    if (QNetworkReply *reply = m_probes.take(key)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void HostCheckProbe::finish(const QUuid &key, QNetworkReply *reply)
{
    if (m_probes.value(key) != reply) {
        return;
    }
    m_probes.remove(key);
    reply->disconnect(this);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->read(bodyRead);
    reply->abort();
    reply->deleteLater();
    Q_EMIT checked(key, HostCheck::refusedBy(status, body));
}

} // namespace Velumo
