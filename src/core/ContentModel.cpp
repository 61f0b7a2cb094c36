// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "ContentModel.h"

#include "TunnelUrl.h"

#include <QPointer>
#include <QRegularExpression>

#include <cstdio>

namespace Velumo {

namespace {

void printLine(const QString &text)
{
    const QByteArray bytes = (text + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

// The last non-empty line of a chunk, without the tool's "<time> <LEVEL> " prefix.
QString lastMeaningfulLine(const QString &chunk)
{
    static const QRegularExpression logPrefix(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(?:\\.\\d+)?Z\\s+"
                       "(?:DBG|INF|WRN|ERR|FTL)\\s+"));
    const auto lines = QStringView(chunk).split(u'\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QStringView line = it->trimmed();
        if (!line.isEmpty()) {
            QString text = line.toString();
            text.remove(logPrefix);
            return text.left(300);
        }
    }
    return {};
}

} // namespace

ContentModel::ContentModel(QObject *parent) : ContentModel(TunnelStore(), parent) {}

ContentModel::ContentModel(TunnelStore store, QObject *parent)
    : QObject(parent)
    , m_store(std::move(store))
{
}

ContentModel::~ContentModel()
{
    // Each ToolProcess ends its child as it goes; coroutines still waiting on a stream are
    // resumed from the event loop, see that the model is gone and return.
    m_tools.clear();
}

void ContentModel::setLoading(bool loading)
{
    Q_EMIT objectWillChange();
    m_loading = loading;
}

void ContentModel::setStatusMessage(const QString &message)
{
    m_statusMessage = message;
    Q_EMIT statusMessageChanged(m_statusMessage);
}

qsizetype ContentModel::indexOfTunnel(const QUuid &id) const
{
    for (qsizetype i = 0; i < m_tunnels.size(); ++i) {
        if (m_tunnels[i].id == id) {
            return i;
        }
    }
    return -1;
}

ContentModel::ToolEntry *ContentModel::toolEntry(quint64 serial)
{
    for (ToolEntry &entry : m_tools) {
        if (entry.serial == serial) {
            return &entry;
        }
    }
    return nullptr;
}

int ContentModel::runningToolCount() const
{
    int count = 0;
    for (const ToolEntry &entry : m_tools) {
        count += entry.process->isRunning() ? 1 : 0;
    }
    return count;
}

quint64 ContentModel::startTool(const QString &hostname, const QString &port,
                                OutputStream &output)
{
    const QStringList arguments{QStringLiteral("tunnel"), QStringLiteral("--url"),
                                hostname + u':' + port};
    const QString path = m_toolPath ? *m_toolPath : cloudflaredPath();
    ToolRun run;
    if (path.isEmpty()) {
        run = m_shell.unavailable(tr("cloudflared was not found (looked in %1)")
                                      .arg(cloudflaredSearchPlaces().join(QStringLiteral(", "))),
                                  arguments);
    } else {
        run = m_shell.run(path, arguments);
    }
    output = run.output;
    ToolEntry entry;
    entry.serial = m_nextSerial++;
    entry.process = std::move(run.process);
    connect(entry.process.get(), &ToolProcess::ended, this, &ContentModel::toolEnded);
    m_tools.push_back(std::move(entry));
    return m_tools.back().serial;
}

void ContentModel::forgetTool(quint64 serial)
{
    std::erase_if(m_tools, [serial](const ToolEntry &entry) { return entry.serial == serial; });
}

void ContentModel::stopToolsLeftServingNothing()
{
    QSet<QUuid> listed;
    listed.reserve(m_tunnels.size());
    for (const Tunnel &tunnel : std::as_const(m_tunnels)) {
        listed.insert(tunnel.id);
    }
    for (ToolEntry &entry : m_tools) {
        if (entry.serves.isEmpty()) {
            continue;
        }
        entry.serves.removeIf([&listed](const QUuid &id) { return !listed.contains(id); });
        if (entry.serves.isEmpty()) {
            entry.process->stop();
        }
    }
}

void ContentModel::toolEnded()
{
    if (m_stoppingAll && runningToolCount() == 0) {
        m_stoppingAll = false;
        Q_EMIT toolsStopped();
    }
}

void ContentModel::stopAllTools(std::chrono::milliseconds grace)
{
    m_stoppingAll = true;
    for (ToolEntry &entry : m_tools) {
        entry.process->stop(grace);
    }
    toolEnded();
}

QString ContentModel::endedWithoutAddressMessage(quint64 serial, const QString &lastLine) const
{
    const auto it = std::find_if(m_tools.cbegin(), m_tools.cend(),
                                 [serial](const ToolEntry &entry) { return entry.serial == serial; });
    if (it == m_tools.cend()) {
        return {};
    }
    const ToolProcess &process = *it->process;
    if (process.state() == ToolProcess::State::FailedToStart) {
        return process.program().isEmpty()
                   ? process.errorDescription()
                   : tr("Could not start cloudflared: %1").arg(process.errorDescription());
    }
    if (process.stopRequested()) {
        return {};
    }
    const QString how = process.crashed() ? tr("crashed")
                                          : tr("ended with exit code %1").arg(process.exitCode());
    return lastLine.isEmpty() ? tr("cloudflared %1 without giving an address").arg(how)
                              : tr("cloudflared %1 without giving an address: %2").arg(how, lastLine);
}

QCoro::Task<> ContentModel::createTunnel(QString hostname, QString port)
{
    QPointer<ContentModel> self(this);
    setLoading(true);
    ++m_waitingCreations;

    OutputStream output;
    const quint64 serial = startTool(hostname, port, output);
    bool found = false;
    QString lastLine;

    while (true) {
        std::optional<StreamedTerminalOutput> chunk = co_await output.next();
        if (!self) {
            co_return;
        }
        if (!chunk) {
            break;
        }
        if (chunk->kind == StreamedTerminalOutput::Kind::standardError) {
            printLine(QStringLiteral("ERROR: ") + chunk->text);
            continue;
        }
        if (QString line = lastMeaningfulLine(chunk->text); !line.isEmpty()) {
            lastLine = std::move(line);
        }
        std::optional<QUrl> url = detectTunnelURL(chunk->text);
        if (!url) {
            continue;
        }
        Tunnel tunnel;
        tunnel.url = std::move(url);
        tunnel.hostname = hostname;
        tunnel.port = port;
        tunnel.loading = false;
        if (ToolEntry *entry = toolEntry(serial)) {
            entry->serves.insert(tunnel.id);
        }
        Q_EMIT objectWillChange();
        m_tunnels.append(std::move(tunnel));
        saveTunnels(m_tunnels);
        if (!found) {
            found = true;
            --m_waitingCreations;
        }
        setLoading(false);
    }

    if (!found) {
        // A creation that never got an address must not leave the form disabled for good.
        --m_waitingCreations;
        if (m_waitingCreations == 0 && m_loading) {
            setLoading(false);
        }
        if (const QString message = endedWithoutAddressMessage(serial, lastLine);
            !message.isEmpty()) {
            setStatusMessage(message);
        }
    }
    forgetTool(serial);
}

QCoro::Task<> ContentModel::restartTunnel(Tunnel tunnel)
{
    QPointer<ContentModel> self(this);
    const qsizetype index = indexOfTunnel(tunnel.id);
    if (index < 0) {
        co_return;
    }
    Q_EMIT objectWillChange();
    m_tunnels[index].loading = true;

    // An earlier tool still serving this tunnel would keep an old address alive.
    for (ToolEntry &entry : m_tools) {
        if (entry.serves.remove(tunnel.id) && entry.serves.isEmpty()) {
            entry.process->stop();
        }
    }

    OutputStream output;
    const quint64 serial = startTool(tunnel.hostname, tunnel.port, output);
    toolEntry(serial)->serves.insert(tunnel.id);
    m_latestRestart.insert(tunnel.id, serial);
    bool found = false;
    QString lastLine;

    while (true) {
        std::optional<StreamedTerminalOutput> chunk = co_await output.next();
        if (!self) {
            co_return;
        }
        if (!chunk) {
            break;
        }
        if (chunk->kind == StreamedTerminalOutput::Kind::standardError) {
            printLine(QStringLiteral("ERROR: ") + chunk->text);
            continue;
        }
        if (QString line = lastMeaningfulLine(chunk->text); !line.isEmpty()) {
            lastLine = std::move(line);
        }
        std::optional<QUrl> url = detectTunnelURL(chunk->text);
        if (!url) {
            continue;
        }
        // The list may have changed while we waited: find the record again, by id.
        const qsizetype current = indexOfTunnel(tunnel.id);
        if (current < 0) {
            continue;
        }
        found = true;
        Q_EMIT objectWillChange();
        m_tunnels[current].url = std::move(url);
        Q_EMIT objectWillChange();
        m_tunnels[current].loading = false;
    }

    const bool latest = m_latestRestart.value(tunnel.id) == serial;
    if (latest) {
        m_latestRestart.remove(tunnel.id);
    }
    if (!found && latest) {
        if (const qsizetype current = indexOfTunnel(tunnel.id);
            current >= 0 && m_tunnels[current].loading) {
            Q_EMIT objectWillChange();
            m_tunnels[current].loading = false;
        }
        if (const QString message = endedWithoutAddressMessage(serial, lastLine);
            !message.isEmpty()) {
            setStatusMessage(message);
        }
    }
    forgetTool(serial);
}

void ContentModel::saveTunnels(const TunnelList &list)
{
    if (!m_storeChecked) {
        // Never replace a stored list we could not read without keeping its bytes first.
        const TunnelStore::Contents contents = m_store.read();
        if (contents.bytes && !m_decoder.decode(*contents.bytes)) {
            QString error;
            const std::optional<QString> kept = m_store.keepUnreadable(*contents.bytes, &error);
            if (!kept) {
                setStatusMessage(tr("The tunnel list was not saved: the unreadable stored list "
                                    "could not be kept aside (%1)")
                                     .arg(error));
                return;
            }
            printLine(QStringLiteral("The unreadable tunnel list was kept as %1").arg(*kept));
            setStatusMessage(tr("The stored tunnel list could not be read; it was kept as %1")
                                 .arg(*kept));
        }
    }
    QString error;
    if (!m_store.write(m_encoder.encode(list), &error)) {
        setStatusMessage(tr("The tunnel list could not be saved: %1").arg(error));
        return;
    }
    m_storeChecked = true;
}

std::optional<TunnelList> ContentModel::readStoredTunnels() const
{
    const TunnelStore::Contents contents = m_store.read();
    if (!contents.bytes) {
        return std::nullopt;
    }
    return m_decoder.decode(*contents.bytes);
}

void ContentModel::loadTunnels()
{
    const TunnelStore::Contents contents = m_store.read();
    if (!contents.bytes) {
        m_storeChecked = contents.error.isEmpty();
        if (!contents.error.isEmpty()) {
            setStatusMessage(tr("The stored tunnel list could not be read: %1").arg(contents.error));
        }
        return;
    }
    DecodeError error;
    std::optional<TunnelList> stored = m_decoder.decode(*contents.bytes, &error);
    if (!stored) {
        m_storeChecked = false;
        setStatusMessage(tr("The stored tunnel list in %1 could not be read (%2); it will be kept "
                            "aside before the next save")
                             .arg(m_store.filePath(), error.message));
        return;
    }
    m_storeChecked = true;
    for (Tunnel &tunnel : *stored) {
        tunnel.url.reset();
        // No tool runs for a loaded record, so nothing would ever clear this.
        tunnel.loading = false;
    }
    Q_EMIT objectWillChange();
    m_tunnels = std::move(*stored);
}

void ContentModel::deleteTunnel(const Tunnel &tunnel)
{
    TunnelList kept;
    kept.reserve(m_tunnels.size());
    for (const Tunnel &listed : std::as_const(m_tunnels)) {
        if (!(listed == tunnel)) {
            kept.append(listed);
        }
    }
    Q_EMIT objectWillChange();
    m_tunnels = std::move(kept);
    stopToolsLeftServingNothing();
    saveTunnels(m_tunnels);
}

} // namespace Velumo
