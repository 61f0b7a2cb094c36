// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "desktop/SingleInstance.h"

#include "desktop/Logging.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThreadPool>
#include <QVariantMap>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace Velumo {

namespace {

// Long enough for a busy first copy to answer, short enough that a hung one does not look like
// a start that never happens.
constexpr int requestTimeoutMs = 3000;
constexpr qint64 maxRequestLength = 1024;

const QString tokenKey = QStringLiteral("activation-token");
const QString startupIdKey = QStringLiteral("desktop-startup-id");
const QByteArray activateRequest = QByteArrayLiteral("activate");

// A token never holds white space; one that does would break the line protocol.
QString launcherVariable(const char *name)
{
    const QString value = qEnvironmentVariable(name);
    for (const QChar c : value) {
        if (c.isSpace() || c.category() == QChar::Other_Control) {
            return {};
        }
    }
    return value;
}

QString launcherToken()
{
    const QString token = launcherVariable("XDG_ACTIVATION_TOKEN");
    return token.isEmpty() ? launcherVariable("DESKTOP_STARTUP_ID") : token;
}

QString tokenFrom(const QVariantMap &platformData)
{
    const QString token = platformData.value(tokenKey).toString();
    return token.isEmpty() ? platformData.value(startupIdKey).toString() : token;
}

} // namespace

// org.freedesktop.Application, as the desktop and a second copy call it.
class ApplicationAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
    Q_DISABLE_COPY_MOVE(ApplicationAdaptor)

public:
    ApplicationAdaptor(SingleInstance *instance, QObject *exported)
        : QDBusAbstractAdaptor(exported)
        , m_instance(instance)
    {}

public Q_SLOTS:
    void Activate(const QVariantMap &platformData)
    {
        Q_EMIT m_instance->activated(tokenFrom(platformData));
    }

    // We open no documents; being asked to still means the user wants the window.
    void Open(const QStringList &uris, const QVariantMap &platformData)
    {
        Q_UNUSED(uris)
        Q_EMIT m_instance->activated(tokenFrom(platformData));
    }

    // We export no actions, so there is nothing to run.
    void ActivateAction(const QString &name, const QVariantList &parameter,
                        const QVariantMap &platformData)
    {
        Q_UNUSED(name)
        Q_UNUSED(parameter)
        Q_UNUSED(platformData)
    }

private:
    SingleInstance *m_instance;
};

SingleInstance::SingleInstance(const QString &appId, Transport transport, QObject *parent)
    : QObject(parent)
    , m_appId(appId)
    , m_transport(transport)
{}

SingleInstance::~SingleInstance()
{
    if (m_ownsBusName) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(objectPath());
        bus.unregisterService(m_appId);
    }
}

bool SingleInstance::sessionBusAvailable()
{
    return QDBusConnection::sessionBus().isConnected();
}

void SingleInstance::connectInBackground()
{
    QThreadPool::globalInstance()->start([] { QDBusConnection::sessionBus(); });
}

void SingleInstance::beginClaim()
{
    if (m_ownsBusName || m_server || m_request || m_transport != Transport::Automatic ||
        !sessionBusAvailable()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The object comes first, so a copy that sees the name can already call it.
    QObject *exported = m_exported ? m_exported.data() : this;
    new ApplicationAdaptor(this, exported);
    if (!bus.registerObject(objectPath(), exported, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcDesktop, "SingleInstance: cannot export %s", qPrintable(objectPath()));
        return;
    }
    // Not queued, not replaceable: either we own the name or a running copy does.
    constexpr uint doNotQueue = 0x4;
    m_request = bus.interface()->asyncCall(QStringLiteral("RequestName"), m_appId, doNotQueue);
}

bool SingleInstance::claim()
{
    if (m_ownsBusName || m_server) {
        return true;
    }
    beginClaim();
    if (m_request) {
        return claimOnBus();
    }
    return claimLocally();
}

bool SingleInstance::claimOnBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusPendingReply<uint> reply = *std::exchange(m_request, std::nullopt);
    // Usually answered already, while the caller went on with its start-up.
    reply.waitForFinished();
    constexpr uint primaryOwner = 1;
    constexpr uint alreadyOwner = 4;
    if (reply.isValid() && (reply.value() == primaryOwner || reply.value() == alreadyOwner)) {
        m_ownsBusName = true;
        return true;
    }
    bus.unregisterObject(objectPath());
    if (!reply.isValid()) {
        qCWarning(lcDesktop, "SingleInstance: cannot own %s: %s", qPrintable(m_appId),
                  qPrintable(reply.error().message()));
        return claimLocally();
    }

    QVariantMap platformData;
    if (const QString token = launcherVariable("XDG_ACTIVATION_TOKEN"); !token.isEmpty()) {
        platformData.insert(tokenKey, token);
    }
    if (const QString id = launcherVariable("DESKTOP_STARTUP_ID"); !id.isEmpty()) {
        platformData.insert(startupIdKey, id);
    }
    QDBusMessage activate = QDBusMessage::createMethodCall(
        m_appId, objectPath(), QStringLiteral("org.freedesktop.Application"),
        QStringLiteral("Activate"));
    activate << platformData;
    const QDBusMessage answer = bus.call(activate, QDBus::Block, requestTimeoutMs);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        // It still owns the name: a second copy would fight it over the saved tunnels.
        qCWarning(lcDesktop, "SingleInstance: the running copy did not answer: %s",
                  qPrintable(answer.errorMessage()));
    }
    return false;
}

bool SingleInstance::claimLocally()
{
    const QString name = localServerName();
    if (notifyLocalServer(name)) {
        return false;
    }

    m_server = new QLocalServer(this);
#ifdef Q_OS_LINUX
    // Vanishes with the process: no stale socket file after a crash.
    m_server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
#else
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
#endif
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readRequests(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            readRequests(socket);
        }
    });
    if (m_server->listen(name)) {
        return true;
    }
    // Another copy started at the same moment, or a crashed one left its socket file behind.
    if (notifyLocalServer(name)) {
        delete m_server;
        m_server = nullptr;
        return false;
    }
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        // Refusing to start would be worse than running unguarded.
        qCWarning(lcDesktop, "SingleInstance: cannot listen on %s: %s", qPrintable(name),
                  qPrintable(m_server->errorString()));
    }
    return true;
}

bool SingleInstance::notifyLocalServer(const QString &name) const
{
    QLocalSocket socket;
#ifdef Q_OS_LINUX
    socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
#endif
    socket.connectToServer(name, QIODevice::WriteOnly);
    if (!socket.waitForConnected(requestTimeoutMs)) {
        return false;
    }
    QByteArray request = activateRequest;
    if (const QString token = launcherToken(); !token.isEmpty()) {
        request += ' ' + token.toUtf8();
    }
    socket.write(request + '\n');
    socket.flush();
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(requestTimeoutMs)) {
    }
    socket.disconnectFromServer();
    return true;
}

void SingleInstance::readRequests(QLocalSocket *socket)
{
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(maxRequestLength).trimmed();
        if (line == activateRequest) {
            Q_EMIT activated({});
        } else if (line.startsWith(QByteArray(activateRequest + ' '))) {
            Q_EMIT activated(QString::fromUtf8(line.mid(activateRequest.size() + 1)));
        }
    }
    // Whoever sends this much without a line break is not a copy of ours.
    if (socket->bytesAvailable() > maxRequestLength) {
        socket->abort();
    }
}

QString SingleInstance::objectPath() const
{
    QString path = u'/' + m_appId;
    path.replace(u'.', u'/').replace(u'-', u'_');
    return path;
}

QString SingleInstance::localServerName() const
{
    // Per user: another user's copy on the same machine is not ours to raise.
#ifdef Q_OS_UNIX
    const QString user = QString::number(::getuid());
#else
    const QString user = qEnvironmentVariable("USERNAME");
#endif
    return m_appId + u'-' + user;
}

} // namespace Velumo

#include "SingleInstance.moc"
