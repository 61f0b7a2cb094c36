// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelChoicesStore.h"

#include "core/Tunnel.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

Result<ChoicesList> decodeChoices(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (!document.isObject()) {
        return Refusal{error.error == QJsonParseError::NoError ? u"not a JSON object"_s
                                                                : error.errorString()};
    }
    ChoicesList list;
    const QJsonObject all = document.object();
    for (auto it = all.begin(); it != all.end(); ++it) {
        const QUuid id(it.key());
        if (id.isNull() || !it->isObject()) {
            return Refusal{u"\"%1\" is not a tunnel's choices"_s.arg(it.key())};
        }
        const QJsonObject one = it->toObject();
        TunnelChoices &choices = list[id];
        choices.inspect = one[u"inspect"].toBool();
        choices.password = one[u"password"].toBool();
        choices.overHttp2 = one[u"http2"].toBool();
        choices.startWithVelumo = one[u"startWithVelumo"].toBool();
        choices.trustedCertificate =
            QByteArray::fromHex(one[u"trustedCertificate"].toString().toLatin1());
        choices.hostHeader = one[u"hostHeader"].toBool();
    }
    return list;
}

} // namespace

TunnelChoicesStore::TunnelChoicesStore(QString filePath)
    : m_file(std::move(filePath), u"tunnel options"_s)
{}

Result<std::optional<ChoicesList>> TunnelChoicesStore::load()
{
    return m_file.load(decodeChoices);
}

QString TunnelChoicesStore::save(const ChoicesList &choices)
{
    QJsonObject all;
    for (auto it = choices.begin(); it != choices.end(); ++it) {
        if (it->inspect || it->password || it->overHttp2 || it->startWithVelumo ||
            it->hostHeader || !it->trustedCertificate.isEmpty()) {
            QJsonObject one{{u"inspect"_s, it->inspect},
                            {u"password"_s, it->password},
                            {u"http2"_s, it->overHttp2},
                            {u"startWithVelumo"_s, it->startWithVelumo},
                            {u"hostHeader"_s, it->hostHeader}};
            if (!it->trustedCertificate.isEmpty()) {
                one.insert(u"trustedCertificate"_s,
                           QString::fromLatin1(it->trustedCertificate.toHex()));
            }
            all.insert(uuidText(it.key()), one);
        }
    }
    return m_file.saveAndSay(QJsonDocument(all).toJson(), [](const QByteArray &bytes) {
        return decodeChoices(bytes).has_value();
    });
}

QString TunnelChoicesStore::gateKey(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces) + u"/password"_s;
}

QString TunnelChoicesStore::gateSecret(const PasswordGate::Kept &kept)
{
    const QJsonObject secret{{u"password"_s, kept.password},
                             {u"key"_s, QString::fromLatin1(kept.key)},
                             {u"cookie"_s, QString::fromLatin1(kept.token)}};
    return QString::fromUtf8(QJsonDocument(secret).toJson(QJsonDocument::Compact));
}

std::optional<PasswordGate::Kept> TunnelChoicesStore::readGateSecret(const QString &secret)
{
    const QJsonObject object = QJsonDocument::fromJson(secret.toUtf8()).object();
    PasswordGate::Kept kept{object[u"password"].toString(),
                            object[u"key"].toString().toLatin1(),
                            object[u"cookie"].toString().toLatin1()};
    if (kept.password.isEmpty() || kept.key.isEmpty() || kept.token.isEmpty()) {
        return std::nullopt;
    }
    return kept;
}

} // namespace Velumo
