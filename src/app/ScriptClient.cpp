// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/ScriptClient.h"

#include "app/CommandLine.h"
#include "velumo1interface.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

const QString appId = u"org.velumo.Velumo"_s;
const QString objectPath = u"/org/velumo/Velumo"_s;

// Runs the event loop until `done` says so or the time is up; false on time up.
template <typename Signal, typename Sender>
bool waitFor(Sender *sender, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, [&loop] { loop.exit(1); });
    QObject::connect(sender, signal, &loop, [&loop] { loop.exit(0); });
    return loop.exec() == 0;
}

bool sameAddress(const QString &listed, const QString &target)
{
    const QUrl a(listed);
    const QUrl b(target.contains(u"://"_s) ? target : u"https://"_s + target);
    return !listed.isEmpty() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           a.scheme() == b.scheme();
}

} // namespace

ScriptClient::ScriptClient()
    : m_bus(QDBusConnection::sessionBus())
{
    qDBusRegisterMetaType<QVariantMapList>();
}

ScriptClient::~ScriptClient() = default;

std::optional<ScriptClient::Failure> ScriptClient::connect()
{
    using namespace CommandLine;
    if (!m_bus.isConnected()) {
        return Failure{NoVelumo, u"No session bus: Velumo cannot be reached from here."_s};
    }
    if (!m_bus.interface()->isServiceRegistered(appId)) {
        QDBusServiceWatcher watcher(appId, m_bus, QDBusServiceWatcher::WatchForRegistration);
        if (!QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                     {u"--background"_s})) {
            return Failure{NoVelumo, u"Velumo could not be started in the background."_s};
        }
        // The name may have come between the check and the watch.
        if (!m_bus.interface()->isServiceRegistered(appId) &&
            !waitFor(&watcher, &QDBusServiceWatcher::serviceRegistered, startTimeoutMs)) {
            return Failure{NoVelumo, u"Velumo was started but did not answer within 10 s."_s};
        }
    }
    m_velumo = std::make_unique<OrgVelumoVelumo1Interface>(appId, objectPath, m_bus);
    return std::nullopt;
}

ScriptClient::Shared ScriptClient::share(const QString &hostname, const QString &port,
                                         const QVariantMap &options, int timeoutSeconds)
{
    // Listening before asking: the address may come before the answer to Share.
    QHash<QString, QString> ready;
    QHash<QString, QString> failed;
    QEventLoop loop;
    QObject::connect(m_velumo.get(), &OrgVelumoVelumo1Interface::TunnelReady, &loop,
                     [&](const QString &id, const QString &address) {
                         ready.insert(id, address);
                         loop.exit(0);
                     });
    QObject::connect(m_velumo.get(), &OrgVelumoVelumo1Interface::TunnelFailed, &loop,
                     [&](const QString &id, const QString &reason) {
                         failed.insert(id, reason);
                         loop.exit(0);
                     });
    QDBusPendingReply<QString> reply = m_velumo->Share(hostname, port, options);
    reply.waitForFinished();
    if (reply.isError()) {
        return {{}, {}, failureOf(reply.error())};
    }
    const QString id = reply.value();
    QTimer::singleShot(timeoutSeconds * 1000, &loop, [&loop] { loop.exit(1); });
    while (!ready.contains(id) && !failed.contains(id)) {
        if (loop.exec() != 0) {
            return {id, {}, Failure{CommandLine::ToolFailed,
                                    u"The tunnel was not ready within %1 s."_s.arg(timeoutSeconds)}};
        }
    }
    if (failed.contains(id)) {
        return {id, {}, Failure{CommandLine::ToolFailed, failed.value(id)}};
    }
    return {id, ready.value(id), std::nullopt};
}

ScriptClient::Secret ScriptClient::password(const QString &id)
{
    QDBusPendingReply<QString, QString> reply = m_velumo->Password(id);
    reply.waitForFinished();
    if (reply.isError()) {
        return {{}, {}, failureOf(reply.error())};
    }
    return {reply.argumentAt<0>(), reply.argumentAt<1>(), std::nullopt};
}

ScriptClient::Listed ScriptClient::list()
{
    QDBusPendingReply<QVariantMapList> reply = m_velumo->List();
    reply.waitForFinished();
    if (reply.isError()) {
        return {{}, failureOf(reply.error())};
    }
    return {reply.value(), std::nullopt};
}

std::optional<ScriptClient::Failure> ScriptClient::act(const QString &command,
                                                       const QString &target)
{
    const Listed listed = list();
    if (listed.failure) {
        return listed.failure;
    }
    QStringList matches;
    for (const QVariantMap &tunnel : listed.tunnels) {
        const QString id = tunnel.value(u"id"_s).toString();
        const QString hostAndPort =
            tunnel.value(u"hostname"_s).toString() + u':' + tunnel.value(u"port"_s).toString();
        if (id == target || hostAndPort == target ||
            sameAddress(tunnel.value(u"address"_s).toString(), target)) {
            matches.append(id);
        }
    }
    if (matches.isEmpty()) {
        return Failure{CommandLine::NotFound, u"No listed tunnel is \"%1\"."_s.arg(target)};
    }
    if (matches.size() > 1) {
        return Failure{CommandLine::UsageError,
                       u"\"%1\" names several tunnels; give one of their ids:\n  %2"_s.arg(
                           target, matches.join(u"\n  "_s))};
    }
    QDBusPendingReply<> reply = command == u"start"  ? m_velumo->Start(matches.first())
                                : command == u"stop" ? m_velumo->Stop(matches.first())
                                                     : m_velumo->Delete(matches.first());
    reply.waitForFinished();
    if (reply.isError()) {
        return failureOf(reply.error());
    }
    return std::nullopt;
}

ScriptClient::Failure ScriptClient::failureOf(const QDBusError &error) const
{
    using namespace CommandLine;
    const QString name = error.name();
    const QString prefix = u"org.velumo.Velumo1.Error."_s;
    const int exit = name == prefix + u"NotFound"_s          ? NotFound
                     : name == prefix + u"InvalidArgument"_s ? UsageError
                     : name == prefix + u"ToolMissing"_s     ? NoTool
                     : name == prefix + u"Refused"_s         ? ToolFailed
                                                            : NoVelumo;
    return {exit, error.message()};
}

} // namespace Velumo
