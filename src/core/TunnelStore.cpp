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
    return contents.bytes ? decodeTunnels(*contents.bytes).toOptional() : std::nullopt;
}

Result<std::optional<TunnelList>> TunnelStore::load()
{
    return m_file.load(decodeTunnels);
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

Result<std::optional<NamedTunnelList>> NamedTunnelStore::load()
{
    return m_file.load(decodeNamedTunnels);
}

QString NamedTunnelStore::save(const NamedTunnelList &list)
{
    return m_file.saveAndSay(encodeNamedTunnels(list), [](const QByteArray &bytes) {
        return decodeNamedTunnels(bytes).has_value();
    });
}

} // namespace Velumo
