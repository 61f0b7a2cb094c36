// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ContentModel.h"
#include "core/Coroutine.h"

#include "TestSupport.h"

#include <QAbstractItemModelTester>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>

using namespace Qt::StringLiterals;
using namespace Velumo;
using namespace Velumo::Testing;

Q_DECLARE_METATYPE(Velumo::TunnelState)

namespace {

Tunnel stored(const QString &hostname, const QString &port)
{
    Tunnel tunnel;
    tunnel.url = QUrl(announcedAddress);
    tunnel.hostname = hostname;
    tunnel.port = port;
    return tunnel;
}

// The status code of the proxy's answer to one request.
int statusOf(quint16 port, const QByteArray &head)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET " + head + "\r\nHost: example.test\r\n\r\n");
    // A timeout reads as status 0, which no caller expects.
    (void)QTest::qWaitFor([&socket] {
        return socket.canReadLine() || socket.state() == QAbstractSocket::UnconnectedState;
    });
    return socket.readLine().split(' ').value(1).toInt();
}

} // namespace

class ContentModelTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private:
    QString path(const char *name) const { return m_dir->filePath(QString::fromLatin1(name)); }

private Q_SLOTS:
    void init() { setUpModel(); }
    void cleanup() { tearDownModel(); }

    void create_recordsTheAnnouncedAddressAndSaves()
    {
        useTranscript(QStringLiteral("quick-tunnel.script"));
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QVERIFY(m_model->loading());
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        QVERIFY(!m_model->loading());
        const Tunnel tunnel = m_model->tunnels().first();
        QCOMPARE(tunnel.url, std::optional<QUrl>(QUrl(announcedAddress)));
        QCOMPARE(storedBytes(),
                 "[{\"id\":\"" + uuidText(tunnel.id).toUtf8() +
                     "\",\"url\":\"https:\\/\\/seasonal-deck-organisms-sf.trycloudflare.com\","
                     "\"hostname\":\"localhost\",\"port\":\"3000\",\"loading\":false}]");
        QTRY_COMPARE(m_model->activity(tunnel.id).state, TunnelState::Connected);
        QVERIFY(m_model->activity(tunnel.id).running);
        QVERIFY(m_model->activity(tunnel.id).log->commandLine().endsWith(
            QStringLiteral("tunnel --no-autoupdate --url localhost:3000")));
    }

    void create_twoAnnouncementsMakeTwoRecords()
    {
        script(announcement() + "sleep 200\n" +
               announcement(QStringLiteral("https://other-words-here.trycloudflare.com")) +
               "wait\n");
        m_model->createTunnel(QStringLiteral("h"), QStringLiteral("1"));
        QTRY_COMPARE(m_model->tunnels().size(), 2);
        QVERIFY(m_model->tunnels().at(0).id != m_model->tunnels().at(1).id);
        QCOMPARE(decodeTunnels(storedBytes()).toOptional(), std::optional<TunnelList>(m_model->tunnels()));
    }

    void failure_isSaidInPlainWords_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("told");
        const QString standin = standinPath();
        const QString later = QStringLiteral("Try again in a few minutes.");
        QTest::newRow("silent exit")
            << QByteArray("exit 0") << standin << QStringLiteral("ended with exit code 0");
        QTest::newRow("anything else: its last line")
            << QByteArray("err {now} ERR failed to dial to edge\ncrash") << standin
            << QStringLiteral("crashed without giving an address: failed to dial to edge");
        // As the OOM killer would.
        QTest::newRow("killed from outside")
            << QByteArray("wait") << standin << QStringLiteral("crashed");
        QTest::newRow("tool nowhere")
            << QByteArray() << QString() << QStringLiteral("cloudflared was not found");
        QTest::newRow("not executable")
            << QByteArray() << QStringLiteral(VELUMO_TRANSCRIPTS "/quick-tunnel.script")
            << QStringLiteral("Could not start cloudflared: ");
        QTest::newRow("rate limited")
            << QByteArray("include " VELUMO_TRANSCRIPTS "/rate-limited.script") << standin << later;
        QTest::newRow("rate limited, before 2024.10")
            << QByteArray("include " VELUMO_TRANSCRIPTS "/rate-limited-old.script") << standin
            << later;
        QTest::newRow("no connection")
            << QByteArray("include " VELUMO_TRANSCRIPTS "/no-network.script") << standin
            << QStringLiteral("Check the internet connection");
        QTest::newRow("service outage")
            << QByteArray("include " VELUMO_TRANSCRIPTS "/outage.script") << standin
            << QStringLiteral("did not answer properly");
        QTest::newRow("QUIC blocked")
            << QByteArray("include " VELUMO_TRANSCRIPTS "/quic-blocked.script") << standin
            << QStringLiteral("Start the tunnel again over HTTP/2.");
    }
    void failure_isSaidInPlainWords()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, tool);
        QFETCH(QString, told);
        this->script("pidfile " + path("pid").toUtf8() + "\n" + script + "\n");
        m_model->setToolPath(tool);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        if (script == "wait") {
            QTRY_VERIFY(readPid(path("pid")) > 0);
            ::kill(static_cast<pid_t>(readPid(path("pid"))), SIGKILL);
        }
        QTRY_VERIFY(!m_model->loading());
        QTRY_VERIFY2(m_model->statusMessage().contains(told), qPrintable(m_model->statusMessage()));
        if (m_model->tunnels().isEmpty()) {
            QCOMPARE(m_model->runningToolCount(), 0);
            QVERIFY(!QFile::exists(storePath()));
        } else {
            // The address came and the tool runs on: its row offers the way out.
            const QUuid id = m_model->tunnels().first().id;
            QVERIFY(m_model->activity(id).quicBlocked);
            QVERIFY(m_model->activity(id).problem.contains(told));
        }
    }

    // What a started task throws is logged, not lost with the task nobody awaits.
    void startedTask_failureIsLogged()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("ContentModel: .*failed: broken")));
        startOwned(m_model.get(), []() -> QCoro::Task<> {
            throw std::runtime_error("broken");
            co_return;
        }());
    }

    // A creation still waiting for its tool when the model goes, as at the app's exit, ends
    // there: nothing of it is left behind for the leak check.
    void create_modelGoneWhileWaiting_leavesNothing()
    {
        script("wait\n");
        bool ended = false;
        startOwned(m_model.get(), [](ContentModel *model, bool *ended) -> QCoro::Task<> {
            co_await model->createTunnel(u"localhost"_s, u"3000"_s);
            *ended = true;
        }(m_model.get(), &ended));
        QTRY_COMPARE(m_model->runningToolCount(), 1);
        m_model.reset();
        // At exit, what was queued for the event loop is dropped, not run.
        QCoreApplication::removePostedEvents(nullptr, QEvent::MetaCall);
        QVERIFY(ended);
    }

    void configFileWithIngress_isPointedOut_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("warned");
        QTest::newRow("ingress rules") << QByteArray("tunnel: x\ningress:\n  - service: "
                                                     "http://localhost:8080\n")
                                       << true;
        QTest::newRow("other keys only")
            << QByteArray("loglevel: debug\n# ingress: off\n") << false;
    }
    void configFileWithIngress_isPointedOut()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, warned);
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(m_dir->path()));
        QVERIFY(QDir().mkpath(path(".cloudflared")));
        QVERIFY(writeFile(path(".cloudflared/config.yml"), config));
        script(announcement() + "wait\n");
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QCOMPARE(m_model->statusMessage().contains(path(".cloudflared/config.yml") +
                                                   QStringLiteral(" has ingress rules")),
                 warned);
        // The tunnel's row keeps the warning while its tool runs, whatever the status says.
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        const QUuid id = m_model->tunnels().first().id;
        QCOMPARE(m_model->activity(id).ingressRules.contains(QStringLiteral("ingress rules")),
                 warned);
        m_model->stopTunnel(m_model->tunnels().first());
        QTRY_VERIFY(m_model->activity(id).ingressRules.isEmpty());
        // Visitors would bypass an inspecting proxy: it is refused, naming the file.
        QCOMPARE(m_model->registry()
                     .setInspected(QUuid::createUuid(), true)
                     .reason()
                     .contains(path(".cloudflared/config.yml")),
                 warned);
        qputenv("HOME", home);
    }

    void create_failedCreation_keepsFormBusyWhileAnotherWaits()
    {
        script("sleep 300\nexit 1\n", QStringLiteral("fails"));
        m_model->createTunnel(QStringLiteral("a"), QStringLiteral("1"));
        script("wait\n", QStringLiteral("waits"));
        m_model->createTunnel(QStringLiteral("b"), QStringLiteral("2"));
        QTRY_COMPARE(m_model->runningToolCount(), 1);
        QVERIFY(m_model->loading());
    }

    void create_withNothingListening_saysSoAtOnce()
    {
        const QString port = QString::number(closedPort());
        script("wait\n");
        m_model->createTunnel(QStringLiteral("127.0.0.1"), port);
        QTRY_VERIFY(m_model->statusMessage().contains(
            QStringLiteral("Nothing is listening on 127.0.0.1:") + port));
    }

    void hostAndPort_reachTheToolAsOneLiteralArgument_data()
    {
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("reaches");
        QTest::newRow("plain") << QStringLiteral("localhost") << QStringLiteral("3000") << true;
        // PWNED stands for a file a shell would create if it ever saw the text.
        QTest::newRow("spaces and quotes")
            << QStringLiteral("my \"lo'cal\"") << QStringLiteral("' 30 00\"") << true;
        QTest::newRow("shell syntax") << QStringLiteral("a; touch PWNED|x&&$(touch PWNED)")
                                      << QStringLiteral("`touch PWNED`>PWNED") << true;
        QTest::newRow("leading dash, another flag")
            << QStringLiteral("--help") << QStringLiteral("1 --loglevel fatal") << true;
        QTest::newRow("newline, glob")
            << QStringLiteral("a\nb*") << QStringLiteral("\t?[a-z]\r") << true;
        QTest::newRow("non-ASCII, direction override")
            << QString::fromUtf8("höst.例え🚀") << QString::fromUtf8("\u202e三千") << true;
        QTest::newRow("empty") << QString() << QString() << true;
        // Longer than the kernel takes for one argument: the start fails and says so.
        QTest::newRow("1 MiB host")
            << QString(1024 * 1024, u'h') << QStringLiteral("3000") << false;
    }
    void hostAndPort_reachTheToolAsOneLiteralArgument()
    {
        QFETCH(QString, hostname);
        QFETCH(QString, port);
        QFETCH(bool, reaches);
        hostname.replace(QStringLiteral("PWNED"), path("pwned"));
        port.replace(QStringLiteral("PWNED"), path("pwned"));
        Tunnel edited;
        edited.hostname = hostname;
        edited.port = port;
        loadStored({edited});
        // Typed in the form, found in an edited stored list, and started again over HTTP/2.
        for (const int start : {0, 1, 2}) {
            QFile::remove(path("argv.json"));
            script("record " + path("argv.json").toUtf8() + "\n");
            QSignalSpy status(m_model.get(), &ContentModel::statusMessageChanged);
            if (start == 0) {
                m_model->createTunnel(hostname, port);
            } else if (start == 1) {
                m_model->restartTunnel(m_model->tunnels().first());
            } else {
                m_model->restartOverHttp2(m_model->tunnels().first().id);
            }
            QTRY_VERIFY(status.count() > 0 && m_model->runningToolCount() == 0);
            const QJsonArray argv = readRecord(path("argv.json"))[u"argv"].toArray();
            if (!reaches) {
                QVERIFY(argv.isEmpty());
                QVERIFY(m_model->statusMessage().startsWith(u"Could not start cloudflared"));
                continue;
            }
            QStringList expected{QStringLiteral("tunnel"), QStringLiteral("--no-autoupdate")};
            if (start == 2) {
                expected << QStringLiteral("--protocol") << QStringLiteral("http2");
            }
            expected << QStringLiteral("--url") << hostname + u':' + port;
            QCOMPARE(argv.toVariantList().mid(1), QVariant(expected).toList());
        }
        QVERIFY(!QFile::exists(path("pwned")));
    }

    void state_followsTheToolsOutputAndExit_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("crashed");
        QTest::newRow("self-update") << QStringLiteral("self-update.script") << 11 << false;
        QTest::newRow("edge unreachable")
            << QStringLiteral("edge-unreachable.script") << 1 << false;
        QTest::newRow("crash after the address")
            << QStringLiteral("address-then-crash.script") << 0 << true;
    }
    void state_followsTheToolsOutputAndExit()
    {
        QFETCH(QString, transcript);
        QFETCH(int, exitCode);
        QFETCH(bool, crashed);
        useTranscript(transcript);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        const QUuid id = m_model->tunnels().first().id;
        QTRY_COMPARE(m_model->activity(id).state, TunnelState::Ended);
        const TunnelActivity activity = m_model->activity(id);
        QVERIFY(!activity.running);
        QCOMPARE(activity.crashed, crashed);
        QCOMPARE(crashed ? 0 : activity.exitCode, exitCode);
        // The record stays as announced; the status line says the address no longer answers.
        QCOMPARE(m_model->readStoredTunnels(), std::optional<TunnelList>(m_model->tunnels()));
        QVERIFY2(m_model->statusMessage().startsWith(u"The tunnel to localhost:3000 ended"),
                 qPrintable(m_model->statusMessage()));
    }

    // "Ready" waits for the first connection to the edge: the name may not be in the DNS
    // before, and a connection lost and made again is not a new start.
    void reachable_onceTheToolHoldsAConnection()
    {
        const QByteArray registered =
            "err {now} INF Registered tunnel connection connIndex=0 protocol=quic\n";
        script(announcement() + "sleep 200\n" + registered +
               "err {now} WRN Unregistered tunnel connection connIndex=0\n" + registered +
               "err {now} INF done\nwait\n");
        QSignalSpy reachable(m_model.get(), &ContentModel::tunnelReachable);
        int reachableWhenAnnounced = -1;
        connect(m_model.get(), &ContentModel::tunnelReady, this,
                [&] { reachableWhenAnnounced = int(reachable.count()); });
        m_model->createTunnel(u"localhost"_s, u"3000"_s);
        QTRY_COMPARE(reachableWhenAnnounced, 0);
        QTRY_COMPARE(reachable.count(), 1);
        const QUuid id = m_model->tunnels().first().id;
        QTRY_VERIFY(m_model->activity(id).log->lines().join(u'\n').contains(u"INF done"_s));
        QCOMPARE(reachable.count(), 1);
    }

    void restart_setsTheAddressOnTheSameRecordWithoutSaving()
    {
        loadStored({stored(QStringLiteral("x"), QStringLiteral("1")),
                    stored(QStringLiteral("localhost"), QStringLiteral("8080"))});
        const QByteArray bytes = storedBytes();
        const Tunnel second = m_model->tunnels().at(1);
        QVERIFY(!second.url);
        QCOMPARE(m_model->activity(second.id).state, TunnelState::Idle);
        script("record " + path("argv.json").toUtf8() + "\nsleep 200\n" + announcement() +
               "wait\n");
        m_model->restartTunnel(second);
        QVERIFY(m_model->tunnels().at(1).loading);
        QVERIFY(!m_model->loading());
        QCOMPARE(m_model->activity(second.id).state, TunnelState::Starting);
        QTRY_VERIFY(m_model->tunnels().at(1).url.has_value());
        QCOMPARE(m_model->tunnels().at(1).id, second.id);
        QVERIFY(!m_model->tunnels().at(1).loading);
        QCOMPARE(storedBytes(), bytes);
        QCOMPARE(readRecord(path("argv.json"))[u"argv"][4].toString(),
                 QStringLiteral("localhost:8080"));
    }

    void proxy_standsBetweenToolAndService_data()
    {
        QTest::addColumn<bool>("password");
        QTest::newRow("inspecting requests") << false;
        QTest::newRow("requiring a password") << true;
    }
    void proxy_standsBetweenToolAndService()
    {
        QFETCH(bool, password);
        loadStored({stored(QStringLiteral("localhost"), QStringLiteral("8080"))});
        const Tunnel tunnel = m_model->tunnels().first();
        script("record " + path("argv.json").toUtf8() + "\n" + announcement() + "wait\n");
        m_model->restartTunnel(tunnel);
        QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        QCOMPARE(readRecord(path("argv.json"))[u"argv"][4].toString(), u"localhost:8080"_s);
        // Turned on for a running tunnel: it starts again, the tool pointing at the proxy.
        QVERIFY(QFile::remove(path("argv.json")));
        TunnelRegistry &options = m_model->registry();
        if (password) { // shorter than 8 characters: refused
            QVERIFY(!options.setPassword(tunnel.id, u"7 chars"_s));
        }
        QVERIFY(password ? options.setPassword(tunnel.id, u"a secret"_s)
                         : options.setInspected(tunnel.id, true));
        QTRY_VERIFY(QFile::exists(path("argv.json")));
        const QString url = readRecord(path("argv.json"))[u"argv"][4].toString();
        QVERIFY2(url.startsWith(u"127.0.0.1:"), qPrintable(url));
        QTcpSocket proxy;
        QSignalSpy connected(&proxy, &QTcpSocket::connected);
        proxy.connectToHost(QHostAddress::LocalHost, quint16(url.mid(10).toUInt()));
        QVERIFY(connected.wait());
        QTRY_VERIFY(m_model->activity(tunnel.id).throughProxy);
        QCOMPARE(options.linkWithKey(tunnel.id, QUrl(announcedAddress)).has_value(), password);
    }

    // Switched on for a running tunnel, and kept. Direct, the tool starts again sending the
    // service's own host and port as Host; behind the proxy it takes at once, without a
    // restart, and Next.js's refusal of another origin, found in the traffic, marks the row.
    void hostHeader_switchedOnARunningTunnel_data()
    {
        QTest::addColumn<QString>("hostname");
        QTest::addColumn<QString>("sent"); // PORT stands for the service's port
        QTest::addColumn<bool>("proxied");
        QTest::newRow("name") << u"localhost"_s << u"localhost:PORT"_s << false;
        QTest::newRow("scheme and path")
            << u"http://127.0.0.1/app"_s << u"127.0.0.1:PORT"_s << false;
        QTest::newRow("IPv6") << u"::1"_s << u"[::1]:PORT"_s << false;
        QTest::newRow("through the proxy") << u"127.0.0.1"_s << u"127.0.0.1:PORT"_s << true;
    }
    void hostHeader_switchedOnARunningTunnel()
    {
        QFETCH(QString, hostname);
        QFETCH(QString, sent);
        QFETCH(bool, proxied);
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        QByteArray visitorsRequest;
        connect(&service, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = service.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                if (const QByteArray bytes = socket->readAll(); bytes.startsWith("GET /_next/")) {
                    visitorsRequest = bytes;
                    socket->disconnectFromHost(); // as Next.js closes its hot-reload socket
                }
            });
        });
        const QString port = QString::number(service.serverPort());
        sent.replace(u"PORT"_s, port);
        loadStored({stored(hostname, port)});
        const QUuid id = m_model->tunnels().first().id;
        const QModelIndex row = m_model->registry().indexOf(id);
        TunnelRegistry &options = m_model->registry();
        QVERIFY(!proxied || options.setInspected(id, true));
        script("record " + path("argv.json").toUtf8() + "\n" + announcement() + "wait\n");
        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_VERIFY(QFile::exists(path("argv.json")) &&
                    !row.data(TunnelRegistry::LoadingRole).toBool());
        const QString target = readRecord(path("argv.json"))[u"argv"][4].toString();
        QVERIFY(QFile::remove(path("argv.json")));

        QVERIFY(options.setHostHeader(id, true));
        QVERIFY(readAll(path("velumo/tunnelOptions.json")).contains("\"hostHeader\": true"));
        // A restart shows at once, as a row waiting for its address.
        QCOMPARE(row.data(TunnelRegistry::LoadingRole).toBool(), !proxied);
        if (!proxied) {
            QTRY_VERIFY(QFile::exists(path("argv.json")));
            const QStringList argv =
                readRecord(path("argv.json"))[u"argv"].toVariant().toStringList();
            QCOMPARE(argv.mid(5), (QStringList{u"--http-host-header"_s, sent}));
            return;
        }
        QTcpSocket visitor;
        visitor.connectToHost(QHostAddress::LocalHost, quint16(target.mid(10).toUInt()));
        visitor.write("GET /_next/webpack-hmr HTTP/1.1\r\nHost: a.trycloudflare.com\r\n"
                      "Origin: https://a.trycloudflare.com\r\n\r\n");
        QTRY_COMPARE(row.data(TunnelRegistry::HostCheckRole), QVariant(int(DevServer::NextJs)));
        QVERIFY(visitorsRequest.contains(QByteArray("\r\nHost: " + sent.toUtf8() + "\r\n")));
        QCOMPARE(m_model->runningToolCount(), 1);
        QVERIFY(!QFile::exists(path("argv.json")));
    }

    // Once per start, after the address is listed, the service is asked as visitors reach it;
    // a development server's refusal marks the row.
    void hostCheck_probedOncePerStartAfterTheAddress()
    {
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        int asked = 0;
        bool addressListed = false;
        connect(&service, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = service.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                if (!socket->readAll().startsWith("GET / ")) {
                    return; // the tool's liveness check
                }
                ++asked;
                addressListed = m_model->tunnels().first().url.has_value();
                const QByteArray body = "Blocked request. This host (\"x\") is not allowed. "
                                        "Add it to server.allowedHosts.";
                socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        });
        loadStored({stored(u"127.0.0.1"_s, QString::number(service.serverPort()))});
        const QUuid id = m_model->tunnels().first().id;
        const QModelIndex row = m_model->registry().indexOf(id);
        for (int start = 1; start <= 2; ++start) {
            script(announcement() + "wait\n");
            m_model->restartTunnel(m_model->tunnels().first());
            QTRY_COMPARE(row.data(TunnelRegistry::HostCheckRole), QVariant(int(DevServer::Vite)));
            QCOMPARE(asked, start);
            QVERIFY(addressListed);
            m_model->stopTunnel(m_model->tunnels().first());
            QVERIFY(!row.data(TunnelRegistry::HostCheckRole).isValid());
        }
    }

    // A password set yesterday holds today: the same key and cookie let in, before the tool
    // starts; without its secret the tunnel does not start at all.
    void password_isRestoredBeforeTheToolStarts_data()
    {
        QTest::addColumn<bool>("secretKept");
        QTest::newRow("secret kept") << true;
        QTest::newRow("secret store refuses") << false;
    }
    void password_isRestoredBeforeTheToolStarts()
    {
        QFETCH(bool, secretKept);
        auto secrets = std::make_shared<MemorySecretStore>();
        m_model->named().setSecretStore(secrets);
        loadStored({stored(u"127.0.0.1"_s, QString::number(closedPort()))});
        const QByteArray listBytes = storedBytes();
        const QUuid id = m_model->tunnels().first().id;
        QVERIFY(m_model->registry().setPassword(id, u"a secret"_s));
        const PasswordGate::Kept kept = m_model->registry().choices(id).gate->kept();
        QCOMPARE(storedBytes(), listBytes);

        m_model = std::make_unique<ContentModel>(TunnelStore(storePath()));
        m_model->setProxyHost(m_proxyHost.get());
        m_model->setToolPath(standinPath());
        m_model->named().setSecretStore(secretKept ? secrets
                                                   : std::make_shared<MemorySecretStore>());
        m_model->loadTunnels();
        script("record " + path("argv.json").toUtf8() + "\n" + announcement() + "wait\n");
        m_model->restartTunnel(m_model->tunnels().first());
        if (!secretKept) {
            const QModelIndex row = m_model->registry().indexOf(id);
            QTRY_VERIFY(row.data(TunnelRegistry::ProblemRole).toString().contains(u"secret"_s));
            QVERIFY(m_model->statusMessage().contains(u"secret store"_s));
            QCOMPARE(m_model->runningToolCount(), 0);
            QVERIFY(!QFile::exists(path("argv.json")));
            return;
        }
        QTRY_VERIFY(QFile::exists(path("argv.json")));
        const QString url = readRecord(path("argv.json"))[u"argv"][4].toString();
        QVERIFY2(url.startsWith(u"127.0.0.1:"), qPrintable(url));
        const auto port = quint16(url.mid(10).toUInt());
        QCOMPARE(statusOf(port, "/ HTTP/1.1"), 401);
        QCOMPARE(statusOf(port, "/?velumo_key=" + kept.key + " HTTP/1.1"), 302);
        // Let in: the proxy then finds nothing listening behind it.
        QCOMPARE(statusOf(port, "/ HTTP/1.1\r\nCookie: __Host-velumo=" + kept.token), 502);

        // Deleting the tunnel forgets its choices and its secrets.
        m_model->deleteTunnel(m_model->tunnels().first());
        QVERIFY(!readAll(path("velumo/tunnelOptions.json")).contains(uuidText(id).toUtf8()));
        QVERIFY(!QCoro::waitFor(secrets->read(TunnelChoicesStore::gateKey(id))));
    }

    // An https:// service whose certificate this system does not trust: the row says so until
    // the user trusts it; the tool then starts again accepting any certificate from it, and the
    // choice holds after a restart of Velumo.
    void serviceCertificate_trustedByTheUser()
    {
        QSslServer service;
        service.setSslConfiguration(serviceTlsConfiguration());
        QVERIFY(service.listen(QHostAddress::LocalHost));
        loadStored({stored(u"https://localhost"_s, QString::number(service.serverPort()))});
        const QUuid id = m_model->tunnels().first().id;
        const auto trust = [&] {
            return CertificateTrust(
                m_model->registry().indexOf(id).data(TunnelRegistry::CertificateTrustRole).toInt());
        };
        const auto argv = [&] { return readRecord(path("argv.json"))[u"argv"].toArray(); };
        script("record " + path("argv.json").toUtf8() + "\n" + announcement() + "wait\n");
        QVERIFY(!m_model->registry().trustServiceCertificate(id)); // nothing known yet
        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_COMPARE(trust(), CertificateTrust::NotTrusted);
        QVERIFY(!argv().contains(u"--no-tls-verify"_s));

        QVERIFY(QFile::remove(path("argv.json")));
        QVERIFY(m_model->registry().trustServiceCertificate(id));
        QTRY_VERIFY(QFile::exists(path("argv.json")));
        QVERIFY(argv().contains(u"--no-tls-verify"_s));
        QCOMPARE(argv().last().toString(),
                 u"https://localhost:"_s + QString::number(service.serverPort()));
        QTRY_COMPARE(trust(), CertificateTrust::TrustedByUser);

        m_model = std::make_unique<ContentModel>(TunnelStore(storePath()));
        m_model->loadTunnels();
        QCOMPARE(m_model->registry().choices(id).trustedCertificate,
                 serviceCertificate().digest(QCryptographicHash::Sha256));
    }

    // A new tunnel starts behind the proxy when Preferences say so, and its generated password
    // is announced once its address is known.
    void create_withDefaults_startsBehindTheProxy()
    {
        m_model->setNewTunnelDefaults({.inspect = false, .password = true});
        QSignalSpy generated(&m_model->registry(), &TunnelRegistry::passwordGenerated);
        script("record " + path("argv.json").toUtf8() + "\n" + announcement() + "wait\n");
        m_model->createTunnel(u"localhost"_s, u"3000"_s);
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        const QUuid id = m_model->tunnels().first().id;
        QVERIFY(readRecord(path("argv.json"))[u"argv"][4].toString().startsWith(u"127.0.0.1:"));
        QCOMPARE(generated.count(), 1);
        QCOMPARE(generated.first().first().toUuid(), id);
        QVERIFY(m_model->registry().linkWithKey(id, QUrl(announcedAddress)).has_value());
        QVERIFY(readAll(path("velumo/tunnelOptions.json")).contains(uuidText(id).toUtf8()));
    }

    void restart_whileAnEarlierRecordIsDeleted_updatesTheRightRecord()
    {
        loadStored({stored(QStringLiteral("a"), QStringLiteral("1")),
                    stored(QStringLiteral("b"), QStringLiteral("2"))});
        const Tunnel first = m_model->tunnels().at(0);
        const QUuid second = m_model->tunnels().at(1).id;
        script("sleep 300\n" + announcement() + "wait\n");
        m_model->restartTunnel(m_model->tunnels().at(1));
        m_model->deleteTunnel(first);
        QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        QCOMPARE(m_model->tunnels().first().id, second);
    }

    // A start while the tunnel starts or runs does nothing; a restart ends the earlier tool.
    void restart_runsOneToolPerTunnel()
    {
        loadStored({stored(QStringLiteral("h"), QStringLiteral("1"))});
        script("pidfile " + path("pid").toUtf8() + "\n" + announcement() + "wait\n");
        m_model->restartTunnel(m_model->tunnels().first());
        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        m_model->restartTunnel(m_model->tunnels().first());
        const qint64 earlier = readPid(path("pid"));
        QCOMPARE(m_model->runningToolCount(), 1);
        m_model->restartOverHttp2(m_model->tunnels().first().id);
        QTRY_VERIFY(!processExists(earlier));
        QTRY_VERIFY(readPid(path("pid")) != earlier && !m_model->tunnels().first().loading);
        QCOMPARE(m_model->runningToolCount(), 1);
    }

    void objectWillChange_announcesEveryWrite_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("writes");
        QTest::newRow("create: loading, the record, loading") << u"create"_s << 3;
        QTest::newRow("restart: the record's loading, address, loading") << u"restart"_s << 3;
        QTest::newRow("stop: the record") << u"stop"_s << 1;
        QTest::newRow("delete") << u"delete"_s << 1;
        QTest::newRow("delete matching none: an equal list") << u"deleteNone"_s << 1;
        QTest::newRow("load") << u"load"_s << 1;
    }
    void objectWillChange_announcesEveryWrite()
    {
        QFETCH(QString, operation);
        QFETCH(int, writes);
        loadStored({stored(QStringLiteral("h"), QStringLiteral("1"))});
        script(announcement() + "wait\n");
        if (operation == u"stop") {
            m_model->restartTunnel(m_model->tunnels().first());
            QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        }
        Tunnel tunnel = m_model->tunnels().first();
        QSignalSpy changes(m_model.get(), &ContentModel::objectWillChange);
        if (operation == u"create") {
            m_model->createTunnel(QStringLiteral("h"), QStringLiteral("1"));
            QTRY_COMPARE(m_model->tunnels().size(), 2);
        } else if (operation == u"restart") {
            m_model->restartTunnel(tunnel);
            QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        } else if (operation == u"stop") {
            m_model->stopTunnel(tunnel);
        } else if (operation.startsWith(u"delete")) {
            tunnel.port = operation == u"delete" ? tunnel.port : u"2"_s;
            m_model->deleteTunnel(tunnel);
        } else {
            m_model->loadTunnels();
        }
        QCOMPARE(changes.count(), writes);
    }

    // The registry as a list model, checked by Qt's model tester while tunnels of both kinds
    // are listed, made, started, stopped and deleted: each change names its row and roles.
    void registry_followsEveryChangeAsAListModel()
    {
        using R = TunnelRegistry;
        TunnelRegistry &registry = m_model->registry();
        QAbstractItemModelTester tester(&registry,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        int watched = -1;
        QList<int> roles;
        connect(&registry, &R::dataChanged, this,
                [&](const QModelIndex &first, const QModelIndex &last, const QList<int> &changed) {
                    if (first.row() <= watched && watched <= last.row()) {
                        roles += changed;
                    }
                });
        NamedTunnel named;
        named.tunnelId = u"c56f8d78-0816-4a7b-917c-4975a2aa186b"_s;
        named.tunnelName = u"blog"_s;
        named.publicHostname = u"blog.example.com"_s;
        writeStore("[]");
        QVERIFY(writeFile(path("velumo/namedTunnels.json"), encodeNamedTunnels({named})));
        loadStored({stored(QStringLiteral("h"), QStringLiteral("1"))});
        QCOMPARE(registry.rowCount(), 2);
        QCOMPARE(registry.index(0).data(R::KindRole).toInt(), int(TunnelKind::Named));
        QCOMPARE(registry.index(0).data(R::AddressRole).toUrl(),
                 QUrl(u"https://blog.example.com"_s));
        QCOMPARE(registry.index(1).data().toString(), u"h:1"_s);
        QVERIFY(!registry.index(1).data(R::AddressRole).isValid());

        script(announcement() + "wait\n");
        QSignalSpy inserted(&registry, &R::rowsInserted);
        m_model->createTunnel(QStringLiteral("c"), QStringLiteral("2"));
        QTRY_COMPARE(registry.rowCount(), 3);
        QCOMPARE(inserted.first().at(1).toInt(), 2);

        watched = 1;
        m_model->restartTunnel(m_model->tunnels().first());
        QVERIFY(roles.contains(R::LoadingRole));
        QTRY_VERIFY(roles.contains(R::AddressRole));
        QVERIFY(registry.index(1).data(R::RunningRole).toBool());
        roles.clear();
        m_model->stopTunnel(m_model->tunnels().first());
        QVERIFY(roles.contains(R::AddressRole) && roles.contains(R::StateRole));
        QCOMPARE(registry.index(1).data(R::StateRole).toInt(), int(TunnelState::Stopped));

        // A named tunnel's address stays what it is through its runs.
        watched = 0;
        roles.clear();
        m_model->setRunning(named.id, true);
        QTRY_VERIFY(registry.index(0).data(R::RunningRole).toBool());
        m_model->setRunning(named.id, false);
        QCOMPARE(registry.index(0).data(R::StateRole).toInt(), int(TunnelState::Stopped));
        QVERIFY(roles.contains(R::StateRole) && !roles.contains(R::AddressRole));

        QSignalSpy removed(&registry, &R::rowsRemoved);
        registry.remove(m_model->tunnels().last().id);
        registry.remove(named.id);
        QCOMPARE(removed.count(), 2);
        QCOMPARE(registry.rowCount(), 1);
        QCOMPARE(readAll(path("velumo/namedTunnels.json")), encodeNamedTunnels({}));
    }

    void stop_endsTheToolAndClearsTheAddressWithoutSaving()
    {
        loadStored({stored(QStringLiteral("127.0.0.1"), QString::number(closedPort()))});
        const QByteArray before = storedBytes();
        const QUuid id = m_model->tunnels().first().id;
        script("pidfile " + path("pid").toUtf8() + "\n" + announcement() + "wait\n");
        m_model->restartTunnel(m_model->tunnels().first());
        QTRY_VERIFY(m_model->tunnels().first().url.has_value());
        QTRY_COMPARE(m_model->serviceListening(id), std::optional<bool>(false));

        m_model->stopTunnel(m_model->tunnels().first());
        QVERIFY(!m_model->tunnels().first().url);
        QTRY_VERIFY(!processExists(readPid(path("pid"))));
        QCOMPARE(m_model->activity(id).state, TunnelState::Stopped);
        QVERIFY(!m_model->activity(id).running);
        QCOMPARE(m_model->serviceListening(id), std::optional<bool>());
        QCOMPARE(storedBytes(), before);
    }

    void delete_removesEveryEqualRecordAndSaves_data()
    {
        QTest::addColumn<int>("equalCopies");
        QTest::addColumn<bool>("stale");
        QTest::newRow("only tunnel") << 1 << false;
        QTest::newRow("two equal copies") << 2 << false;
        QTest::newRow("stale copy") << 1 << true;
    }
    void delete_removesEveryEqualRecordAndSaves()
    {
        QFETCH(int, equalCopies);
        QFETCH(bool, stale);
        Tunnel target = stored(QStringLiteral("h"), QStringLiteral("1"));
        target.url.reset();
        Tunnel sameIdOtherHost = target;
        sameIdOtherHost.hostname = QStringLiteral("other");
        TunnelList list(equalCopies, target);
        list.append(sameIdOtherHost);
        loadStored(list);
        Tunnel argument = target;
        if (stale) {
            argument.url = QUrl(announcedAddress);
        }
        m_model->deleteTunnel(argument);
        const TunnelList expected = stale ? list : TunnelList{sameIdOtherHost};
        QCOMPARE(m_model->tunnels(), expected);
        QCOMPARE(storedBytes(), encodeTunnels(expected));
    }

    // Once found, the tool is kept for the rest of the process, as the last check shows.
    void toolInstalledWhileRunning_isUsedByTheNextCreate()
    {
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(path("bin")));
        m_model->setToolPath(std::nullopt);
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY(m_model->statusMessage().startsWith(u"cloudflared was not found"));
        QVERIFY(QDir().mkpath(path("bin")));
        QVERIFY(QFile::copy(standinPath(), path("bin/cloudflared")));
        script("record " + path("argv.json").toUtf8() + "\n");
        m_model->createTunnel(QStringLiteral("localhost"), QStringLiteral("3000"));
        QTRY_VERIFY(QFile::exists(path("argv.json")));
        qputenv("PATH", oldPath);
        QVERIFY(QFile::remove(path("bin/cloudflared")));
        QCOMPARE(m_model->toolPath(), path("bin/cloudflared"));
    }

    void load_storeCases_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("count");
        QTest::newRow("no file") << QByteArray() << 1;
        QTest::newRow("empty array") << QByteArray("[]") << 0;
        QTest::newRow("not JSON") << QByteArray("[{") << 1;
        QTest::newRow("one element without hostname")
            << QByteArray("[{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"hostname\":\"a\","
                          "\"port\":\"1\",\"loading\":false},{\"id\":\"E621E1F8-C36C-495A-93FC-"
                          "0C247A3E6E5A\",\"port\":\"1\",\"loading\":false}]")
            << 1;
        QTest::newRow("address and waiting flag")
            << QByteArray("[{\"id\":\"E621E1F8-C36C-495A-93FC-0C247A3E6E5F\",\"url\":\"https:\\/"
                          "\\/a.trycloudflare.com\",\"hostname\":\"a\",\"port\":\"1\","
                          "\"loading\":true}]")
            << 1;
    }
    void load_storeCases()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, count);
        // Something already listed shows whether a load replaced the list or left it alone.
        script(announcement() + "wait\n");
        m_model->createTunnel(QStringLiteral("h"), QStringLiteral("1"));
        QTRY_COMPARE(m_model->tunnels().size(), 1);
        QVERIFY(QFile::remove(storePath()));
        const bool readable = bytes.isEmpty() || decodeTunnels(bytes).has_value();
        if (!bytes.isEmpty()) {
            writeStore(bytes);
        }
        m_model->loadTunnels();
        QCOMPARE(m_model->tunnels().size(), count);
        QCOMPARE(m_model->statusMessage().contains(u"could not be read"), !readable);
        if (count > 0 && readable && !bytes.isEmpty()) {
            // Loaded records have no address and wait for nothing.
            QVERIFY(!m_model->tunnels().first().url);
            QVERIFY(!m_model->tunnels().first().loading);
        }
    }
};

QTEST_GUILESS_MAIN(ContentModelTest)
#include "ContentModelTest.moc"
