// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/NamedTunnelModel.h"

#include "TestSupport.h"

#include <QDirIterator>
#include <QJsonArray>

#include <qcoro/qcorotimer.h>

using namespace Qt::StringLiterals;
using namespace Velumo;
using namespace Velumo::Testing;

namespace {

// A desktop's secret store that takes its time to answer, as one does while it unlocks.
class SlowSecretStore : public MemorySecretStore
{
public:
    int reads = 0;
    int answered = 0;

    QCoro::Task<std::optional<QString>> read(QString key) override
    {
        ++reads;
        co_await QCoro::sleepFor(std::chrono::milliseconds(300));
        auto reading = MemorySecretStore::read(key);
        std::optional<QString> secret = co_await std::move(reading);
        ++answered;
        co_return secret;
    }
};

} // namespace

// Sign-in, creation, runs and deletion of named tunnels against the stand-in, which plays each
// subcommand from a script of its own (tests/standin/transcripts/named).
class NamedTunnelModelTest : public QObject, protected ModelTestCase
{
    Q_OBJECT

private:
    QByteArray m_home;
    QByteArray m_dataHome;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    NamedTunnelModel &named() { return m_model->named(); }
    // The script the stand-in plays for `subcommand`: it records its argv, then plays
    // `transcript` from the named transcripts.
    void play(const QString &subcommand, const QString &transcript)
    {
        QVERIFY(writeFile(path(QStringLiteral("scripts/%1.script").arg(subcommand)),
                          "record " + path(subcommand + QStringLiteral(".json")).toUtf8() +
                              "\ninclude " + transcriptPath(u"named/"_s + transcript).toUtf8() +
                              ".script\n"));
    }
    QStringList argv(const QString &subcommand) const
    {
        QStringList all;
        for (const QJsonValue &value :
             readRecord(path(subcommand + QStringLiteral(".json")))[u"argv"].toArray()) {
            all << value.toString();
        }
        return all.mid(1);
    }
    void writeCertificate()
    {
        QVERIFY(QDir().mkpath(path(QStringLiteral("home/.cloudflared"))));
        QVERIFY(writeFile(path(QStringLiteral("home/.cloudflared/cert.pem")), "certificate"));
    }

private Q_SLOTS:
    void init()
    {
        setUpModel();
        m_home = qgetenv("HOME");
        m_dataHome = qgetenv("XDG_DATA_HOME");
        qputenv("HOME", QFile::encodeName(path(QStringLiteral("home"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(path(QStringLiteral("data"))));
        QVERIFY(QDir().mkpath(path(QStringLiteral("scripts"))));
        qputenv("VELUMO_STANDIN_SCRIPT", QFile::encodeName(path(QStringLiteral("scripts"))));
        for (const QString &subcommand :
             {u"login"_s, u"create"_s, u"route"_s, u"run"_s, u"cleanup"_s, u"delete"_s}) {
            play(subcommand, subcommand);
        }
    }
    void cleanup()
    {
        tearDownModel();
        qputenv("HOME", m_home);
        qputenv("XDG_DATA_HOME", m_dataHome);
    }

    void signIn_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<bool>("hadCertificate");
        QTest::addColumn<bool>("openIt");
        QTest::addColumn<QString>("told");
        QTest::newRow("success") << u"login-success"_s << false << false << u"Signed in"_s;
        QTest::newRow("success, before 2025")
            << u"login-success-old"_s << false << false << u"Signed in"_s;
        QTest::newRow("no browser: Velumo opens it")
            << u"login-no-browser"_s << false << true << u"Signed in"_s;
        QTest::newRow("existing certificate")
            << u"login-existing"_s << true << false << u"Already signed in"_s;
        QTest::newRow("failure") << u"login-failed"_s << false << false << u"Sign-in failed"_s;
    }
    void signIn()
    {
        QFETCH(QString, transcript);
        QFETCH(bool, hadCertificate);
        QFETCH(bool, openIt);
        QFETCH(QString, told);
        if (hadCertificate) {
            writeCertificate();
        }
        play(u"login"_s, transcript);
        CloudflareAccount &account = named().account();
        QSignalSpy address(&account, &CloudflareAccount::signInAddressFound);
        account.signIn();
        QCOMPARE(account.state(), CloudflareAccount::State::SigningIn);
        QTRY_VERIFY(account.state() != CloudflareAccount::State::SigningIn);
        QVERIFY2(m_model->statusMessage().startsWith(told), qPrintable(m_model->statusMessage()));
        QCOMPARE(argv(u"login"_s), (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"login"_s}));
        if (!hadCertificate) {
            QCOMPARE(address.count(), 1);
            QVERIFY(address.first().at(0).toUrl().toString().startsWith(
                u"https://dash.cloudflare.com/"));
            QCOMPARE(address.first().at(1).toBool(), openIt);
        }
        QCOMPARE(account.state() == CloudflareAccount::State::SignedIn, told != u"Sign-in failed");
    }

    void signOut_movesTheCertificateAside()
    {
        writeCertificate();
        named().account().check();
        QVERIFY(named().account().signOut());
        QCOMPARE(named().account().state(), CloudflareAccount::State::SignedOut);
        QVERIFY(!QFile::exists(CloudflareAccount::certificatePath()));
        QCOMPARE(QDir(path(u"home/.cloudflared"_s)).entryList({u"cert.pem.signed-out-*"_s}).size(),
                 1);
    }

    void create_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("createTranscript");
        QTest::addColumn<QString>("routeTranscript");
        QTest::addColumn<QString>("told");
        QTest::addColumn<bool>("halfMade");
        QTest::newRow("success") << true << u"create"_s << u"route"_s << QString() << false;
        QTest::newRow("zone appended")
            << true << u"create"_s << u"route-zone-appended"_s << u"Cloudflare routed"_s << false;
        QTest::newRow("name taken") << true << u"create-name-taken"_s << u"route"_s
                                    << u"already exists in your Cloudflare account"_s << false;
        QTest::newRow("not signed in")
            << false << u"create"_s << u"route"_s << u"Sign in to Cloudflare first"_s << false;
        QTest::newRow("flag error") << true << u"incorrect-usage"_s << u"route"_s
                                    << u"Creating the tunnel failed"_s << false;
        QTest::newRow("hostname has a record") << true << u"create"_s << u"route-record-exists"_s
                                               << u"already has a DNS record"_s << true;
    }
    void create()
    {
        QFETCH(bool, signedIn);
        QFETCH(QString, createTranscript);
        QFETCH(QString, routeTranscript);
        QFETCH(QString, told);
        QFETCH(bool, halfMade);
        if (signedIn) {
            writeCertificate();
        }
        play(u"create"_s, createTranscript);
        play(u"route"_s, routeTranscript);
        std::optional<CloudflareTunnels::Outcome> outcome;
        QCoro::connect(named().cloudflare().create(u"blog"_s, u"blog.example.com"_s, u"localhost"_s,
                                                   u"8080"_s),
                       this,
                       [&outcome](const CloudflareTunnels::Outcome &result) { outcome = result; });
        QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 10000);
        QVERIFY2(told.isEmpty() ? outcome->message.isEmpty() : outcome->message.contains(told),
                 qPrintable(outcome->message));
        QCOMPARE(outcome->halfMade.has_value(), halfMade);
        QVERIFY(!QFile::exists(storePath()));
        if (!outcome->ok) {
            QVERIFY(named().tunnels().isEmpty());
            return;
        }
        const NamedTunnel tunnel = named().tunnels().first();
        QCOMPARE(tunnel.tunnelId, u"c56f8d78-0816-4a7b-917c-4975a2aa186b"_s);
        QCOMPARE(tunnel.publicHostname,
                 told.isEmpty() ? u"blog.example.com"_s : u"blog.example.com.example.com"_s);
        const QString file = NamedTunnelModel::credentialsFile(tunnel);
        QVERIFY(file.startsWith(path(u"data/velumo/credentials/"_s)));
        // Owner, group and others; what "user" means depends on who runs the test.
        const auto mode = [](const QString &name) {
            return QFileInfo(name).permissions() & 0x7077;
        };
        QCOMPARE(mode(file), QFile::ReadOwner);
        QCOMPARE(mode(NamedTunnelModel::credentialsFolder()),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(argv(u"create"_s),
                 (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"create"_s,
                              u"--credentials-file"_s, file, u"--"_s, u"blog"_s}));
        QCOMPARE(argv(u"route"_s),
                 (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"route"_s, u"dns"_s, u"--"_s,
                              tunnel.tunnelId, u"blog.example.com"_s}));
        QCOMPARE(decodeNamedTunnels(readAll(path(u"velumo/namedTunnels.json"_s))).toOptional(),
                 std::optional<NamedTunnelList>(named().tunnels()));
        // Then it runs, with its address known from the start.
        QTRY_COMPARE(named().activity(tunnel.id).connections, 4);
        QCOMPARE(named().activity(tunnel.id).state, TunnelState::Connected);
        QCOMPARE(argv(u"run"_s),
                 (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"run"_s, u"--url"_s,
                              u"localhost:8080"_s, u"--credentials-file"_s, file, u"--"_s,
                              tunnel.tunnelId}));
    }

    void run_followsTheConnections()
    {
        NamedTunnel tunnel;
        tunnel.tunnelId = u"c56f8d78-0816-4a7b-917c-4975a2aa186b"_s;
        QVERIFY(QDir().mkpath(path(u"velumo"_s)));
        QVERIFY(writeFile(path(u"velumo/namedTunnels.json"_s), encodeNamedTunnels({tunnel})));
        m_model->loadTunnels();
        QCOMPARE(named().tunnels(), NamedTunnelList{tunnel});
        // Without its credentials file the tool ends at once and says why.
        named().start(tunnel);
        QTRY_COMPARE(named().activity(tunnel.id).state, TunnelState::Ended);
        QVERIFY(named().activity(tunnel.id).log->lines().join(u'\n').contains(u"doesn't exist"));

        QVERIFY(QDir().mkpath(NamedTunnelModel::credentialsFolder()));
        QVERIFY(writeFile(NamedTunnelModel::credentialsFile(tunnel), "{}"));
        play(u"run"_s, u"run-connection-drops"_s);
        QList<int> connections;
        connect(&m_model->registry(), &TunnelRegistry::dataChanged, this,
                [&] { connections << named().activity(tunnel.id).connections; });
        named().start(tunnel);
        // Four up, one down, that one up again.
        QTRY_COMPARE(connections.mid(connections.indexOf(4)), (QList<int>{4, 3, 4}));
        QCOMPARE(named().activity(tunnel.id).state, TunnelState::Connected);
        named().stop(tunnel);
        QCOMPARE(named().activity(tunnel.id).state, TunnelState::Stopped);
        QTRY_COMPARE(m_model->runningToolCount(), 0);
    }

    void deleteOnCloudflare_removesTunnelAndCredentials()
    {
        writeCertificate();
        std::optional<CloudflareTunnels::Outcome> outcome;
        QCoro::connect(named().cloudflare().create(u"blog"_s, u"blog.example.com"_s, u"localhost"_s,
                                                   u"8080"_s),
                       this,
                       [&outcome](const CloudflareTunnels::Outcome &result) { outcome = result; });
        QTRY_VERIFY(outcome && outcome->ok);
        const NamedTunnel tunnel = named().tunnels().first();
        QTRY_VERIFY(named().activity(tunnel.id).running);
        outcome.reset();
        QCoro::connect(named().cloudflare().deleteOnCloudflare(tunnel), this,
                       [&outcome](const CloudflareTunnels::Outcome &result) { outcome = result; });
        QTRY_VERIFY(outcome.has_value());
        QVERIFY2(outcome->ok && outcome->message.contains(u"DNS record"),
                 qPrintable(outcome->message));
        QCOMPARE(argv(u"cleanup"_s), (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"cleanup"_s,
                                                  u"--"_s, tunnel.tunnelId}));
        QCOMPARE(
            argv(u"delete"_s),
            (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"delete"_s, u"--credentials-file"_s,
                         NamedTunnelModel::credentialsFile(tunnel), u"--"_s, tunnel.tunnelId}));
        QVERIFY(named().tunnels().isEmpty());
        QVERIFY(!QFile::exists(NamedTunnelModel::credentialsFile(tunnel)));
        QTRY_COMPARE(m_model->runningToolCount(), 0);
    }

    void token_reachesTheToolInItsEnvironmentOnly()
    {
        const QString token = u"eyJhIjoiZTc1ZWVjZmVhMDc1N2IzNWVlYjcyMjY1ZDIyZjBiNGQifQ"_s;
        play(u"run"_s, u"run-token"_s);
        named().addToken(u"shop"_s, token, QString());
        QTRY_COMPARE(named().tunnels().size(), 1);
        const NamedTunnel tunnel = named().tunnels().first();
        QCOMPARE(tunnel.kind, NamedTunnel::Kind::Token);
        QTRY_VERIFY(named().activity(tunnel.id).connections > 0);
        const QJsonObject record = readRecord(path(u"run.json"_s));
        QCOMPARE(record[u"env"][u"TUNNEL_TOKEN"].toString(), token);
        QCOMPARE(argv(u"run"_s), (QStringList{u"tunnel"_s, u"--no-autoupdate"_s, u"run"_s}));
        // Its service is set at Cloudflare: neither the proxy nor the Host is Velumo's to change.
        TunnelRegistry &options = m_model->registry();
        for (const Done &refused :
             {options.setInspected(tunnel.id, true), options.setHostHeader(tunnel.id, true)}) {
            QVERIFY2(refused.reason().startsWith(u"A tunnel from the dashboard reaches"_s),
                     qPrintable(refused.reason()));
        }
        QVERIFY(!QFile::exists(path(u"velumo/tunnelOptions.json"_s)));
        QCOMPARE(m_model->runningToolCount(), 1);
        // Nowhere in Velumo's files: the list and anything beside it.
        QFile::remove(path(u"run.json"_s));
        for (const QString &folder : {path(u"velumo"_s), path(u"data"_s)}) {
            QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                QVERIFY2(!readAll(files.next()).contains(token.toUtf8()),
                         qPrintable(files.filePath()));
            }
        }
        // Deleted with its record: a new record under the same name cannot run.
        named().remove(tunnel);
        QTRY_COMPARE(m_model->runningToolCount(), 0);
        named().add(tunnel);
        QTRY_VERIFY(m_model->statusMessage().contains(u"not in the secret store"));
    }

    // A second start while the first waits for the token starts no second tool, and Stop
    // leaves none running.
    void token_startedAgainWhileItsSecretIsRead_runsOneTool()
    {
        auto secrets = std::make_shared<SlowSecretStore>();
        named().setSecretStore(secrets);
        play(u"run"_s, u"run-token"_s);
        named().addToken(u"shop"_s, u"token"_s, QString());
        QTRY_COMPARE(named().tunnels().size(), 1);
        const NamedTunnel tunnel = named().tunnels().first();
        // Starting: its restart control stays disabled until the tool runs.
        QVERIFY(m_model->registry().indexOf(tunnel.id).data(TunnelRegistry::LoadingRole).toBool());
        named().start(tunnel);
        QTRY_VERIFY(named().activity(tunnel.id).running);
        QTRY_COMPARE(secrets->answered, secrets->reads);
        QCOMPARE(secrets->reads, 1);
        QCOMPARE(m_model->runningToolCount(), 1);
        named().stop(tunnel);
        QTRY_COMPARE(m_model->runningToolCount(), 0);
        QCOMPARE(named().activity(tunnel.id).state, TunnelState::Stopped);
    }

    void existingTunnels_areListed_andNeedTheirCredentials_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<int>("count");
        QTest::newRow("populated") << u"list"_s << 2;
        QTest::newRow("empty, newer tools") << u"list-null"_s << 0;
        QTest::newRow("empty, older tools") << u"list-empty-old"_s << 0;
    }
    void existingTunnels_areListed_andNeedTheirCredentials()
    {
        QFETCH(QString, transcript);
        QFETCH(int, count);
        writeCertificate();
        play(u"list"_s, transcript);
        std::optional<CloudflareTunnels::Listing> listing;
        QCoro::connect(named().cloudflare().list(), this,
                       [&listing](const CloudflareTunnels::Listing &result) { listing = result; });
        QTRY_VERIFY(listing.has_value());
        QVERIFY2(listing->ok, qPrintable(listing->message));
        QCOMPARE(listing->tunnels.size(), count);
        QCOMPARE(argv(u"list"_s).mid(2), (QStringList{u"list"_s, u"--output"_s, u"json"_s}));
        if (count == 0) {
            return;
        }
        const CloudflareTunnels::AccountTunnel existing = listing->tunnels.first();
        CloudflareTunnels::Outcome added = named().cloudflare().addExisting(
            existing, u"shop.example.com"_s, u"localhost"_s, u"8000"_s);
        QVERIFY(!added.ok);
        QVERIFY2(added.message.contains(u"Bring it from the machine"), qPrintable(added.message));
        // Made on this machine: cloudflared left the file beside the certificate.
        QVERIFY(writeFile(path(u"home/.cloudflared/"_s + existing.id + u".json"_s), "{}"));
        added = named().cloudflare().addExisting(existing, u"shop.example.com"_s, u"localhost"_s,
                                                 u"8000"_s);
        QVERIFY2(added.ok, qPrintable(added.message));
        QCOMPARE(named().tunnels().first().tunnelId, existing.id);
        QVERIFY(QFile::exists(NamedTunnelModel::credentialsFile(named().tunnels().first())));
    }
};

QTEST_GUILESS_MAIN(NamedTunnelModelTest)
#include "NamedTunnelModelTest.moc"
