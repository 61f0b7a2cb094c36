// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelSession.h"

#include "core/LocalServiceMonitor.h"
#include "core/ToolCommand.h"
#include "core/TunnelUrl.h"
#include "proxy/ReverseProxy.h"

#include <QPointer>

namespace Velumo {

TunnelSession::TunnelSession(ToolRun run, QString hostname, QString port, bool overHttp2,
                             LocalServiceMonitor &monitor, QObject *parent)
    : QObject(parent)
    , m_hostname(std::move(hostname))
    , m_port(std::move(port))
    , m_overHttp2(overHttp2)
    , m_process(std::move(run.process))
    , m_output(std::move(run.output))
    , m_log(std::make_shared<ToolLog>(m_process->commandLine()))
    , m_monitor(monitor)
{
    connect(&m_monitor, &LocalServiceMonitor::listeningChanged, this,
            [this](const QUuid &key, bool listening) {
                if (key == m_checkKey) {
                    Q_EMIT serviceListeningChanged(listening);
                }
            });
    connect(&m_monitor, &LocalServiceMonitor::tlsChanged, this, [this](const QUuid &key) {
        if (key == m_checkKey) {
            Q_EMIT serviceTlsChanged();
        }
    });
    // Checked at once, so the user hears of a service that is down before visitors do.
    m_monitor.watch(m_checkKey, m_hostname, m_port);
}

TunnelSession::~TunnelSession()
{
    m_monitor.unwatch(m_checkKey);
}

std::optional<bool> TunnelSession::serviceListening() const
{
    return m_over ? std::nullopt : m_monitor.isListening(m_checkKey);
}

std::optional<ServiceTls> TunnelSession::serviceTls() const
{
    return m_over ? std::nullopt : m_monitor.tls(m_checkKey);
}

QCoro::Task<> TunnelSession::readOutput()
{
    QPointer<TunnelSession> self(this);
    OutputStream output = m_output;
    while (true) {
        std::optional<StreamedTerminalOutput> chunk = co_await output.next();
        if (!self) {
            co_return;
        }
        if (!chunk) {
            break;
        }
        if (chunk->kind == StreamedTerminalOutput::Kind::standardError) {
            printDiagnostic(QStringLiteral("ERROR: ") + chunk->text);
            continue;
        }
        handleChunk(chunk->text);
        if (m_addressKnown) {
            continue;
        }
        if (std::optional<QUrl> url = detectTunnelURL(chunk->text)) {
            m_announced = true;
            if (m_state == TunnelState::Starting) {
                m_state = m_connections > 0 ? TunnelState::Connected : TunnelState::Announced;
            }
            Q_EMIT addressAnnounced(*url);
            if (!self) {
                co_return;
            }
        }
    }
    finish();
}

void TunnelSession::handleChunk(const QString &text)
{
    if (QString line = lastMeaningfulLine(text); !line.isEmpty()) {
        m_lastLine = std::move(line);
    }
    m_log->append(text);
    const bool wasBlocked = m_diagnosis.quicBlocked();
    m_diagnosis.read(text);
    if (m_diagnosis.quicBlocked() != wasBlocked) {
        Q_EMIT activityChanged();
    }
    // The address is served only while the tool holds a connection to the edge.
    const int before = m_connections;
    m_connections += int(text.count(QStringLiteral("Registered tunnel connection"))) -
                     int(text.count(QStringLiteral("Unregistered tunnel connection")));
    m_connections = std::max(m_connections, 0);
    if (m_connections != before && m_state != TunnelState::Starting) {
        m_state = m_connections > 0 ? TunnelState::Connected : TunnelState::Announced;
        Q_EMIT activityChanged();
    }
}

void TunnelSession::setAddressKnown()
{
    m_addressKnown = true;
    m_announced = true;
    m_state = TunnelState::Announced;
}

void TunnelSession::setProxy(std::unique_ptr<ReverseProxy> proxy)
{
    m_proxy = std::move(proxy);
}

void TunnelSession::finish()
{
    m_over = true;
    m_proxy.reset();
    m_monitor.unwatch(m_checkKey);
    if (m_process->state() == ToolProcess::State::FailedToStart) {
        m_state = TunnelState::FailedToStart;
    } else if (m_process->stopRequested()) {
        m_state = TunnelState::Stopped;
    } else {
        m_state = TunnelState::Ended;
    }
    Q_EMIT activityChanged();
}

void TunnelSession::serve(const QUuid &id)
{
    m_served.append(id);
}

void TunnelSession::release(const QUuid &id, bool byUser)
{
    if (!m_served.contains(id) || m_released.contains(id)) {
        return;
    }
    m_released.insert(id);
    if (byUser) {
        m_stoppedByUser.insert(id);
    }
    if (!servesAny()) {
        stop();
        m_monitor.unwatch(m_checkKey);
    }
}

TunnelActivity TunnelSession::activity(const QUuid &id) const
{
    TunnelActivity activity;
    activity.state = m_stoppedByUser.contains(id) ? TunnelState::Stopped : m_state;
    activity.running = m_process->isRunning() && !m_released.contains(id);
    activity.log = m_log;
    activity.problem = m_diagnosis.explanation();
    activity.quicBlocked = m_diagnosis.quicBlocked() && m_process->isRunning();
    activity.overHttp2 = m_overHttp2;
    activity.connections = m_process->isRunning() ? m_connections : 0;
    activity.throughProxy = m_proxy != nullptr;
    if (m_process->isRunning()) {
        activity.ingressRules = m_ingressRules;
    }
    if (m_process->state() == ToolProcess::State::Exited) {
        activity.exitCode = m_process->exitCode();
        activity.crashed = m_process->crashed();
    }
    return activity;
}

void TunnelSession::stop(std::chrono::milliseconds grace)
{
    m_process->stop(grace);
}

QString TunnelSession::endedWithoutAddressMessage() const
{
    const ToolProcess &process = *m_process;
    if (process.state() == ToolProcess::State::FailedToStart) {
        return process.program().isEmpty()
                   ? process.errorDescription()
                   : tr("Could not start cloudflared: %1").arg(process.errorDescription());
    }
    if (process.stopRequested()) {
        return {};
    }
    if (const QString explanation = m_diagnosis.explanation(); !explanation.isEmpty()) {
        return explanation;
    }
    const QString how =
        process.crashed() ? tr("crashed") : tr("ended with exit code %1").arg(process.exitCode());
    return m_lastLine.isEmpty()
               ? tr("cloudflared %1 without giving an address").arg(how)
               : tr("cloudflared %1 without giving an address: %2").arg(how, m_lastLine);
}

QString TunnelSession::endedMessage() const
{
    QString message =
        m_process->crashed()
            ? tr("The tunnel to %1:%2 ended: cloudflared crashed.").arg(m_hostname, m_port)
            : tr("The tunnel to %1:%2 ended: cloudflared exited with code %3.")
                  .arg(m_hostname, m_port)
                  .arg(m_process->exitCode());
    if (const QString explanation = m_diagnosis.explanation(); !explanation.isEmpty()) {
        message += u' ' + explanation;
    }
    return message;
}

} // namespace Velumo
