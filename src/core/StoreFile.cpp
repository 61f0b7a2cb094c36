// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/StoreFile.h"

#include "core/Logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Velumo {

StoreFile::StoreFile(QString filePath, QString what)
    : m_filePath(std::move(filePath))
    , m_what(std::move(what))
{}

QString StoreFile::unreadableMessage(const QString &error) const
{
    return tr("The stored %1 could not be read: %2").arg(m_what, error);
}

QString StoreFile::undecodableMessage(const QString &error) const
{
    return tr("The stored %1 in %2 could not be read (%3); it will be kept aside before the "
              "next save")
        .arg(m_what, m_filePath, error);
}

QString StoreFile::saveAndSay(const QByteArray &bytes,
                              const std::function<bool(const QByteArray &)> &decodes)
{
    const SaveResult result = save(bytes, decodes);
    if (result.keepFailed) {
        return tr("The %1 was not saved: the unreadable stored list could not be kept aside (%2)")
            .arg(m_what, result.error);
    }
    if (result.keptAs) {
        qCInfo(lcCore, "The unreadable %s was kept as %s", qPrintable(m_what),
               qPrintable(*result.keptAs));
    }
    if (!result.written) {
        return tr("The %1 could not be saved: %2").arg(m_what, result.error);
    }
    if (result.keptAs) {
        return tr("The stored %1 could not be read; it was kept as %2").arg(m_what, *result.keptAs);
    }
    return {};
}

Done StoreFile::writeAtomically(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        return Refusal{QStringLiteral("cannot create the folder %1").arg(info.absolutePath())};
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return Refusal{file.errorString()};
    }
    // QSaveFile::commit() in Qt 6.4 renames even when the final flush failed, which could put a
    // truncated file in place; so flush here, check it, and cancel on any failure.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString message = file.errorString();
        file.cancelWriting();
        return Refusal{message};
    }
    if (!file.commit()) {
        return Refusal{file.errorString()};
    }
    return {};
}

StoreFile::Contents StoreFile::read() const
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

StoreFile::SaveResult StoreFile::save(const QByteArray &bytes,
                                      const std::function<bool(const QByteArray &)> &decodes)
{
    SaveResult result;
    if (!m_knownReadable) {
        const Contents contents = read();
        if (contents.bytes && !decodes(*contents.bytes)) {
            const Result<QString> kept = keepUnreadable(*contents.bytes);
            if (!kept) {
                result.error = kept.reason();
                result.keepFailed = true;
                return result;
            }
            result.keptAs = *kept;
        }
    }
    const Done written = writeAtomically(m_filePath, bytes);
    result.written = written.has_value();
    result.error = written.reason();
    if (result.written) {
        m_knownReadable = true;
    }
    return result;
}

Result<QString> StoreFile::keepUnreadable(const QByteArray &bytes) const
{
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString base = m_filePath + QStringLiteral(".unreadable-") + stamp;
    QString path = base;
    for (int n = 2; QFileInfo::exists(path); ++n) {
        path = base + u'-' + QString::number(n);
    }
    if (const Done written = writeAtomically(path, bytes); !written) {
        return Refusal{written.reason()};
    }
    return path;
}

} // namespace Velumo
