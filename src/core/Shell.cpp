// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/Shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <qcoro/qcoroprocess.h>

#include <mutex>

#include <cstdio>

namespace Velumo {

namespace {

QString toolFileName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("cloudflared.exe");
#else
    return QStringLiteral("cloudflared");
#endif
}

QStringList bundledCandidates()
{
    const QDir appDir(QCoreApplication::applicationDirPath());
    QStringList candidates{appDir.filePath(toolFileName())};
#ifdef Q_OS_MACOS
    candidates.append(
        QDir::cleanPath(appDir.filePath(QStringLiteral("../Resources/")) + u'/' + toolFileName()));
#endif
    candidates.append(QDir::cleanPath(appDir.filePath(QStringLiteral("../libexec/velumo/")) + u'/' +
                                      toolFileName()));
    return candidates;
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

ToolRun Shell::run(const QString &launchPath, const QStringList &arguments,
                   const std::optional<QMap<QString, QString>> &environment) const
{
    std::optional<QProcessEnvironment> processEnvironment;
    if (environment) {
        processEnvironment.emplace();
        for (auto it = environment->cbegin(); it != environment->cend(); ++it) {
            processEnvironment->insert(it.key(), it.value());
        }
    }
    ToolRun run;
    run.process = std::make_shared<ToolProcess>(
        launchPath, arguments, std::move(processEnvironment), run.output.producer());
    return run;
}

ToolRun Shell::runCommand(const QString &launchPath, const QStringList &arguments,
                          const QMap<QString, QString> &addedEnvironment) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = addedEnvironment.cbegin(); it != addedEnvironment.cend(); ++it) {
        environment.insert(it.key(), it.value());
    }
    ToolRun run;
    run.process = std::make_shared<ToolProcess>(launchPath, arguments, std::move(environment),
                                                run.output.producer(), nullptr, QString(),
                                                ToolProcess::StandardOutput::Captured);
    return run;
}

ToolRun Shell::unavailable(const QString &description, const QStringList &arguments) const
{
    ToolRun run;
    run.process = std::make_shared<ToolProcess>(QString(), arguments, std::nullopt,
                                                run.output.producer(), nullptr, description);
    return run;
}

ToolRun Shell::runFound(const QString &launchPath, const QStringList &arguments,
                        const std::optional<QMap<QString, QString>> &environment) const
{
    return launchPath.isEmpty() ? unavailable(cloudflaredNotFound(), arguments)
                                : run(launchPath, arguments, environment);
}

QString cloudflaredNotFound()
{
    return QCoreApplication::translate("Velumo::Shell", "cloudflared was not found (looked in %1)")
        .arg(cloudflaredSearchPlaces().join(QStringLiteral(", ")));
}

QStringList tunnelArguments(const QStringList &rest)
{
    return QStringList{QStringLiteral("tunnel"), QStringLiteral("--no-autoupdate")} + rest;
}

QStringList cloudflaredSearchPlaces()
{
    QStringList places = bundledCandidates();
    places.append(QStringLiteral("PATH"));
    return places;
}

void printDiagnostic(const QString &text)
{
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

QString cloudflaredPath()
{
    static std::mutex mutex;
    static QString found;
    const std::lock_guard lock(mutex);
    if (found.isEmpty()) {
        for (const QString &candidate : bundledCandidates()) {
            if (isExecutableFile(candidate)) {
                found = candidate;
                return found;
            }
        }
        found = QStandardPaths::findExecutable(toolFileName());
    }
    return found;
}

QCoro::Task<std::optional<QString>> cloudflaredVersion(QString path)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments{QStringLiteral("--version")};
    process.start(path, arguments, QIODevice::ReadOnly);
    auto coProcess = qCoro(process);
    if (!co_await coProcess.waitForStarted(std::chrono::seconds(5)) ||
        !co_await coProcess.waitForFinished(std::chrono::seconds(5))) {
        process.kill();
        co_return std::nullopt;
    }
    const QString first = QString::fromUtf8(process.readAll()).section(u'\n', 0, 0).trimmed();
    co_return first.isEmpty() ? std::nullopt : std::optional<QString>(first);
}

} // namespace Velumo
