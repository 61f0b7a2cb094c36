// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/CloudflareTunnels.h"

#include "core/CloudflareAccount.h"
#include "core/NamedTunnelModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>

namespace Velumo {

namespace {

// The folder for credentials files, readable by the user alone.
bool makeCredentialsFolder()
{
    const QString folder = NamedTunnelModel::credentialsFolder();
    return QDir().mkpath(folder) &&
           QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString createFailure(const CommandResult &result, const QString &name)
{
    const QString said = result.output + result.log;
    if (said.contains(u"tunnel with name already exists")) {
        return CloudflareTunnels::tr("A tunnel named %1 already exists in your Cloudflare account. "
                                     "Choose another name.")
            .arg(name);
    }
    if (said.contains(u"Cannot determine default origin certificate path") ||
        said.contains(u"Error locating origin cert")) {
        return CloudflareTunnels::tr("Sign in to Cloudflare first: cloudflared found no "
                                     "certificate.");
    }
    if (said.contains(u"cannot use UUIDs as tunnel names")) {
        return CloudflareTunnels::tr("A tunnel name cannot be a UUID.");
    }
    if (result.end == CommandResult::End::TimedOut) {
        return CloudflareTunnels::tr("cloudflared got no answer from Cloudflare in time.");
    }
    return CloudflareTunnels::tr("Creating the tunnel failed: %1").arg(result.lastLine());
}

QString routeFailure(const CommandResult &result, const QString &hostname)
{
    const QString said = result.output + result.log;
    if (said.contains(u"code: 1003") || said.contains(u"record with that host already exists")) {
        return CloudflareTunnels::tr("%1 already has a DNS record. Remove it in the Cloudflare "
                                     "dashboard, or choose another hostname.")
            .arg(hostname);
    }
    if (said.contains(u"is not a valid hostname")) {
        return CloudflareTunnels::tr("%1 is not a valid hostname.").arg(hostname);
    }
    return CloudflareTunnels::tr("Routing %1 to the tunnel failed: %2")
        .arg(hostname, result.lastLine());
}

} // namespace

CloudflareTunnels::CloudflareTunnels(NamedTunnelModel &model, std::function<QString()> toolPath,
                                     QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_toolPath(std::move(toolPath))
{}

CloudflareTunnels::~CloudflareTunnels() = default;

QCoro::Task<CommandResult> CloudflareTunnels::command(QStringList arguments)
{
    QPointer<CloudflareTunnels> self(this);
    const QString tool = m_toolPath();
    if (tool.isEmpty()) {
        CommandResult missing;
        missing.end = CommandResult::End::FailedToStart;
        missing.error = cloudflaredNotFound();
        co_return missing;
    }
    ToolRun run = Shell().runCommand(tool, tunnelArguments(arguments));
    m_commands.push_back(run.process);
    connect(run.process.get(), &ToolProcess::ended, this, &CloudflareTunnels::toolEnded);
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

QCoro::Task<CloudflareTunnels::Outcome>
CloudflareTunnels::create(QString name, QString publicHostname, QString hostname, QString port)
{
    QPointer<CloudflareTunnels> self(this);
    NamedTunnel tunnel;
    tunnel.tunnelName = name;
    tunnel.publicHostname = publicHostname;
    tunnel.hostname = hostname;
    tunnel.port = port;
    const QString file = NamedTunnelModel::credentialsFile(tunnel);
    if (!makeCredentialsFolder()) {
        const QString failed =
            tr("Could not make the folder %1.").arg(NamedTunnelModel::credentialsFolder());
        co_return Outcome{false, failed, {}};
    }

    // Tasks are made before co_await: GCC 12 rejects some braced lists inside its operand and
    // may destroy its temporaries twice.
    auto creating = command({QStringLiteral("create"), QStringLiteral("--credentials-file"), file,
                             QStringLiteral("--"), name});
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

    auto routing = command({QStringLiteral("route"), QStringLiteral("dns"), QStringLiteral("--"),
                            tunnel.tunnelId, publicHostname});
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
    m_model.add(tunnel);
    co_return outcome;
}

QCoro::Task<CloudflareTunnels::Outcome> CloudflareTunnels::deleteOnCloudflare(NamedTunnel tunnel)
{
    QPointer<CloudflareTunnels> self(this);
    m_model.stop(tunnel);
    const QStringList steps{QStringLiteral("cleanup"), QStringLiteral("delete")};
    for (const QString &step : steps) {
        QStringList arguments{step};
        if (step == u"delete") {
            arguments << QStringLiteral("--credentials-file")
                      << NamedTunnelModel::credentialsFile(tunnel);
        }
        arguments << QStringLiteral("--") << tunnel.tunnelId;
        auto running = command(arguments);
        const CommandResult result = co_await std::move(running);
        if (!self) {
            co_return Outcome{};
        }
        if (!result.succeeded()) {
            co_return Outcome{false,
                              tr("Deleting the tunnel %1 at Cloudflare failed: %2")
                                  .arg(tunnel.tunnelName, result.reason()),
                              {}};
        }
    }
    QFile::remove(NamedTunnelModel::credentialsFile(tunnel));
    m_model.remove(tunnel);
    co_return Outcome{true,
                      tr("Deleted the tunnel %1 at Cloudflare. Its DNS record for %2 stays: remove "
                         "it in the Cloudflare dashboard.")
                          .arg(tunnel.tunnelName, tunnel.publicHostname),
                      {}};
}

QCoro::Task<CloudflareTunnels::Listing> CloudflareTunnels::list()
{
    QPointer<CloudflareTunnels> self(this);
    auto listing =
        command({QStringLiteral("list"), QStringLiteral("--output"), QStringLiteral("json")});
    const CommandResult result = co_await std::move(listing);
    if (!self) {
        co_return Listing{};
    }
    if (!result.succeeded()) {
        co_return Listing{
            false, tr("Listing the account's tunnels failed: %1").arg(result.reason()), {}};
    }
    // An empty account prints null (newer tools) or [] (older ones).
    if (result.output.trimmed() == u"null") {
        co_return Listing{true, {}, {}};
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(result.output.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        co_return Listing{
            false, tr("cloudflared listed the tunnels in a form Velumo cannot read."), {}};
    }
    Listing found{true, {}, {}};
    for (const QJsonValue &value : document.array()) {
        const QJsonObject object = value.toObject();
        // A tunnel not deleted has Go's zero time there.
        const QString deletedAt = object.value(QStringLiteral("deleted_at")).toString();
        if (!deletedAt.isEmpty() && !deletedAt.startsWith(u"0001-")) {
            continue;
        }
        found.tunnels.append(AccountTunnel{
            object.value(QStringLiteral("id")).toString(),
            object.value(QStringLiteral("name")).toString(),
            QDateTime::fromString(object.value(QStringLiteral("created_at")).toString(),
                                  Qt::ISODateWithMs),
            int(object.value(QStringLiteral("connections")).toArray().size())});
    }
    co_return found;
}

CloudflareTunnels::Outcome CloudflareTunnels::addExisting(const AccountTunnel &tunnel,
                                                          const QString &publicHostname,
                                                          const QString &hostname,
                                                          const QString &port,
                                                          const QString &credentialsFile)
{
    // Where `tunnel create` puts the file by default: beside the certificate.
    const QString source = !credentialsFile.isEmpty()
                               ? credentialsFile
                               : QFileInfo(CloudflareAccount::certificatePath())
                                     .dir()
                                     .filePath(tunnel.id + QStringLiteral(".json"));
    if (!QFileInfo(source).isFile()) {
        return Outcome{false,
                       tr("Velumo has no credentials file for the tunnel %1. Bring it from the "
                          "machine where the tunnel was made (%2.json there), or add the tunnel "
                          "with a token from the Cloudflare dashboard instead.")
                           .arg(tunnel.name, tunnel.id),
                       {}};
    }
    NamedTunnel added;
    added.tunnelId = tunnel.id;
    added.tunnelName = tunnel.name;
    added.publicHostname = publicHostname;
    added.hostname = hostname;
    added.port = port;
    const QString target = NamedTunnelModel::credentialsFile(added);
    if (!makeCredentialsFolder() || !QFile::copy(source, target)) {
        return Outcome{false, tr("Could not copy the credentials file to %1.").arg(target), {}};
    }
    QFile::setPermissions(target, QFile::ReadOwner);
    m_model.add(added);
    return Outcome{true, {}, {}};
}

void CloudflareTunnels::stopAll(std::chrono::milliseconds grace)
{
    for (const auto &running : m_commands) {
        running->stop(grace);
    }
}

int CloudflareTunnels::runningCount() const
{
    return int(std::count_if(m_commands.cbegin(), m_commands.cend(),
                             [](const auto &running) { return running->isRunning(); }));
}

} // namespace Velumo
