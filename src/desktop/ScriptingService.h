// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>
#include <QVariantMap>

#include <optional>

using QVariantMapList = QList<QVariantMap>;

namespace Velumo {

class ContentModel;
struct Tunnel;

// The running app's tunnels for scripts, as org.velumo.Velumo1 on the session bus (its adaptor
// is generated from org.velumo.Velumo1.xml). Nothing here opens a window or a dialog: what
// would need one is refused with a reason. The names of its errors, fields and values are a
// contract with scripts (docs/automation.md).
class ScriptingService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ScriptingService)

public:
    static constexpr auto interfaceName = "org.velumo.Velumo1";

    explicit ScriptingService(ContentModel &model, QObject *parent = nullptr);
    ~ScriptingService() override;


public Q_SLOTS:
    QVariantMapList List();
    QString Share(const QString &hostname, const QString &port, const QVariantMap &options);
    QString Password(const QString &id, QString &linkWithKey);
    void Start(const QString &id);
    void Stop(const QString &id);
    void Delete(const QString &id);
    void SetStartWithVelumo(const QString &id, bool start);

Q_SIGNALS:
    void TunnelChanged(const QString &id);
    void TunnelReady(const QString &id, const QString &address);
    void TunnelFailed(const QString &id, const QString &reason);

private:
    // The listed tunnel with this id, or nothing after a NotFound error sent to the caller.
    std::optional<QUuid> listed(const QString &id);
    // The fields of one listed tunnel, as List() gives them.
    QVariantMap describe(int row) const;
    // True when the tool can be started; else a ToolMissing error goes to the caller.
    bool toolFound();
    void refuse(const char *error, const QString &message);
    void rowsChanged(int first, int last);

    ContentModel &m_model;
    // Tunnels from Share not yet reachable nor failed.
    QSet<QUuid> m_pending;
};

} // namespace Velumo
