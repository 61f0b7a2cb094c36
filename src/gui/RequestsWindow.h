// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/RequestRecorder.h"

#include <QList>
#include <QPersistentModelIndex>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace Velumo {

class RequestFilterModel;
class RequestListModel;

// A tunnel's captured requests, live and newest first, filtered by path, status class and
// method; the selected one's request and response below, bodies decoded. Requests can be sent
// again to the local service, as they were or edited first, and the list can be cleared.
class RequestsWindow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RequestsWindow)

public:
    // `tunnel`: the store's key for the tunnel; `service`: where replays go.
    RequestsWindow(RequestRecorder &recorder, const QString &tunnel, const QString &title,
                   const ProxyTarget &service, QWidget *parent = nullptr);

    // The tunnel's link with key while it has a password; "Copy link with key" copies it
    // leading to the selected request's path.
    void setLinkWithKey(std::function<std::optional<QUrl>()> link);
    // The certificate the user trusted for the service (SHA-256), asked at each replay: it
    // may be trusted while the window is open.
    void setTrustedCertificate(std::function<QByteArray()> fingerprint);

private:
    // One side of the selected exchange: its head and decoded body.
    struct Pane {
        QWidget *widget = nullptr;
        QPlainTextEdit *text = nullptr;
        QLabel *image = nullptr;
        QLabel *note = nullptr;
    };

    Pane makePane(const QString &name, const QString &title);
    void fill(Pane &pane, const QByteArray &head, const DecodedBody &body, bool captureCut,
              const QString &waiting);
    void selectionChanged();
    void storeChanged(const QString &tunnel, const CaptureChange &change);
    void showSelected();
    void filterChanged();
    ReplayService replayService() const;
    void replay();
    void copyLinkWithKey();
    void editAndReplay();
    // Notes a replay under way, or says why it was refused.
    void sent(quint64 id, const Done &done);
    void replayed(quint64 original, quint64 replay);
    void replayFailed(quint64 original, const QString &message);
    void keepTopRow(bool before);

    RequestRecorder &m_recorder;
    CaptureStore &m_store;
    QString m_tunnel;
    ProxyTarget m_service;
    RequestListModel *m_model = nullptr;
    RequestFilterModel *m_filter = nullptr;
    QTableView *m_table = nullptr;
    QLineEdit *m_pathFilter = nullptr;
    QComboBox *m_statusFilter = nullptr;
    QComboBox *m_methodFilter = nullptr;
    Pane m_request;
    Pane m_response;
    QPushButton *m_replay = nullptr;
    QPushButton *m_editReplay = nullptr;
    QPushButton *m_clear = nullptr;
    QPushButton *m_copyLink = nullptr;
    std::function<std::optional<QUrl>()> m_linkWithKey;
    std::function<QByteArray()> m_trustedCertificate;
    QLabel *m_status = nullptr;
    quint64 m_selected = 0;
    quint64 m_shown = 0; // whose request and response the panes hold
    qint64 m_shownRequestSize = 0;
    QList<quint64> m_sent;          // originals replayed from here, awaiting their outcome
    QPersistentModelIndex m_topRow; // kept in view while rows are added above it
};

} // namespace Velumo
