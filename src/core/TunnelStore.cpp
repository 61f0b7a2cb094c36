// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "TunnelStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace Velumo {

namespace {

bool setError(QString *error, const QString &message)
{
    if (error) {
        *error = message;
    }
    return false;
}

bool writeAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        return setError(error,
                        QStringLiteral("cannot create the folder %1").arg(info.absolutePath()));
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return setError(error, file.errorString());
    }
    // QSaveFile::commit() in Qt 6.4 renames even when the final flush failed, which could put a
    // truncated file in place; so flush here, check it, and cancel on any failure.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString message = file.errorString();
        file.cancelWriting();
        return setError(error, message);
    }
    if (!file.commit()) {
        return setError(error, file.errorString());
    }
    return true;
}

} // namespace

QString TunnelStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/velumo/storedTunnels.json");
}

TunnelStore::TunnelStore(QString filePath)
    : m_filePath(std::move(filePath))
{}

TunnelStore::Contents TunnelStore::read() const
{
    Contents contents;
    const QFileInfo info(m_filePath);
    if (!info.exists()) {
        return contents;
    }
    if (!info.isFile()) {
        contents.error = QStringLiteral("%1 is not a file").arg(m_filePath);
        return contents;
    }
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        contents.error = file.errorString();
        return contents;
    }
    contents.bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        contents.bytes.reset();
        contents.error = file.errorString();
    }
    return contents;
}

bool TunnelStore::write(const QByteArray &bytes, QString *error) const
{
    return writeAtomically(m_filePath, bytes, error);
}

std::optional<QString> TunnelStore::keepUnreadable(const QByteArray &bytes, QString *error) const
{
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString path = m_filePath + QStringLiteral(".unreadable-") + stamp;
    for (int n = 2; QFileInfo::exists(path); ++n) {
        path = m_filePath + QStringLiteral(".unreadable-") + stamp + u'-' + QString::number(n);
    }
    if (!writeAtomically(path, bytes, error)) {
        return std::nullopt;
    }
    return path;
}

} // namespace Velumo
