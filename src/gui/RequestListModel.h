// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QSortFilterProxyModel>
#include <QString>

namespace Velumo {

class CaptureStore;
struct CaptureChange;
struct CapturedExchange;

// One tunnel's captured exchanges as table rows, newest first. It keeps only their ids and reads
// everything else from the store, following its changes row by row so that views keep their
// selection and scroll position.
class RequestListModel : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RequestListModel)

public:
    enum Column { TimeColumn, MethodColumn, PathColumn, StatusColumn, DurationColumn, SizeColumn };
    static constexpr int columns = SizeColumn + 1;

    RequestListModel(CaptureStore &store, const QString &tunnel, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    quint64 idAt(int row) const { return m_ids.value(row); }
    int rowOf(quint64 id) const; // -1 when it is not listed
    // nullptr when the row is out of range or the exchange is gone.
    const CapturedExchange *exchangeAt(int row) const;

private:
    void apply(const QString &tunnel, const CaptureChange &change);
    void insert(QList<quint64> ids);
    void remove(QList<quint64> ids);

    CaptureStore &m_store;
    QString m_tunnel;
    QList<quint64> m_ids; // newest (largest) first
};

// Hides the rows that the filter bar leaves out.
class RequestFilterModel final : public QSortFilterProxyModel
{
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setFilter(const QString &path, int statusClass, const QByteArray &method);

protected:
    bool filterAcceptsRow(int row, const QModelIndex &) const override;

private:
    QString m_path;
    int m_statusClass = 0; // 0: any
    QByteArray m_method;   // empty: any
};

} // namespace Velumo
