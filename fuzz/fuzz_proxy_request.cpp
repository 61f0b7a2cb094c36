// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "FuzzCheck.h"
#include "proxy/ProxyServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

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

namespace {

quint16 listening(QTcpServer &server)
{
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

struct Harness {
    Harness()
        : proxy(ProxyTarget{QStringLiteral("127.0.0.1"), listening(service)},
                ProxyTimeouts{std::chrono::milliseconds(50), std::chrono::milliseconds(1000)})
    {
        listening(canary);
        proxy.start();
        QObject::connect(&service, &QTcpServer::newConnection, &service, [this] {
            while (QTcpSocket *socket = service.nextPendingConnection()) {
                ++serviceConnections;
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    received += socket->readAll().size();
                    if (socket->state() == QAbstractSocket::ConnectedState) {
                        socket->write(reply);
                        socket->disconnectFromHost();
                    }
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
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

    QTcpServer service;
    QTcpServer canary;
    ProxyServer proxy;
    QByteArray reply;
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
    const qsizetype split = input.indexOf("\xff\xfe");
    harness.reply = split < 0 ? QByteArray() : input.mid(split + 2);
    harness.serviceConnections = 0;

    QTcpSocket visitor;
    QByteArray got;
    QObject::connect(&visitor, &QTcpSocket::readyRead, &visitor, [&] { got += visitor.readAll(); });
    visitor.connectToHost(QHostAddress::LocalHost, harness.proxy.port());
    visitor.write(split < 0 ? input : input.first(split));
    // Until the proxy closes the visitor's connection, or nothing moves any more (a request
    // left unfinished); then the visitor leaves.
    qint64 moved = -1;
    QElapsedTimer quiet;
    harness.runUntil(
        [&] {
            const qint64 now = got.size() + harness.received + harness.serviceConnections;
            if (now != moved) {
                moved = now;
                quiet.start();
            }
            return visitor.state() == QAbstractSocket::UnconnectedState || quiet.elapsed() > 5;
        },
        5000);
    if (qEnvironmentVariableIsSet("VELUMO_FUZZ_TRACE")) {
        std::fprintf(stderr, "got %s\n", QByteArray(got).replace("\r\n", "|").constData());
    }
    visitor.abort();
    Fuzzing::check(harness.runUntil([] { return harness.proxy.connectionCount() == 0; }, 5000),
                   "the proxy lets go of a connection once its visitor has gone");
    Fuzzing::check(!harness.canary.hasPendingConnections(), "nothing reaches another service");
    Fuzzing::check(harness.serviceConnections <= 1, "one connection to the service per visitor");

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
    return 0;
}
