// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/HostCheckProbe.h"
#include "core/Result.h"
#include "core/TunnelChoicesStore.h"
#include "core/TunnelKind.h"
#include "core/TunnelRuns.h"
#include "core/TunnelStore.h"

#include <QAbstractListModel>
#include <QCoreApplication>
#include <QHash>
#include <QSet>

#include <qcoro/qcorotask.h>

#include <functional>

Q_DECLARE_METATYPE(Velumo::TunnelActivity)

namespace Velumo {

// Every listed tunnel, of every kind, in the order the window shows them (named ones first),
// as a list model with a role for everything a view shows. All kinds start, stop and restart
// the same way; each tunnel has one run state: a start while it starts or runs does nothing.
// A change emits dataChanged for its row with the roles that changed.
class TunnelRegistry : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TunnelRegistry)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        KindRole, // TunnelKind as an int
        HostnameRole,
        PortRole,
        AddressRole, // QUrl, null without an address
        LoadingRole, // a start waits for the tool (or for a quick tunnel's address)
        StateRole,   // TunnelState as an int
        ProblemRole,
        RunningRole,
        Http2Role, // the network seems to block QUIC: starting over HTTP/2 may help
        ActivityRole,
        ServiceListeningRole, // bool, null while unknown
        InspectedRole,
        PasswordRole,
        MenuNameRole,
        ProxyAllowedRole,
        AddressKnownRole, // the address stays the same from one start to the next
        DeletableAtCloudflareRole,
        PasswordProblemRole,  // why the password could not be read back; empty when it could
        StartWithVelumoRole,
        CertificateTrustRole, // CertificateTrust as an int
        HostHeaderRole,       // the service gets Host as its own host and port
        HostCheckRole, // DevServer as an int: its host check refuses the tunnel's address; null
    };

    TunnelRegistry(TunnelStore quickStore, NamedTunnelStore namedStore,
                   TunnelChoicesStore choicesStore, std::function<QString()> toolPath,
                   QObject *parent = nullptr);
    ~TunnelRegistry() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    const QList<TunnelEntry> &entries() const { return m_entries; }
    const TunnelEntry *find(const QUuid &id) const;
    QModelIndex indexOf(const QUuid &id) const;
    TunnelList quickTunnels() const;
    NamedTunnelList namedTunnels() const;
    TunnelRuns &runs() { return m_runs; }
    const TunnelRuns &runs() const { return m_runs; }
    const TunnelStore &quickStore() const { return m_quickStore; }

    // Reads both stored lists, every address of a quick tunnel cleared, and the tunnels'
    // choices; a list whose file cannot be read stays as it is.
    void load();
    void saveQuick(const TunnelList &list);
    // Lists a quick tunnel made from an announced address last, and saves.
    void addQuick(const Tunnel &tunnel);
    // Lists a named tunnel first, saves, and runs it.
    void addNamed(const NamedTunnel &tunnel);
    // Removes every quick tunnel equal to `tunnel` field by field, and saves; tools left serving
    // no listed tunnel stop.
    void removeQuickEqualTo(const Tunnel &tunnel);
    // Removes a tunnel of any kind with its runs and choices; a token leaves the secret store.
    void remove(const QUuid &id);

    // What the user chose for the tunnel; every choice off for one never chosen for.
    TunnelChoices choices(const QUuid &id) const { return m_choices.value(id); }
    // Runs the tunnel through the proxy that shows its requests, or stops doing so; a running
    // tunnel starts again (a quick tunnel then gets a new address).
    Done setInspected(const QUuid &id, bool inspect);
    // Visitors must give `password` (HTTP Basic, any user name) or come with the link with key;
    // nothing lifts the gate, at once. A running tunnel not yet behind the proxy starts again
    // through it.
    Done setPassword(const QUuid &id, const std::optional<QString> &password);
    // Whether the tunnel starts when Velumo starts; remembered.
    void setStartWithVelumo(const QUuid &id, bool start);
    // The listed tunnels chosen to start with Velumo, in the list's order.
    QList<QUuid> startingWithVelumo() const;
    // Trusts the certificate the tunnel's https:// service presents now, though this system
    // does not: the tool accepts any from the service (a running tool without that starts
    // again), the proxy exactly this one. Refused while no certificate is known.
    Done trustServiceCertificate(const QUuid &id);
    CertificateTrust certificateTrust(const QUuid &id) const;
    // Trusting the certificate now starts the tunnel again: its tool runs without the proxy
    // and checks certificates.
    bool restartsToTrust(const QUuid &id) const;
    // Sends the service Host as its own host and port (the visitor's in X-Forwarded-Host), or
    // the visitor's again: at once through the proxy, else by starting a running tunnel again.
    // Refused for a dashboard tunnel.
    Done setHostHeader(const QUuid &id, bool on);
    // Asks the tunnel's service once, as a visitor would come, whether its host check refuses
    // the tunnel's address; HostCheckRole follows.
    void checkHost(const QUuid &id);
    // Ends every run and starts one with --protocol http2, from now on.
    void restartOverHttp2(const QUuid &id);
    // `address` with the key that lets a browser in; nothing without a password.
    std::optional<QUrl> linkWithKey(const QUuid &id, const QUrl &address) const;
    // Reads the tunnel's gate back from the secret store unless it is known; refused, saying
    // why, when its password cannot be read.
    QCoro::Task<Done> readGate(QUuid id);

    void setDefaults(NewTunnelDefaults defaults) { m_defaults = defaults; }
    NewTunnelDefaults defaults() const { return m_defaults; }
    // Gives a tunnel about to start for the first time the choices set for new ones.
    // `chosen` in place of the defaults, for a tunnel asked for with its own choices (by a
    // script, which asks for a generated password itself: no passwordGenerated for it).
    TunnelChoices choicesForNew(const QUuid &id, TunnelKind kind,
                                std::optional<NewTunnelDefaults> chosen = std::nullopt);
    // A creation ended without listing the tunnel its choices were made for.
    void forgetUnlistedChoices(const QUuid &id);

    // Starts the tunnel's tool; nothing while the tunnel starts or runs. Returns when the run
    // has ended.
    QCoro::Task<> start(QUuid id);
    // Ends every run of the tunnel, then starts one, as after a change to how it is served.
    void restart(const QUuid &id);
    void restartIfRunning(const QUuid &id);
    // Ends every run of the tunnel; an address that only this run had is cleared.
    void stop(const QUuid &id);
    // A creation's run is over: says how it ended and drops runs nobody needs.
    void runOver(TunnelSession &session);

Q_SIGNALS:
    // Emitted before every write of the quick tunnels' list or one of its records.
    void quickWillChange();
    void message(const QString &text);
    // A restarted tunnel's tool announced its address.
    void tunnelReady(const Velumo::Tunnel &tunnel);
    // A new tunnel got a generated password, and its address is known.
    void passwordGenerated(const QUuid &id);
    // A tunnel's tool registered its first connection to the edge in this run, after its
    // address was known: the address now answers.
    void tunnelReachable(const Velumo::Tunnel &tunnel);

private:
    // The roles a run's progress changes.
    static inline const QList<int> activityRoles{StateRole, ProblemRole, RunningRole, Http2Role,
                                                 ActivityRole};

    // Why visitors could not be made to pass through Velumo's proxy; done when they can.
    Done proxyAllowed(const QUuid &id) const;
    void forgetChoices(const QUuid &id);
    void saveChoices();
    // Makes the tunnel's gate and keeps what it needs in the secret store.
    void makeGate(const QUuid &id, const QString &password);
    QCoro::Task<> keepGate(QUuid id);
    // Reads the gate back if need be, then starts what the run needs from the tunnel's choices.
    QCoro::Task<Result<TunnelRuns::Prepared>> prepareRun(QUuid id);
    void tellGenerated(const QUuid &id);
    qsizetype rowOf(const QUuid &id) const;
    QCoro::Task<> run(QUuid id, bool again);
    void willWrite(qsizetype row);
    void changed(qsizetype row, const QList<int> &roles);
    void changed(const QUuid &id, const QList<int> &roles);
    void setLoading(qsizetype row, bool loading);
    void setAddress(TunnelSession &session, const QUuid &id, const QUrl &url);
    void noteReachable(const QUuid &id);
    // checkHost once the address is listed, saved and told, if the tunnel still runs: the
    // probe's start never delays them.
    void checkHostSoon(const QUuid &id);
    void noteRefusal(const QUuid &id, DevServer server);
    void forgetRefusal(const QUuid &id);
    void removeRow(qsizetype row);
    void forgetRuns();
    void saveNamed();

    TunnelStore m_quickStore;
    NamedTunnelStore m_namedStore;
    TunnelRuns m_runs;
    TunnelChoicesStore m_choicesStore;
    ChoicesList m_choices;
    NewTunnelDefaults m_defaults;
    // Tunnels whose generated password is still to be shown with their address.
    QSet<QUuid> m_generated;
    QList<TunnelEntry> m_entries;
    // Counts the starts and stops of each tunnel: a start that waited sees it was overtaken.
    QHash<QUuid, int> m_starts;
    // Tunnels whose run has been told reachable.
    QHash<QUuid, bool> m_reachable;
    HostCheckProbe m_probe;
    // The development server whose host check refused the tunnel's address in this run.
    QHash<QUuid, DevServer> m_refusals;
};

} // namespace Velumo
