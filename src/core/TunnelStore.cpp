// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelStore.h"

#include "core/Shell.h"

#include <QStandardPaths>

namespace Velumo {

QString TunnelStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/velumo/storedTunnels.json");
}

TunnelStore::TunnelStore(QString filePath)
    : m_file(std::move(filePath))
{}

std::optional<TunnelList> TunnelStore::read() const
{
    const StoreFile::Contents contents = m_file.read();
    return contents.bytes ? decodeTunnels(*contents.bytes) : std::nullopt;
}

std::optional<TunnelList> TunnelStore::load(QString *problem)
{
    const StoreFile::Contents contents = m_file.read();
    if (!contents.bytes) {
        m_file.setKnownReadable(contents.error.isEmpty());
        if (!contents.error.isEmpty()) {
            *problem = tr("The stored tunnel list could not be read: %1").arg(contents.error);
        }
        return std::nullopt;
    }
    DecodeError error;
    std::optional<TunnelList> list = decodeTunnels(*contents.bytes, &error);
    m_file.setKnownReadable(list.has_value());
    if (!list) {
        *problem = tr("The stored tunnel list in %1 could not be read (%2); it will be kept "
                      "aside before the next save")
                       .arg(filePath(), error.message);
    }
    return list;
}

QString TunnelStore::save(const TunnelList &list)
{
    const StoreFile::SaveResult result = m_file.save(
        encodeTunnels(list), [](const QByteArray &bytes) { return decodeTunnels(bytes).has_value(); });
    if (result.keepFailed) {
        return tr("The tunnel list was not saved: the unreadable stored list could not be kept "
                  "aside (%1)")
            .arg(result.error);
    }
    if (result.keptAs) {
        printDiagnostic(QStringLiteral("The unreadable tunnel list was kept as %1").arg(*result.keptAs));
    }
    if (!result.written) {
        return tr("The tunnel list could not be saved: %1").arg(result.error);
    }
    if (result.keptAs) {
        return tr("The stored tunnel list could not be read; it was kept as %1").arg(*result.keptAs);
    }
    return {};
}

} // namespace Velumo
