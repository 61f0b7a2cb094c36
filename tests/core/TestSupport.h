// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

// Helpers shared by the core tests: scripts for the stand-in tool, reading what it recorded,
// draining an output stream, and capturing our own standard output.

#include "ContentModel.h"
#include "OutputStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace Velumo::Testing {

inline QString standinPath()
{
    return QStringLiteral(VELUMO_STANDIN);
}

inline QString transcriptPath(const QString &name)
{
    return QStringLiteral(VELUMO_TRANSCRIPTS) + u'/' + name;
}

// Writes a stand-in script into `dir` and makes it the one tools started from now on replay.
inline QString useScript(const QTemporaryDir &dir, const QString &name, const QByteArray &script)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
    file.close();
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(path));
    return path;
}

inline void useTranscript(const QString &name)
{
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(transcriptPath(name)));
}

// What the stand-in wrote with its `record` directive: argv, env and pid.
inline QJsonObject readRecord(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QJsonDocument::fromJson(file.readAll()).object();
}

inline bool processExists(qint64 pid)
{
    if (pid <= 0) {
        return false;
    }
    if (::kill(static_cast<pid_t>(pid), 0) != 0) {
        return false;
    }
    // A zombie still answers kill(0); it is gone for our purposes.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        if (close >= 0 && close + 2 < line.size() && line.at(close + 2) == 'Z') {
            return false;
        }
    }
    return true;
}

inline const QString announcedAddress =
    QStringLiteral("https://seasonal-deck-organisms-sf.trycloudflare.com");

// The box line that carries the address, as one stand-in directive.
inline QByteArray announcement(const QString &address = announcedAddress)
{
    return "err 2026-05-29T09:25:38Z INF |  " + address.toUtf8() + "  |\n";
}

inline qint64 readPid(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return file.readAll().trimmed().toLongLong();
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Drained {
    QList<StreamedTerminalOutput> values;
    bool finished = false;

    QString text() const
    {
        QString all;
        for (const StreamedTerminalOutput &value : values) {
            all += value.text;
        }
        return all;
    }
};

// Reads a stream to its end into `into`, which must outlive the stream.
inline QCoro::Task<> drain(OutputStream stream, std::shared_ptr<Drained> into)
{
    while (std::optional<StreamedTerminalOutput> value = co_await stream.next()) {
        into->values.append(std::move(*value));
    }
    into->finished = true;
}

// Redirects file descriptor 1 into a temporary file while alive.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        std::FILE *file = std::tmpfile();
        m_file = file;
        ::dup2(::fileno(file), STDOUT_FILENO);
    }
    ~StdoutCapture()
    {
        restore();
        std::fclose(m_file);
    }
    QByteArray text()
    {
        std::fflush(stdout);
        std::fseek(m_file, 0, SEEK_END);
        const long size = std::ftell(m_file);
        std::rewind(m_file);
        QByteArray bytes(size, '\0');
        const size_t read = std::fread(bytes.data(), 1, static_cast<size_t>(size), m_file);
        bytes.truncate(static_cast<qsizetype>(read));
        return bytes;
    }
    void restore()
    {
        if (m_saved >= 0) {
            std::fflush(stdout);
            ::dup2(m_saved, STDOUT_FILENO);
            ::close(m_saved);
            m_saved = -1;
        }
    }

private:
    int m_saved = -1;
    std::FILE *m_file = nullptr;
};

// What the model's tests share: a model whose store lies in a fresh temporary folder and whose
// tool is the stand-in. A test class derives from this besides QObject, and calls setUpModel()
// from init() and tearDownModel() from cleanup().
class ModelTestCase
{
protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ContentModel> m_model;

    QString storePath() const
    {
        return m_dir->filePath(QStringLiteral("velumo/storedTunnels.json"));
    }
    QDir storeFolder() const { return QFileInfo(storePath()).dir(); }

    void writeStore(const QByteArray &bytes)
    {
        QVERIFY(QDir().mkpath(storeFolder().path()));
        QVERIFY(writeFile(storePath(), bytes));
    }
    QByteArray storedBytes() const { return readAll(storePath()); }

    // Makes the script every tool started from now on replays.
    void script(const QByteArray &text) { useScript(*m_dir, QStringLiteral("script"), text); }

    void setUpModel()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_model = std::make_unique<ContentModel>(TunnelStore(storePath()));
        m_model->setToolPath(standinPath());
    }

    // Stops every tool the model started and lets their coroutines finish.
    void stopTools()
    {
        QSignalSpy stopped(m_model.get(), &ContentModel::toolsStopped);
        m_model->stopAllTools(std::chrono::milliseconds(500));
        QTRY_VERIFY(stopped.count() == 1 || m_model->runningToolCount() == 0);
        QTest::qWait(0);
    }

    void tearDownModel()
    {
        if (m_model) {
            stopTools();
        }
        m_model.reset();
        QCoreApplication::processEvents();
        m_dir.reset();
    }
};

} // namespace Velumo::Testing
