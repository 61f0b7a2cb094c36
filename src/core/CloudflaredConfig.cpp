// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/CloudflaredConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Velumo {

QStringList cloudflaredConfigCandidates()
{
    const QString home = QDir::homePath();
    const QStringList folders{
        home + QStringLiteral("/.cloudflared"), home + QStringLiteral("/.cloudflare-warp"),
        home + QStringLiteral("/cloudflare-warp"), QStringLiteral("/etc/cloudflared"),
        QStringLiteral("/usr/local/etc/cloudflared")};
    QStringList candidates;
    for (const QString &folder : folders) {
        candidates << folder + QStringLiteral("/config.yml")
                   << folder + QStringLiteral("/config.yaml");
    }
    return candidates;
}

std::optional<QString> configFileWithIngress()
{
    for (const QString &candidate : cloudflaredConfigCandidates()) {
        if (!QFileInfo(candidate).isFile()) {
            continue;
        }
        QFile file(candidate);
        if (!file.open(QIODevice::ReadOnly)) {
            return std::nullopt;
        }
        // A top-level key starts in the first column; YAML has no other way to be top-level.
        while (!file.atEnd()) {
            const QByteArray line = file.readLine(64 * 1024);
            if (line.startsWith("ingress:")) {
                return candidate;
            }
        }
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace Velumo
