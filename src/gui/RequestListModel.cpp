// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RequestListModel.h"

#include "proxy/RequestRecorder.h"

#include <QDateTime>
#include <QFont>
#include <QLocale>

#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

// Where `id` is or would go in a list kept newest (largest) first.
qsizetype positionOf(const QList<quint64> &ids, quint64 id)
{
    return std::lower_bound(ids.cbegin(), ids.cend(), id, std::greater<>()) - ids.cbegin();
}

QString duration(qint64 msecs)
{
    if (msecs < 0) {
        return u"…"_s;
    }
    if (msecs < 1000) {
        return RequestListModel::tr("%1 ms").arg(msecs);
    }
    return RequestListModel::tr("%1 s").arg(QLocale().toString(msecs / 1000.0, 'f', 2));
}

} // namespace

RequestListModel::RequestListModel(CaptureStore &store, const QString &tunnel, QObject *parent)
    : QAbstractTableModel(parent)
    , m_store(store)
    , m_tunnel(tunnel)
{
    m_ids = store.exchanges(tunnel);
    std::reverse(m_ids.begin(), m_ids.end());
    connect(&store, &CaptureStore::changed, this, &RequestListModel::apply);
}

int RequestListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_ids.size());
}

int RequestListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columns;
}

int RequestListModel::rowOf(quint64 id) const
{
    const qsizetype at = positionOf(m_ids, id);
    return at < m_ids.size() && m_ids.at(at) == id ? int(at) : -1;
}

const CapturedExchange *RequestListModel::exchangeAt(int row) const
{
    return row >= 0 && row < m_ids.size() ? m_store.exchange(m_ids.at(row)) : nullptr;
}

QVariant RequestListModel::data(const QModelIndex &index, int role) const
{
    const CapturedExchange *exchange = index.isValid() ? exchangeAt(index.row()) : nullptr;
    if (!exchange) {
        return {};
    }
    const auto column = Column(index.column());
    const QString method = QString::fromLatin1(exchange->request.method);
    if (role == Qt::DisplayRole) {
        switch (column) {
        case TimeColumn:
            return QDateTime::fromMSecsSinceEpoch(exchange->startedMsecs).toString(u"HH:mm:ss"_s);
        case MethodColumn:
            return exchange->replay ? u"↻ "_s + method : method;
        case PathColumn:
            return QString::fromUtf8(exchange->request.target);
        case StatusColumn:
            if (exchange->response.status == 0) {
                return exchange->finished ? u"—"_s : u"…"_s;
            }
            // A refusal repeated shows how often.
            return QString(QString::number(exchange->response.status) +
                           (exchange->times > 1 ? u" ×"_s + QString::number(exchange->times)
                                                : QString()));
        case DurationColumn:
            return duration(exchange->durationMsecs);
        case SizeColumn:
            return QLocale().formattedDataSize(exchange->responseSize);
        }
    } else if (role == Qt::AccessibleTextRole) {
        if (column == MethodColumn && exchange->replay) {
            return tr("%1, replay").arg(method);
        }
        if (column == StatusColumn && exchange->response.status == 0) {
            return exchange->finished ? tr("no response") : tr("waiting for the response");
        }
        if (column == StatusColumn && exchange->byProxy) {
            return tr("%1, answered by Velumo, %n time(s)", nullptr, int(exchange->times))
                .arg(exchange->response.status);
        }
    } else if (role == Qt::ToolTipRole) {
        if (column == TimeColumn) {
            return QLocale().toString(QDateTime::fromMSecsSinceEpoch(exchange->startedMsecs),
                                      QLocale::LongFormat);
        }
        if (column == MethodColumn && exchange->replay) {
            return tr("Sent again from Velumo, not by a visitor");
        }
        if (column == PathColumn) {
            return QString::fromUtf8(exchange->request.target);
        }
        if (column == StatusColumn && exchange->byProxy) {
            return tr("Answered by Velumo's proxy, not by the service; %n time(s) to this "
                      "visitor",
                      nullptr, int(exchange->times));
        }
        if (column == StatusColumn && !exchange->ended.isEmpty()) {
            return QString::fromUtf8(exchange->ended);
        }
    } else if (role == Qt::FontRole && column == StatusColumn && exchange->byProxy) {
        QFont font;
        font.setItalic(true); // answered by the proxy itself, as the tooltip says
        return font;
    } else if (role == Qt::TextAlignmentRole && column >= StatusColumn) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant RequestListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (Column(section)) {
    case TimeColumn:
        return tr("Time");
    case MethodColumn:
        return tr("Method");
    case PathColumn:
        return tr("Path");
    case StatusColumn:
        return tr("Status");
    case DurationColumn:
        return tr("Duration");
    case SizeColumn:
        return tr("Size");
    }
    return {};
}

void RequestListModel::apply(const QString &tunnel, const CaptureChange &change)
{
    if (tunnel != m_tunnel) {
        return;
    }
    remove(change.removed);
    insert(change.added);
    for (const quint64 id : change.updated) {
        if (const int row = rowOf(id); row >= 0) {
            Q_EMIT dataChanged(index(row, 0), index(row, columns - 1));
        }
    }
}

void RequestListModel::insert(QList<quint64> ids)
{
    std::sort(ids.begin(), ids.end(), std::greater<>());
    // New exchanges are the newest, so this is one block at the top; anything else still lands
    // in order.
    for (qsizetype first = 0; first < ids.size();) {
        const qsizetype at = positionOf(m_ids, ids.at(first));
        if (at < m_ids.size() && m_ids.at(at) == ids.at(first)) {
            ++first; // listed already
            continue;
        }
        qsizetype end = first + 1;
        while (end < ids.size() && ids.at(end) != ids.at(end - 1) &&
               (at == m_ids.size() || ids.at(end) > m_ids.at(at))) {
            ++end;
        }
        beginInsertRows({}, int(at), int(at + end - first - 1));
        m_ids.insert(at, end - first, 0);
        std::copy(ids.cbegin() + first, ids.cbegin() + end, m_ids.begin() + at);
        endInsertRows();
        first = end;
    }
}

void RequestListModel::remove(QList<quint64> ids)
{
    QList<int> rows;
    for (const quint64 id : ids) {
        if (const int row = rowOf(id); row >= 0) {
            rows.append(row);
        }
    }
    std::sort(rows.begin(), rows.end(), std::greater<>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // From the bottom up, a run of adjacent rows at a time, so no row moves before its turn.
    for (qsizetype i = 0; i < rows.size();) {
        qsizetype end = i + 1;
        while (end < rows.size() && rows.at(end) == rows.at(end - 1) - 1) {
            ++end;
        }
        const int last = rows.at(i);
        const int first = rows.at(end - 1);
        beginRemoveRows({}, first, last);
        m_ids.remove(first, last - first + 1);
        endRemoveRows();
        i = end;
    }
}

void RequestFilterModel::setFilter(const QString &path, int statusClass, const QByteArray &method)
{
    m_path = path;
    m_statusClass = statusClass;
    m_method = method;
    invalidateRowsFilter();
}

bool RequestFilterModel::filterAcceptsRow(int row, const QModelIndex &) const
{
    const CapturedExchange *exchange =
        static_cast<const RequestListModel *>(sourceModel())->exchangeAt(row);
    return exchange && (m_statusClass == 0 || exchange->response.status / 100 == m_statusClass) &&
           (m_method.isEmpty() || exchange->request.method == m_method) &&
           (m_path.isEmpty() ||
            QString::fromUtf8(exchange->request.target).contains(m_path, Qt::CaseInsensitive));
}

} // namespace Velumo
