// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "app/CommandLine.h"

#include "app/ScriptClient.h"
#include "core/PortNumber.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstring>

using namespace Qt::StringLiterals;

namespace Velumo::CommandLine {

namespace {

const QStringList commands{u"share"_s, u"list"_s, u"start"_s, u"stop"_s, u"delete"_s};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int fail(int code, const QString &message)
{
    err() << "velumo: " << message << Qt::endl;
    return code;
}

QString summary()
{
    return QCoreApplication::translate(
        "CommandLine",
        "Makes local services reachable from the internet through temporary public tunnels.\n"
        "Without a command, opens the window.\n\n"
        "Commands (each has --help):\n"
        "  share [HOSTNAME:]PORT   share a local service; prints its public address\n"
        "  list                    the listed tunnels\n"
        "  start TUNNEL            start a listed tunnel\n"
        "  stop TUNNEL             stop a listed tunnel\n"
        "  delete TUNNEL           remove a tunnel from the list\n"
        "TUNNEL is an id, a public address or HOSTNAME:PORT.\n\n"
        "Exit status: 0 done, 2 usage error, 3 no cloudflared, 4 the tool failed,\n"
        "5 no running Velumo could be reached or started, 6 not found.");
}

int share(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Shares a local service through a new quick tunnel and prints its public address once "
        "it is ready."_s);
    parser.addHelpOption();
    parser.addPositionalArgument(u"share"_s, QString(), u"share"_s);
    const QCommandLineOption inspect(u"inspect"_s, u"Show the tunnel's requests in Velumo."_s);
    const QCommandLineOption password(u"password"_s,
                                      u"Visitors need a generated password."_s);
    const QCommandLineOption hostHeader(u"host-header"_s,
                                        u"Send the service Host as HOSTNAME:PORT, as development "
                                        "servers expect."_s);
    const QCommandLineOption json(u"json"_s, u"Print the result as JSON."_s);
    const QCommandLineOption timeout(u"timeout"_s,
                                     u"Give up when the tunnel is not ready after SECONDS "
                                     "(default 60)."_s,
                                     u"SECONDS"_s, u"60"_s);
    parser.addOptions({inspect, password, hostHeader, json, timeout});
    parser.addPositionalArgument(u"[HOSTNAME:]PORT"_s, u"The local service, localhost when no "
                                                        "hostname is given."_s);
    parser.process(arguments);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        return fail(UsageError, u"share needs one [HOSTNAME:]PORT."_s);
    }
    const QString target = positional.at(1);
    const qsizetype colon = target.lastIndexOf(u':');
    const QString hostname = colon < 0 ? u"localhost"_s : target.left(colon);
    const QString port = target.mid(colon + 1);
    bool secondsOk = false;
    const int seconds = parser.value(timeout).toInt(&secondsOk);
    if (hostname.isEmpty() || !parsePort(port) || !secondsOk || seconds <= 0) {
        return fail(UsageError, u"\"%1\" is not [HOSTNAME:]PORT with a port from 1 to 65535, "
                                "or the timeout is not a number of seconds."_s.arg(target));
    }

    ScriptClient client;
    if (const auto failure = client.connect()) {
        return fail(failure->exit, failure->message);
    }
    const QVariantMap options{{u"inspect"_s, parser.isSet(inspect)},
                              {u"password"_s, parser.isSet(password)},
                              {u"hostHeader"_s, parser.isSet(hostHeader)}};
    const ScriptClient::Shared shared = client.share(hostname, port, options, seconds);
    if (shared.failure) {
        return fail(shared.failure->exit, shared.failure->message);
    }
    QJsonObject result{{u"id"_s, shared.id}, {u"address"_s, shared.address}};
    if (parser.isSet(password)) {
        const ScriptClient::Secret secret = client.password(shared.id);
        if (secret.failure) {
            return fail(secret.failure->exit, secret.failure->message);
        }
        result.insert(u"password"_s, secret.password);
        result.insert(u"linkWithKey"_s, secret.linkWithKey);
    }
    if (parser.isSet(json)) {
        out() << QJsonDocument(result).toJson(QJsonDocument::Compact) << Qt::endl;
    } else {
        out() << shared.address << Qt::endl;
        if (parser.isSet(password)) {
            out() << "password: " << result.value(u"password"_s).toString() << Qt::endl
                  << "link with key: " << result.value(u"linkWithKey"_s).toString() << Qt::endl;
        }
    }
    return Done;
}

int list(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Lists the tunnels of the running Velumo."_s);
    parser.addHelpOption();
    parser.addPositionalArgument(u"list"_s, QString(), u"list"_s);
    const QCommandLineOption json(u"json"_s, u"Print a JSON array of the tunnels."_s);
    parser.addOption(json);
    parser.process(arguments);
    if (parser.positionalArguments().size() != 1) {
        return fail(UsageError, u"list takes no arguments."_s);
    }
    ScriptClient client;
    if (const auto failure = client.connect()) {
        return fail(failure->exit, failure->message);
    }
    const ScriptClient::Listed listed = client.list();
    if (listed.failure) {
        return fail(listed.failure->exit, listed.failure->message);
    }
    const QVariantMapList &tunnels = listed.tunnels;
    if (parser.isSet(json)) {
        QJsonArray array;
        for (const QVariantMap &tunnel : tunnels) {
            array.append(QJsonObject::fromVariantMap(tunnel));
        }
        out() << QJsonDocument(array).toJson(QJsonDocument::Compact) << Qt::endl;
        return Done;
    }
    for (const QVariantMap &tunnel : tunnels) {
        out() << tunnel.value(u"id"_s).toString() << '\t'
              << tunnel.value(u"state"_s).toString().leftJustified(9) << '\t'
              << tunnel.value(u"hostname"_s).toString() << ':' << tunnel.value(u"port"_s).toString()
              << '\t' << tunnel.value(u"address"_s).toString() << Qt::endl;
    }
    return Done;
}

int act(const QString &command, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(command == u"start"  ? u"Starts a listed tunnel."_s
                                     : command == u"stop" ? u"Stops a listed tunnel."_s
                                                          : u"Removes a tunnel from the list "
                                                            "(a named tunnel stays at "
                                                            "Cloudflare)."_s);
    parser.addHelpOption();
    parser.addPositionalArgument(command, QString(), command);
    parser.addPositionalArgument(u"TUNNEL"_s, u"An id, a public address or HOSTNAME:PORT."_s);
    parser.process(arguments);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        return fail(UsageError, u"%1 needs one TUNNEL: an id, an address or HOSTNAME:PORT."_s
                                    .arg(command));
    }
    ScriptClient client;
    if (const auto failure = client.connect()) {
        return fail(failure->exit, failure->message);
    }
    if (const auto failure = client.act(command, positional.at(1))) {
        return fail(failure->exit, failure->message);
    }
    return Done;
}

} // namespace

bool isCommand(int argc, char **argv)
{
    // A first word that is not an option is a command, known or not: a mistyped one must
    // not open the window.
    if (argc > 1 && argv[1][0] != '-') {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--help", "-h", "--help-all", "--version", "-v"}) {
            if (std::strcmp(argv[i], option) == 0) {
                return true;
            }
        }
    }
    return false;
}

bool wantsBackground(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--background") == 0) {
            return true;
        }
    }
    return false;
}

int run(int argc, char **argv)
{
    // No QApplication: commands work over ssh, without a display.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"velumo"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(VELUMO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(summary());
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({u"background"_s, u"Start with the tray icon and no window."_s});
    parser.addPositionalArgument(u"command"_s, u"share, list, start, stop or delete."_s);
    parser.parse(QCoreApplication::arguments());
    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (command.isEmpty()) {
        parser.process(QCoreApplication::arguments()); // --help, --version or an error
        return Done;
    }
    if (!commands.contains(command)) {
        return fail(UsageError, u"\"%1\" is not a command; see velumo --help."_s.arg(command));
    }
    if (command == u"share") {
        return share(QCoreApplication::arguments());
    }
    if (command == u"list") {
        return list(QCoreApplication::arguments());
    }
    return act(command, QCoreApplication::arguments());
}

} // namespace Velumo::CommandLine
