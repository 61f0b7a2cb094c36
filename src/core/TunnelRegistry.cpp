// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelRegistry.h"

#include "core/Coroutine.h"

#include <QPointer>

namespace Velumo {

namespace {

const QList<int> activityRoles{TunnelRegistry::StateRole, TunnelRegistry::ProblemRole,
                               TunnelRegistry::RunningRole, TunnelRegistry::Http2Role,
                               TunnelRegistry::ActivityRole};

} // namespace

TunnelRegistry::TunnelRegistry(TunnelStore quickStore, NamedTunnelStore namedStore,
                               TunnelChoicesStore choicesStore, std::function<QString()> toolPath,
                               QObject *parent)
    : QAbstractListModel(parent)
    , m_quickStore(std::move(quickStore))
    , m_namedStore(std::move(namedStore))
    , m_runs(std::move(toolPath))
    , m_choicesStore(std::move(choicesStore))
{
    connect(&m_runs, &TunnelRuns::message, this, &TunnelRegistry::message);
    connect(&m_runs, &TunnelRuns::activityChanged, this, [this](const QUuid &id) {
        changed(id, activityRoles);
        noteReachable(id);
    });
    connect(&m_runs, &TunnelRuns::serviceListeningChanged, this,
            [this](const QUuid &id) { changed(id, {ServiceListeningRole}); });
}

// Coroutines still waiting on a run are resumed from the event loop, see that their registry
// is gone and return.
TunnelRegistry::~TunnelRegistry() = default;

int TunnelRegistry::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant TunnelRegistry::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const TunnelEntry &entry = m_entries[index.row()];
    const KindTraits &kind = traits(entry.kind);
    switch (role) {
    case Qt::DisplayRole:
        return KindTexts::label(entry);
    case IdRole:
        return entry.id();
    case KindRole:
        return int(entry.kind);
    case HostnameRole:
        return entry.tunnel.hostname;
    case PortRole:
        return entry.tunnel.port;
    case AddressRole:
        return entry.tunnel.url ? QVariant(*entry.tunnel.url) : QVariant();
    case LoadingRole:
        return entry.tunnel.loading;
    case MenuNameRole:
        return KindTexts::menuName(entry);
    case ProxyAllowedRole:
        return kind.proxyAllowed;
    case AddressKnownRole:
        return kind.addressKnown;
    case DeletableAtCloudflareRole:
        return kind.deletableAtCloudflare;
    case InspectedRole:
        return m_choices.value(entry.id()).inspect;
    case PasswordRole:
        return m_choices.value(entry.id()).password;
    case PasswordProblemRole:
        return m_choices.value(entry.id()).gateProblem;
    case ServiceListeningRole: {
        const std::optional<bool> listening = m_runs.serviceListening(entry.id());
        return listening ? QVariant(*listening) : QVariant();
    }
    default:
        break;
    }
    TunnelActivity activity = m_runs.activity(entry.id());
    if (const QString problem = m_choices.value(entry.id()).gateProblem;
        !problem.isEmpty() && !activity.running) {
        activity.problem = problem;
    }
    switch (role) {
    case StateRole:
        return int(activity.state);
    case ProblemRole:
        return activity.problem;
    case RunningRole:
        return activity.running;
    case Http2Role:
        return activity.quicBlocked;
    case ActivityRole:
        return QVariant::fromValue(activity);
    default:
        return {};
    }
}

QHash<int, QByteArray> TunnelRegistry::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    const char *const ours[] = {"id",           "kind",         "hostname",
                                "port",         "address",      "loading",
                                "state",        "problem",      "running",
                                "http2",        "activity",     "serviceListening",
                                "inspected",    "passwordOn",   "menuName",
                                "proxyAllowed", "addressKnown", "deletableAtCloudflare",
                                "passwordProblem"};
    for (int i = 0; i < int(std::size(ours)); ++i) {
        names.insert(IdRole + i, ours[i]);
    }
    return names;
}

qsizetype TunnelRegistry::rowOf(const QUuid &id) const
{
    const auto found = std::ranges::find(m_entries, id, &TunnelEntry::id);
    return found == m_entries.cend() ? -1 : found - m_entries.cbegin();
}

const TunnelEntry *TunnelRegistry::find(const QUuid &id) const
{
    const qsizetype row = rowOf(id);
    return row < 0 ? nullptr : &m_entries[row];
}

QModelIndex TunnelRegistry::indexOf(const QUuid &id) const
{
    const qsizetype row = rowOf(id);
    return row < 0 ? QModelIndex() : index(int(row));
}

TunnelList TunnelRegistry::quickTunnels() const
{
    return quickPart(m_entries);
}

NamedTunnelList TunnelRegistry::namedTunnels() const
{
    return namedPart(m_entries);
}

void TunnelRegistry::willWrite(qsizetype row)
{
    if (traits(m_entries[row].kind).storedAsQuick) {
        Q_EMIT quickWillChange();
    }
}

void TunnelRegistry::changed(qsizetype row, const QList<int> &roles)
{
    const QModelIndex at = index(int(row));
    Q_EMIT dataChanged(at, at, roles);
}

void TunnelRegistry::changed(const QUuid &id, const QList<int> &roles)
{
    if (const qsizetype row = rowOf(id); row >= 0) {
        changed(row, roles);
    }
}

void TunnelRegistry::setLoading(qsizetype row, bool loading)
{
    willWrite(row);
    m_entries[row].tunnel.loading = loading;
    changed(row, {LoadingRole});
}

void TunnelRegistry::load()
{
    Result<std::optional<NamedTunnelList>> namedLoad = m_namedStore.load();
    if (!namedLoad) {
        Q_EMIT message(namedLoad.reason());
    }
    Result<std::optional<TunnelList>> quickLoad = m_quickStore.load();
    if (!quickLoad) {
        Q_EMIT message(quickLoad.reason());
    }
    if (Result<std::optional<ChoicesList>> choices = m_choicesStore.load(); !choices) {
        Q_EMIT message(choices.reason());
    } else if (*choices) {
        m_choices = std::move(**choices);
    }
    std::optional<NamedTunnelList> named = namedLoad ? std::move(*namedLoad) : std::nullopt;
    std::optional<TunnelList> quick = quickLoad ? std::move(*quickLoad) : std::nullopt;
    if (!named && !quick) {
        return;
    }
    QList<TunnelEntry> entries = loadedList(m_entries, named, quick);
    if (quick) {
        Q_EMIT quickWillChange();
    }
    beginResetModel();
    m_entries = std::move(entries);
    endResetModel();
}

void TunnelRegistry::saveQuick(const TunnelList &list)
{
    if (const QString problem = m_quickStore.save(list); !problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

void TunnelRegistry::saveNamed()
{
    if (const QString problem = m_namedStore.save(namedTunnels()); !problem.isEmpty()) {
        Q_EMIT message(problem);
    }
}

void TunnelRegistry::addQuick(const Tunnel &tunnel)
{
    Q_EMIT quickWillChange();
    beginInsertRows({}, int(m_entries.size()), int(m_entries.size()));
    m_entries.append(TunnelEntry::quick(tunnel));
    endInsertRows();
    saveQuick(quickTunnels());
    tellGenerated(tunnel.id);
}

void TunnelRegistry::addNamed(const NamedTunnel &tunnel)
{
    beginInsertRows({}, 0, 0);
    m_entries.prepend(TunnelEntry::named(tunnel));
    endInsertRows();
    saveNamed();
    choicesForNew(tunnel.id, m_entries.first().kind);
    tellGenerated(tunnel.id);
    start(tunnel.id);
}

void TunnelRegistry::removeRow(qsizetype row)
{
    beginRemoveRows({}, int(row), int(row));
    m_entries.removeAt(row);
    endRemoveRows();
}

void TunnelRegistry::removeQuickEqualTo(const Tunnel &argument)
{
    // The argument may refer into the list that is about to change.
    const Tunnel tunnel = argument;
    Q_EMIT quickWillChange();
    for (qsizetype row = m_entries.size() - 1; row >= 0; --row) {
        if (traits(m_entries[row].kind).storedAsQuick && m_entries[row].tunnel == tunnel) {
            removeRow(row);
        }
    }
    if (rowOf(tunnel.id) < 0) {
        forgetChoices(tunnel.id);
    }
    // Tools left serving no listed tunnel stop; a creation still waiting serves none yet.
    for (const auto &session : m_runs) {
        for (const QUuid &id : session->served()) {
            if (rowOf(id) < 0) {
                session->release(id, false);
            }
        }
    }
    forgetRuns();
    saveQuick(quickTunnels());
}

void TunnelRegistry::remove(const QUuid &id)
{
    const qsizetype row = rowOf(id);
    if (row < 0) {
        return;
    }
    const TunnelEntry entry = m_entries[row];
    const KindTraits &kind = traits(entry.kind);
    if (kind.storedAsQuick) {
        removeQuickEqualTo(entry.tunnel);
        return;
    }
    stop(id);
    removeRow(row);
    saveNamed();
    forgetChoices(id);
    if (kind.tokenInEnvironment) {
        const QString key = TunnelRuns::secretKey(id);
        m_runs.secrets()->remove(key);
        m_runs.sessionSecrets().remove(key);
    }
    forgetRuns();
}

void TunnelRegistry::forgetRuns()
{
    m_runs.forget([this](const QUuid &id) { return rowOf(id) >= 0; });
}

QCoro::Task<> TunnelRegistry::start(QUuid id)
{
    return run(id, false);
}

void TunnelRegistry::restart(const QUuid &id)
{
    startOwned(this, run(id, true));
}

void TunnelRegistry::restartIfRunning(const QUuid &id)
{
    if (const TunnelEntry *entry = find(id);
        entry && (entry->tunnel.loading || m_runs.activity(id).running)) {
        restart(id);
    }
}

QCoro::Task<> TunnelRegistry::run(QUuid id, bool again)
{
    QPointer<TunnelRegistry> self(this);
    qsizetype row = rowOf(id);
    if (row < 0 || (!again && (m_entries[row].tunnel.loading || m_runs.activity(id).running))) {
        co_return;
    }
    const int serial = ++m_starts[id];
    if (again) {
        m_runs.releaseAll(id, false);
    }
    setLoading(row, true);
    auto preparing = prepareRun(id);
    Result<TunnelRuns::Prepared> prepared = co_await std::move(preparing);
    // Deleted, stopped or started again meanwhile: the later word wins.
    row = self ? rowOf(id) : -1;
    if (row < 0 || m_starts.value(id) != serial) {
        co_return;
    }
    if (!prepared) {
        setLoading(row, false);
        Q_EMIT message(prepared.reason());
        co_return;
    }
    // A run that ended by itself is replaced; one still serving would keep an old address.
    m_runs.releaseAll(id, false);
    TunnelSession &session = m_runs.launch(m_entries[row], std::move(*prepared));
    connect(&session, &TunnelSession::addressAnnounced, this,
            [this, &session, id](const QUrl &url) { setAddress(session, id, url); });
    if (traits(m_entries[row].kind).addressKnown) {
        setLoading(row, false);
    }
    changed(row, activityRoles);
    forgetRuns();

    QPointer<TunnelSession> tool(&session);
    co_await session.readOutput();
    if (!self || !tool) {
        co_return;
    }
    if (!session.announced() && m_runs.latestFor(id) == &session) {
        if (row = rowOf(id); row >= 0 && m_entries[row].tunnel.loading) {
            setLoading(row, false);
        }
        if (const QString message = session.endedWithoutAddressMessage(); !message.isEmpty()) {
            Q_EMIT this->message(message);
        }
    }
    runOver(session);
}

void TunnelRegistry::setAddress(TunnelSession &session, const QUuid &id, const QUrl &url)
{
    // The list may have changed while the tool started: the record is found again, by id.
    const qsizetype row = rowOf(id);
    if (row < 0 || m_runs.latestFor(id) != &session || !session.activity(id).running) {
        return;
    }
    willWrite(row);
    m_entries[row].tunnel.url = url;
    willWrite(row);
    m_entries[row].tunnel.loading = false;
    changed(row, QList<int>{AddressRole, LoadingRole} + activityRoles);
    Q_EMIT tunnelReady(m_entries[row].tunnel);
    tellGenerated(id);
    noteReachable(id);
}

void TunnelRegistry::noteReachable(const QUuid &id)
{
    const qsizetype row = rowOf(id);
    if (row < 0) {
        return;
    }
    const Tunnel &tunnel = m_entries[row].tunnel;
    const TunnelState state = m_runs.activity(id).state;
    if (state == TunnelState::Connected && tunnel.url) {
        // Once per run: a connection lost and made again is the same tunnel, still shared.
        if (!std::exchange(m_reachable[id], true)) {
            Q_EMIT tunnelReachable(tunnel);
        }
    } else if (state != TunnelState::Announced) {
        m_reachable.remove(id);
    }
}

void TunnelRegistry::stop(const QUuid &id)
{
    ++m_starts[id];
    m_runs.releaseAll(id, true);
    const qsizetype row = rowOf(id);
    if (row < 0) {
        return;
    }
    changed(row, activityRoles);
    Tunnel &tunnel = m_entries[row].tunnel;
    if (!traits(m_entries[row].kind).addressKnown && tunnel.url) {
        // Its address ended with its tool.
        willWrite(row);
        tunnel.url.reset();
        tunnel.loading = false;
        changed(row, {AddressRole, LoadingRole});
    } else if (tunnel.loading) {
        setLoading(row, false);
    }
}

void TunnelRegistry::runOver(TunnelSession &session)
{
    // A tunnel that was serving ended on its own: its address no longer answers.
    if (session.state() == TunnelState::Ended) {
        for (const QUuid &id : session.served()) {
            const TunnelEntry *entry = find(id);
            if (m_runs.latestFor(id) == &session && entry && entry->tunnel.url) {
                Q_EMIT message(session.endedMessage());
            }
        }
    }
    forgetRuns();
}

} // namespace Velumo
