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

ContentModel::ContentModel(QObject *parent)
    : ContentModel(TunnelStore(), parent)
{}

ContentModel::ContentModel(TunnelStore store, QObject *parent)
    : QObject(parent)
    , m_store(std::move(store))
{
    connect(&m_serviceMonitor, &LocalServiceMonitor::listeningChanged, this,
            [this](const QUuid &key, bool listening) {
                if (const auto pending = m_pendingChecks.constFind(key);
                    pending != m_pendingChecks.cend()) {
                    if (!listening) {
                        setStatusMessage(tr("Nothing is listening on %1: visitors will get an "
                                            "error page until the service runs")
                                             .arg(*pending));
                    }
                    return;
                }
                Q_EMIT serviceListeningChanged(key);
            });
}

std::optional<bool> ContentModel::serviceListening(const QUuid &id) const
{
    return m_serviceMonitor.isListening(id);
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

quint64 ContentModel::startTool(const QString &hostname, const QString &port, OutputStream &output)
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
    entry.log = std::make_shared<ToolLog>(entry.process->commandLine());
    connect(entry.process.get(), &ToolProcess::ended, this, &ContentModel::toolEnded);
    m_tools.push_back(std::move(entry));
    return m_tools.back().serial;
}

bool ContentModel::isServing(const QUuid &id) const
{
    const auto it = m_toolOf.constFind(id);
    if (it == m_toolOf.cend()) {
        return false;
    }
    for (const ToolEntry &entry : m_tools) {
        if (entry.serial == *it) {
            return entry.process->isRunning();
        }
    }
    return false;
}

TunnelActivity ContentModel::activity(const QUuid &id) const
{
    TunnelActivity activity = m_activity.value(id);
    activity.running = isServing(id);
    return activity;
}

void ContentModel::setActivity(const QUuid &id, TunnelState state, quint64 serial)
{
    TunnelActivity &activity = m_activity[id];
    activity.state = state;
    if (const ToolEntry *entry = toolEntry(serial)) {
        activity.log = entry->log;
        if (entry->process->state() == ToolProcess::State::Exited) {
            activity.exitCode = entry->process->exitCode();
            activity.crashed = entry->process->crashed();
        }
    }
    Q_EMIT activityChanged(id);
}

std::optional<QUrl> ContentModel::readChunk(quint64 serial, const StreamedTerminalOutput &chunk,
                                            QString &lastLine)
{
    if (chunk.kind == StreamedTerminalOutput::Kind::standardError) {
        printLine(QStringLiteral("ERROR: ") + chunk.text);
        return std::nullopt;
    }
    if (QString line = lastMeaningfulLine(chunk.text); !line.isEmpty()) {
        lastLine = std::move(line);
    }
    handleChunk(serial, chunk.text);
    return detectTunnelURL(chunk.text);
}

void ContentModel::handleChunk(quint64 serial, const QString &text)
{
    ToolEntry *entry = toolEntry(serial);
    if (!entry) {
        return;
    }
    entry->log->append(text);
    // The address is served only once the tool holds a connection to the edge.
    if (!entry->connected && text.contains(QStringLiteral("Registered tunnel connection"))) {
        entry->connected = true;
        for (auto it = m_toolOf.cbegin(); it != m_toolOf.cend(); ++it) {
            if (it.value() == serial) {
                setActivity(it.key(), TunnelState::Connected, serial);
            }
        }
    }
}

void ContentModel::toolRunFinished(quint64 serial)
{
    const ToolEntry *entry = toolEntry(serial);
    if (!entry) {
        return;
    }
    TunnelState state = TunnelState::Ended;
    if (entry->process->state() == ToolProcess::State::FailedToStart) {
        state = TunnelState::FailedToStart;
    } else if (entry->process->stopRequested()) {
        state = TunnelState::Stopped;
    }
    const QList<QUuid> ids = m_toolOf.keys(serial);
    for (const QUuid &id : ids) {
        m_toolOf.remove(id);
        m_serviceMonitor.unwatch(id);
        setActivity(id, state, serial);
        // A tunnel that was serving ended on its own: its address no longer answers.
        if (const qsizetype index = indexOfTunnel(id);
            state == TunnelState::Ended && index >= 0 && m_tunnels[index].url) {
            const Tunnel &tunnel = m_tunnels[index];
            const ToolProcess &process = *entry->process;
            setStatusMessage(
                process.crashed()
                    ? tr("The tunnel to %1:%2 ended: cloudflared crashed")
                          .arg(tunnel.hostname, tunnel.port)
                    : tr("The tunnel to %1:%2 ended: cloudflared exited with code %3")
                          .arg(tunnel.hostname, tunnel.port)
                          .arg(process.exitCode()));
        }
    }
    forgetTool(serial);
}

void ContentModel::stopTunnel(const Tunnel &tunnel)
{
    for (ToolEntry &entry : m_tools) {
        if (entry.serves.remove(tunnel.id) && entry.serves.isEmpty()) {
            entry.process->stop();
        }
    }
    m_serviceMonitor.unwatch(tunnel.id);
    const bool hadTool = m_toolOf.contains(tunnel.id);
    const quint64 serial = m_toolOf.take(tunnel.id);
    m_latestRestart.remove(tunnel.id);
    if (hadTool) {
        setActivity(tunnel.id, TunnelState::Stopped, serial);
    }
    const qsizetype index = indexOfTunnel(tunnel.id);
    if (index >= 0 && (m_tunnels[index].url || m_tunnels[index].loading)) {
        Tunnel stopped = m_tunnels[index];
        stopped.url.reset();
        stopped.loading = false;
        Q_EMIT objectWillChange();
        m_tunnels[index] = std::move(stopped);
    }
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
    const auto it =
        std::find_if(m_tools.cbegin(), m_tools.cend(),
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
    const QString how =
        process.crashed() ? tr("crashed") : tr("ended with exit code %1").arg(process.exitCode());
    return lastLine.isEmpty()
               ? tr("cloudflared %1 without giving an address").arg(how)
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
    // Checked at once, so the user hears of a service that is down before visitors do.
    const QUuid pendingCheck = QUuid::createUuid();
    m_pendingChecks.insert(pendingCheck, hostname + u':' + port);
    m_serviceMonitor.watch(pendingCheck, hostname, port);

    while (true) {
        std::optional<StreamedTerminalOutput> chunk = co_await output.next();
        if (!self) {
            co_return;
        }
        if (!chunk) {
            break;
        }
        std::optional<QUrl> url = readChunk(serial, *chunk, lastLine);
        if (!url) {
            continue;
        }
        Tunnel tunnel;
        tunnel.url = std::move(url);
        tunnel.hostname = hostname;
        tunnel.port = port;
        tunnel.loading = false;
        const Tunnel created = tunnel;
        bool connected = false;
        if (ToolEntry *entry = toolEntry(serial)) {
            entry->serves.insert(tunnel.id);
            connected = entry->connected;
        }
        m_toolOf.insert(tunnel.id, serial);
        Q_EMIT objectWillChange();
        m_tunnels.append(std::move(tunnel));
        saveTunnels(m_tunnels);
        if (!found) {
            found = true;
            --m_waitingCreations;
            m_serviceMonitor.unwatch(pendingCheck);
            m_pendingChecks.remove(pendingCheck);
        }
        setLoading(false);
        setActivity(created.id, connected ? TunnelState::Connected : TunnelState::Announced,
                    serial);
        m_serviceMonitor.watch(created.id, hostname, port);
        Q_EMIT tunnelReady(created);
    }

    m_serviceMonitor.unwatch(pendingCheck);
    m_pendingChecks.remove(pendingCheck);
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
    toolRunFinished(serial);
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
    m_toolOf.insert(tunnel.id, serial);
    setActivity(tunnel.id, TunnelState::Starting, serial);
    m_serviceMonitor.watch(tunnel.id, tunnel.hostname, tunnel.port);
    m_serviceMonitor.checkNow(tunnel.id);
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
        std::optional<QUrl> url = readChunk(serial, *chunk, lastLine);
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
        if (m_toolOf.value(tunnel.id) == serial) {
            const ToolEntry *entry = toolEntry(serial);
            setActivity(tunnel.id,
                        entry && entry->connected ? TunnelState::Connected : TunnelState::Announced,
                        serial);
            Q_EMIT tunnelReady(m_tunnels[current]);
        }
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
    toolRunFinished(serial);
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
            setStatusMessage(
                tr("The stored tunnel list could not be read; it was kept as %1").arg(*kept));
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
            setStatusMessage(
                tr("The stored tunnel list could not be read: %1").arg(contents.error));
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

void ContentModel::deleteTunnel(const Tunnel &argument)
{
    // The argument may refer into the list that is about to be replaced.
    const Tunnel tunnel = argument;
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
    if (indexOfTunnel(tunnel.id) < 0) {
        m_toolOf.remove(tunnel.id);
        m_activity.remove(tunnel.id);
        m_serviceMonitor.unwatch(tunnel.id);
        m_latestRestart.remove(tunnel.id);
    }
    saveTunnels(m_tunnels);
}

} // namespace Velumo
