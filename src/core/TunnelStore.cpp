// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelStore.h"

#include <QStandardPaths>

namespace Velumo {

namespace {

QString configFile(const QString &name)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/velumo/") + name;
}

std::optional<TunnelList> decodeQuick(const QByteArray &bytes, QString *error)
{
    DecodeError decodeError;
    std::optional<TunnelList> list = decodeTunnels(bytes, &decodeError);
    if (error) {
        *error = decodeError.message;
    }
    return list;
}

} // namespace

QString TunnelStore::defaultFilePath()
{
    return configFile(QStringLiteral("storedTunnels.json"));
}

TunnelStore::TunnelStore(QString filePath)
    : m_file(std::move(filePath), QStringLiteral("tunnel list"))
{}

std::optional<TunnelList> TunnelStore::read() const
{
    const StoreFile::Contents contents = m_file.read();
    return contents.bytes ? decodeTunnels(*contents.bytes) : std::nullopt;
}

std::optional<TunnelList> TunnelStore::load(QString *problem)
{
    return m_file.load(decodeQuick, problem);
}

QString TunnelStore::save(const TunnelList &list)
{
    return m_file.saveAndSay(encodeTunnels(list), [](const QByteArray &bytes) {
        return decodeTunnels(bytes).has_value();
    });
}

QString NamedTunnelStore::defaultFilePath()
{
    return configFile(QStringLiteral("namedTunnels.json"));
}

NamedTunnelStore::NamedTunnelStore(QString filePath)
    : m_file(std::move(filePath), QStringLiteral("named tunnel list"))
{}

std::optional<NamedTunnelList> NamedTunnelStore::load(QString *problem)
{
    return m_file.load(decodeNamedTunnels, problem);
}

QString NamedTunnelStore::save(const NamedTunnelList &list)
{
    return m_file.saveAndSay(encodeNamedTunnels(list), [](const QByteArray &bytes) {
        return decodeNamedTunnels(bytes).has_value();
    });
}

} // namespace Velumo
