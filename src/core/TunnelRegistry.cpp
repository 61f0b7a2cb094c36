// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/TunnelRegistry.h"

namespace Velumo {

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
    connect(&m_runs, &TunnelRuns::serviceTlsChanged, this,
            [this](const QUuid &id) { changed(id, {CertificateTrustRole}); });
    connect(&m_runs, &TunnelRuns::hostCheckRefused, this, &TunnelRegistry::noteRefusal);
    connect(&m_probe, &HostCheckProbe::checked, this,
            [this](const QUuid &id, std::optional<DevServer> server) {
                if (server) {
                    noteRefusal(id, *server);
                }
            });
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
    case StartWithVelumoRole:
        return m_choices.value(entry.id()).startWithVelumo;
    case CertificateTrustRole:
        return int(certificateTrust(entry.id()));
    case HostHeaderRole:
        return m_choices.value(entry.id()).hostHeader;
    case HostCheckRole: {
        const auto refused = m_refusals.constFind(entry.id());
        return refused == m_refusals.cend() ? QVariant() : QVariant(int(*refused));
    }
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
                                "passwordProblem", "startWithVelumo", "certificateTrust",
                                "hostHeader",      "hostCheck"};
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
    checkHostSoon(tunnel.id);
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

} // namespace Velumo
