// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "FuzzCheck.h"
#include "proxy/PasswordGate.h"
#include "proxy/ProxyServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <cstddef>
#include <cstdint>
#include <cstdio>

using namespace Velumo;

// A visitor's bytes through a proxy in front of a service that answers with the bytes after
// the first "\xff\xfe" of the input and then closes. "CANARY" in the input stands for the
// address of a second service, which no input may make the proxy reach. Whatever the bytes:
// no crash and no Qt warning; one connection to the service at most; what the visitor gets is
// the service's answer unchanged, possibly ended by a page of the proxy's own; and once the
// visitor is gone, the proxy holds no connection.
//
// The same bytes then go through a second proxy with a password gate ("secret"); in the input
// "KEY" stands for its link's key and "TOKEN" for the cookie that the link hands out. Unless
// the input carries one of those or the password in Basic form, nothing may reach the service.

namespace {

const QByteArray password = "secret";

quint16 listening(QTcpServer &server)
{
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

struct Harness {
    Harness()
        : proxy(ProxyTarget{QStringLiteral("127.0.0.1"), listening(service)}, timeouts)
        , gated(proxy.target(), timeouts)
        , gate(std::make_shared<PasswordGate>(QString::fromLatin1(password)))
    {
        listening(canary);
        proxy.start();
        gated.setGate(gate);
        gated.start();
        QObject::connect(&service, &QTcpServer::newConnection, &service, [this] {
            while (QTcpSocket *socket = service.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray bytes = socket->readAll();
                    // Counted at its first bytes, so that the proxy's TLS probe after a close
                    // without answer is told apart: never a request (the proxy forwards only
                    // what parses as HTTP), so not the visitor's connection.
                    if (bytes.startsWith("\x16\x03")) {
                        socket->abort();
                        return;
                    }
                    if (!socket->property("counted").toBool()) {
                        socket->setProperty("counted", true);
                        ++serviceConnections;
                    }
                    received += bytes.size();
                    atService += bytes;
                    if (socket->state() == QAbstractSocket::ConnectedState) {
                        socket->write(reply);
                        socket->disconnectFromHost();
                    }
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        const QUrlQuery query(gate->linkWithKey(QUrl(QStringLiteral("https://h"))));
        key = query.queryItemValue(QStringLiteral("velumo_key")).toLatin1();
        const QByteArray redirect =
            visit(gated, QByteArray("GET /?velumo_key=" + key + " HTTP/1.1\r\n\r\n"), 2000);
        const qsizetype at = redirect.indexOf("__Host-velumo=") + 14;
        token = redirect.mid(at, redirect.indexOf(';', at) - at);
        Fuzzing::check(token.size() > 20, "a link with key hands out a cookie");
    }

    // Runs the event loop until `done` holds, or until nothing has moved for a few turns
    // when `done` is not given; false when the deadline passes first.
    template <typename Done> bool runUntil(Done done, int deadlineMs)
    {
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.start(deadlineMs);
        while (!done() && deadline.isActive()) {
            QTimer tick;
            tick.start(1);
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return done();
    }

    // Sends `request` to `through` and returns what came back, once the proxy closed the
    // connection or nothing moved for a while; then the visitor leaves, and the proxy must
    // let go of the connection.
    QByteArray visit(ProxyServer &through, QByteArrayView request, int quietMs = 5)
    {
        serviceConnections = 0;
        atService.clear();
        QTcpSocket visitor;
        QByteArray got;
        QObject::connect(&visitor, &QTcpSocket::readyRead, &visitor,
                         [&] { got += visitor.readAll(); });
        visitor.connectToHost(QHostAddress::LocalHost, through.port());
        visitor.write(request.data(), request.size());
        qint64 moved = -1;
        QElapsedTimer quiet;
        runUntil(
            [&] {
                const qint64 now = got.size() + received + serviceConnections;
                if (now != moved) {
                    moved = now;
                    quiet.start();
                }
                return visitor.state() == QAbstractSocket::UnconnectedState ||
                       quiet.elapsed() > quietMs;
            },
            5000);
        if (qEnvironmentVariableIsSet("VELUMO_FUZZ_TRACE")) {
            std::fprintf(stderr, "got %s\n", QByteArray(got).replace("\r\n", "|").constData());
        }
        visitor.abort();
        Fuzzing::check(runUntil([&] { return through.connectionCount() == 0; }, 5000),
                       "the proxy lets go of a connection once its visitor has gone");
        Fuzzing::check(!canary.hasPendingConnections(), "nothing reaches another service");
        Fuzzing::check(serviceConnections <= 1, "one connection to the service per visitor");
        return got;
    }

    // Whether the input carries something the gate takes: the key, the cookie's token, or the
    // password after a colon in base64 (the gate decodes only whole runs of base64).
    bool hasCredential(const QByteArray &input) const
    {
        if (input.contains(key) || input.contains(token)) {
            return true;
        }
        static const QRegularExpression base64(QStringLiteral("[A-Za-z0-9+/=]+"));
        const QString text = QString::fromLatin1(input);
        for (const QRegularExpressionMatch &run : base64.globalMatch(text)) {
            if (QByteArray::fromBase64(run.captured().toLatin1())
                    .contains(QByteArray(':' + password))) {
                return true;
            }
        }
        return false;
    }

    ProxyTimeouts timeouts{std::chrono::milliseconds(50), std::chrono::milliseconds(1000)};
    QTcpServer service;
    QTcpServer canary;
    ProxyServer proxy;
    ProxyServer gated;
    std::shared_ptr<PasswordGate> gate;
    QByteArray key;
    QByteArray token;
    QByteArray reply;
    QByteArray atService;
    int serviceConnections = 0;
    qint64 received = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_proxy_request";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            Fuzzing::check(type == QtDebugMsg || type == QtInfoMsg, qPrintable(text));
        });
    Q_UNUSED(previous);
    static Harness harness;

    QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    input.replace("CANARY",
                  QByteArray("127.0.0.1:" + QByteArray::number(harness.canary.serverPort())));
    input.replace("KEY", harness.key).replace("TOKEN", harness.token);
    const qsizetype split = input.indexOf("\xff\xfe");
    harness.reply = split < 0 ? QByteArray() : input.mid(split + 2);
    const QByteArray request = split < 0 ? input : input.first(split);

    QByteArray got = harness.visit(harness.proxy, request);
    // A page of the proxy's own (without its body after a HEAD) may only end what it got.
    const QByteArray ownHead = "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (const qsizetype own = got.lastIndexOf(ownHead); own >= 0) {
        const qsizetype body = own + ownHead.size();
        if (body == got.size() || got.endsWith("service.</p></body></html>\n")) {
            got.truncate(got.lastIndexOf("HTTP/1.1 ", own));
        }
    }
    Fuzzing::check(harness.reply.startsWith(got),
                   "the service's answer reaches the visitor unchanged");

    harness.visit(harness.gated, request);
    if (!harness.hasCredential(request)) {
        Fuzzing::check(harness.atService.isEmpty(),
                       "with a gate on, no request without credentials reaches the service");
    }
    return 0;
}
