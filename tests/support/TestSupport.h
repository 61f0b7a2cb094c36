// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

// What the tests share: the stand-in tool and its scripts, reading what it recorded, and a
// model whose list lives in a fresh temporary folder.

#include "core/ContentModel.h"
#include "proxy/ProxyHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace Velumo::Testing {

inline QString standinPath()
{
    return QStringLiteral(VELUMO_STANDIN);
}

inline QString transcriptPath(const QString &name)
{
    return QStringLiteral(VELUMO_TRANSCRIPTS) + u'/' + name;
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

// Makes `script` (written to `path`) the one tools started from now on replay. The file must
// stay until those tools have read it.
inline void useScriptAt(const QString &path, const QByteArray &script)
{
    if (!writeFile(path, script)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(path));
}

inline void useTranscript(const QString &name)
{
    qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(transcriptPath(name)));
}

// What the stand-in wrote with its `record` directive: argv, env and pid.
// Peak memory (VmHWM) in KiB since the last call, which starts it afresh from the current RSS.
inline qint64 peakGrowthKiB()
{
    static qint64 base = 0;
    auto field = [](const QByteArray &name) -> qint64 {
        for (const QByteArray &line : readAll(QStringLiteral("/proc/self/status")).split('\n')) {
            if (line.startsWith(QByteArray(name + ':'))) {
                return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
            }
        }
        return -1;
    };
    const qint64 grown = field("VmHWM") - base;
    writeFile(QStringLiteral("/proc/self/clear_refs"), "5");
    base = field("VmHWM");
    return grown;
}

// A port nothing listens on: the system hands out a free one, and we let it go again.
inline quint16 closedPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

// The self-signed certificate for localhost and 127.0.0.1, for a service that speaks TLS.
inline QSslCertificate serviceCertificate()
{
    return QSslCertificate::fromPath(QStringLiteral(VELUMO_TEST_TLS "/service-cert.pem")).value(0);
}
inline QSslConfiguration serviceTlsConfiguration()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(serviceCertificate());
    configuration.setPrivateKey(
        QSslKey(readAll(QStringLiteral(VELUMO_TEST_TLS "/service-key.pem")), QSsl::Ec));
    return configuration;
}

inline QJsonObject readRecord(const QString &path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

inline qint64 readPid(const QString &path)
{
    return readAll(path).trimmed().toLongLong();
}

inline bool processExists(qint64 pid)
{
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) {
        return false;
    }
    // A zombie still answers kill(0); it is gone for our purposes.
    const QByteArray stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return !(close >= 0 && close + 2 < stat.size() && stat.at(close + 2) == 'Z');
}

inline const QString announcedAddress =
    QStringLiteral("https://seasonal-deck-organisms-sf.trycloudflare.com");

// The box line that carries the address, as one stand-in directive.
inline QByteArray announcement(const QString &address = announcedAddress)
{
    return "err 2026-05-29T09:25:38Z INF |  " + address.toUtf8() + "  |\n";
}

// A model whose store lies in a fresh temporary folder and whose tool is the stand-in. A test
// class derives from this besides QObject, and calls setUpModel() from init() and
// tearDownModel() from cleanup().
class ModelTestCase
{
protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    // The app's proxy thread, which outlives the model.
    std::unique_ptr<ProxyHost> m_proxyHost;
    std::unique_ptr<ContentModel> m_model;

    QString storePath() const
    {
        return m_dir->filePath(QStringLiteral("velumo/storedTunnels.json"));
    }
    void writeStore(const QByteArray &bytes)
    {
        QVERIFY(QDir().mkpath(QFileInfo(storePath()).path()));
        QVERIFY(writeFile(storePath(), bytes));
    }
    QByteArray storedBytes() const { return readAll(storePath()); }
    // Makes the script every tool started from now on replays.
    void script(const QByteArray &text, const QString &name = QStringLiteral("script"))
    {
        useScriptAt(m_dir->filePath(name), text);
    }
    // Stores these tunnels and loads them into the model.
    void loadStored(const TunnelList &tunnels)
    {
        writeStore(encodeTunnels(tunnels));
        m_model->loadTunnels();
    }

    void setUpModel()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_proxyHost = std::make_unique<ProxyHost>();
        m_model = std::make_unique<ContentModel>(TunnelStore(storePath()));
        m_model->setProxyHost(m_proxyHost.get());
        m_model->setToolPath(standinPath());
    }

    void tearDownModel()
    {
        if (m_model) {
            QSignalSpy stopped(m_model.get(), &ContentModel::toolsStopped);
            m_model->stopAllTools(std::chrono::milliseconds(500));
            QTRY_VERIFY(stopped.count() == 1 || m_model->runningToolCount() == 0);
        }
        m_model.reset();
        QCoreApplication::processEvents();
        m_proxyHost.reset();
        m_dir.reset();
    }
};

} // namespace Velumo::Testing
