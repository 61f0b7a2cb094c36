// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/NamedTunnelModel.h"

#include "core/LocalServiceMonitor.h"
#include "core/ToolCommand.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>

namespace Velumo {

namespace {

const QString noAutoupdate = QStringLiteral("--no-autoupdate");

QString createFailure(const CommandResult &result, const QString &name)
{
    const QString said = result.output + result.log;
    if (said.contains(u"tunnel with name already exists")) {
        return NamedTunnelModel::tr("A tunnel named %1 already exists in your Cloudflare account. "
                                    "Choose another name.")
            .arg(name);
    }
    if (said.contains(u"Cannot determine default origin certificate path") ||
        said.contains(u"Error locating origin cert")) {
        return NamedTunnelModel::tr("Sign in to Cloudflare first: cloudflared found no "
                                    "certificate.");
    }
    if (said.contains(u"cannot use UUIDs as tunnel names")) {
        return NamedTunnelModel::tr("A tunnel name cannot be a UUID.");
    }
    if (result.end == CommandResult::End::TimedOut) {
        return NamedTunnelModel::tr("cloudflared got no answer from Cloudflare in time.");
    }
    return NamedTunnelModel::tr("Creating the tunnel failed: %1").arg(result.lastLine());
}

QString routeFailure(const CommandResult &result, const QString &hostname)
{
    const QString said = result.output + result.log;
    if (said.contains(u"code: 1003") || said.contains(u"record with that host already exists")) {
        return NamedTunnelModel::tr("%1 already has a DNS record. Remove it in the Cloudflare "
                                    "dashboard, or choose another hostname.")
            .arg(hostname);
    }
    if (said.contains(u"is not a valid hostname")) {
        return NamedTunnelModel::tr("%1 is not a valid hostname.").arg(hostname);
    }
    return NamedTunnelModel::tr("Routing %1 to the tunnel failed: %2")
        .arg(hostname, result.lastLine());
}

} // namespace

NamedTunnelModel::NamedTunnelModel(NamedTunnelStore store, LocalServiceMonitor &monitor,
                                   std::function<QString()> toolPath, QObject *parent)
    : QObject(parent)
    , m_store(std::move(store))
    , m_monitor(monitor)
    , m_toolPath(std::move(toolPath))
    , m_account(m_toolPath)
{
    connect(&m_account, &CloudflareAccount::message, this, &NamedTunnelModel::message);
    connect(&m_account, &CloudflareAccount::toolEnded, this, &NamedTunnelModel::toolEnded);
}

NamedTunnelModel::~NamedTunnelModel() = default;

QString NamedTunnelModel::credentialsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velumo/credentials");
}

QString NamedTunnelModel::credentialsFile(const NamedTunnel &tunnel)
{
    return credentialsFolder() + u'/' + tunnel.id.toString(QUuid::WithoutBraces) +
           QStringLiteral(".json");
}

void NamedTunnelModel::load()
{
    QString problem;
    if (std::optional<NamedTunnelList> stored = m_store.load(&problem)) {
        m_tunnels = std::move(*stored);
        Q_EMIT tunnelsChanged();
    }
    if (!problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

void NamedTunnelModel::save()
{
    if (const QString problem = m_store.save(m_tunnels); !problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

QCoro::Task<CommandResult> NamedTunnelModel::command(QStringList arguments)
{
    QPointer<NamedTunnelModel> self(this);
    const QString tool = m_toolPath();
    if (tool.isEmpty()) {
        CommandResult missing;
        missing.end = CommandResult::End::FailedToStart;
        missing.error = tr("cloudflared was not found (looked in %1)")
                            .arg(cloudflaredSearchPlaces().join(QStringLiteral(", ")));
        co_return missing;
    }
    arguments.prepend(noAutoupdate);
    arguments.prepend(QStringLiteral("tunnel"));
    ToolRun run = Shell().runCommand(tool, arguments);
    m_commands.push_back(run.process);
    connect(run.process.get(), &ToolProcess::ended, this, &NamedTunnelModel::toolEnded);
    const std::weak_ptr<ToolProcess> process = run.process;
    // The awaited task is made first: GCC 12 may destroy temporaries of a co_await's operand
    // twice.
    auto finished = finishCommand(run.output, process, commandTimeout);
    CommandResult result = co_await std::move(finished);
    if (self) {
        std::erase_if(m_commands, [&](const auto &running) { return running == process.lock(); });
    }
    co_return result;
}

QCoro::Task<NamedTunnelModel::Outcome> NamedTunnelModel::create(QString name,
                                                                QString publicHostname,
                                                                QString hostname, QString port)
{
    QPointer<NamedTunnelModel> self(this);
    NamedTunnel tunnel;
    tunnel.tunnelName = name;
    tunnel.publicHostname = publicHostname;
    tunnel.hostname = hostname;
    tunnel.port = port;
    const QString file = credentialsFile(tunnel);
    if (!QDir().mkpath(credentialsFolder()) ||
        !QFile::setPermissions(credentialsFolder(),
                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        const QString failed = tr("Could not make the folder %1.").arg(credentialsFolder());
        co_return Outcome{false, failed, {}};
    }

    // Tasks are made before co_await: GCC 12 rejects some braced lists inside its operand and
    // may destroy its temporaries twice.
    auto creating = command({QStringLiteral("create"), QStringLiteral("--credentials-file"), file, name});
    CommandResult created = co_await std::move(creating);
    if (!self) {
        co_return Outcome{};
    }
    static const QRegularExpression createdLine(
        QStringLiteral("Created tunnel (.+) with id ([0-9a-fA-F-]{36})"));
    const QRegularExpressionMatch match = createdLine.match(created.output);
    if (!created.succeeded() || !match.hasMatch()) {
        co_return Outcome{false,
                          created.end == CommandResult::End::FailedToStart
                              ? created.error
                              : createFailure(created, name),
                          {}};
    }
    tunnel.tunnelId = match.captured(2).toLower();
    // The credentials are the tunnel's secret; older tools write them 0600.
    QFile::setPermissions(file, QFile::ReadOwner);

    auto routing = command({QStringLiteral("route"), QStringLiteral("dns"), tunnel.tunnelId,
                            publicHostname});
    CommandResult routed = co_await std::move(routing);
    if (!self) {
        co_return Outcome{};
    }
    if (!routed.succeeded()) {
        co_return Outcome{false, routeFailure(routed, publicHostname), tunnel};
    }
    Outcome outcome{true, {}, {}};
    // Outside the signed-in zone the tool appends the zone and routes that name instead.
    static const QRegularExpression routedLine(QStringLiteral(
        "(?:Added CNAME (\\S+) which will route|(\\S+) is already configured to route|(\\S+) "
        "updated to route)"));
    const QRegularExpressionMatch route = routedLine.match(routed.log + routed.output);
    const QString actual = route.captured(1) + route.captured(2) + route.captured(3);
    if (!actual.isEmpty() && actual.compare(publicHostname, Qt::CaseInsensitive) != 0) {
        tunnel.publicHostname = actual;
        outcome.message = tr("Cloudflare routed %1, not %2: a public hostname must be on the "
                             "domain chosen when signing in.")
                              .arg(actual, publicHostname);
    }
    m_tunnels.prepend(tunnel);
    save();
    Q_EMIT tunnelsChanged();
    start(tunnel);
    co_return outcome;
}

QCoro::Task<NamedTunnelModel::Outcome> NamedTunnelModel::deleteOnCloudflare(NamedTunnel tunnel)
{
    QPointer<NamedTunnelModel> self(this);
    stop(tunnel);
    const QStringList steps{QStringLiteral("cleanup"), QStringLiteral("delete")};
    for (const QString &step : steps) {
        QStringList arguments{step};
        if (step == u"delete") {
            arguments << QStringLiteral("--credentials-file") << credentialsFile(tunnel);
        }
        arguments << tunnel.tunnelId;
        auto running = command(arguments);
        const CommandResult result = co_await std::move(running);
        if (!self) {
            co_return Outcome{};
        }
        if (!result.succeeded()) {
            co_return Outcome{false,
                              tr("Deleting the tunnel %1 at Cloudflare failed: %2")
                                  .arg(tunnel.tunnelName,
                                       result.end == CommandResult::End::FailedToStart
                                           ? result.error
                                           : result.lastLine()),
                              {}};
        }
    }
    QFile::remove(credentialsFile(tunnel));
    remove(tunnel);
    co_return Outcome{true,
                      tr("Deleted the tunnel %1 at Cloudflare. Its DNS record for %2 stays: remove "
                         "it in the Cloudflare dashboard.")
                          .arg(tunnel.tunnelName, tunnel.publicHostname),
                      {}};
}

void NamedTunnelModel::remove(const NamedTunnel &tunnel)
{
    const QUuid id = tunnel.id;
    stop(tunnel);
    if (m_tunnels.removeIf([&](const NamedTunnel &listed) { return listed.id == id; }) > 0) {
        save();
        Q_EMIT tunnelsChanged();
    }
}

TunnelSession *NamedTunnelModel::sessionOf(const QUuid &id) const
{
    for (auto it = m_sessions.crbegin(); it != m_sessions.crend(); ++it) {
        if ((*it)->hasServed(id)) {
            return it->get();
        }
    }
    return nullptr;
}

void NamedTunnelModel::start(const NamedTunnel &tunnel)
{
    stop(tunnel);
    const QString tool = m_toolPath();
    const QStringList arguments{QStringLiteral("tunnel"), noAutoupdate,
                                QStringLiteral("run"), QStringLiteral("--url"),
                                tunnel.hostname + u':' + tunnel.port,
                                QStringLiteral("--credentials-file"), credentialsFile(tunnel),
                                tunnel.tunnelId};
    Shell shell;
    ToolRun run = tool.isEmpty()
                      ? shell.unavailable(tr("cloudflared was not found (looked in %1)")
                                              .arg(cloudflaredSearchPlaces().join(
                                                  QStringLiteral(", "))),
                                          arguments)
                      : shell.run(tool, arguments);
    auto owned = std::make_unique<TunnelSession>(std::move(run), tunnel.hostname, tunnel.port,
                                                 false, m_monitor);
    TunnelSession *session = owned.get();
    session->setAddressKnown();
    session->serve(tunnel.id);
    // Older runs of this tunnel that are over are of no more use.
    std::erase_if(m_sessions, [&](const auto &earlier) {
        return earlier->isOver() && earlier->hasServed(tunnel.id);
    });
    m_sessions.push_back(std::move(owned));
    const QUuid id = tunnel.id;
    connect(&session->process(), &ToolProcess::ended, this, &NamedTunnelModel::toolEnded);
    connect(session, &TunnelSession::activityChanged, this,
            [this, id] { Q_EMIT activityChanged(id); });
    connect(session, &TunnelSession::serviceListeningChanged, this,
            [this, id] { Q_EMIT serviceListeningChanged(id); });
    session->readOutput();
    Q_EMIT activityChanged(id);
}

void NamedTunnelModel::stop(const NamedTunnel &tunnel)
{
    if (TunnelSession *session = sessionOf(tunnel.id); session && !session->isOver()) {
        session->release(tunnel.id, true);
        Q_EMIT activityChanged(tunnel.id);
    }
}

TunnelActivity NamedTunnelModel::activity(const QUuid &id) const
{
    const TunnelSession *session = sessionOf(id);
    return session ? session->activity(id) : TunnelActivity();
}

std::optional<bool> NamedTunnelModel::serviceListening(const QUuid &id) const
{
    const TunnelSession *session = sessionOf(id);
    return session && session->activity(id).running ? session->serviceListening() : std::nullopt;
}

void NamedTunnelModel::stopAll(std::chrono::milliseconds grace)
{
    for (const auto &session : m_sessions) {
        session->stop(grace);
    }
    for (const auto &running : m_commands) {
        running->stop(grace);
    }
    m_account.stop(grace);
}

int NamedTunnelModel::runningToolCount() const
{
    int count = int(std::count_if(m_sessions.cbegin(), m_sessions.cend(),
                                  [](const auto &session) { return session->process().isRunning(); }));
    count += int(std::count_if(m_commands.cbegin(), m_commands.cend(),
                               [](const auto &running) { return running->isRunning(); }));
    return count + (m_account.isRunning() ? 1 : 0);
}

} // namespace Velumo
