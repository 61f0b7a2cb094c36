// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Tunnel.h"

#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QUuid>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Velumo {

class ContentModel;
class TunnelActions;
class RowPages;
class TunnelRow;
class Spinner;

// The main window: a toolbar form to create a tunnel, the list of tunnels, named ones first
// (or, while it is empty, what to do), a status line, and the Cloudflare menu for named
// tunnels. The rows show the registry's rows; their buttons are the tunnels' TunnelActions.
class ContentView : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ContentView)

public:
    explicit ContentView(QWidget *parent = nullptr);
    // Takes a model made elsewhere (tests hand one with its own store and tool).
    explicit ContentView(ContentModel *model, QWidget *parent = nullptr);

    ContentModel *model() const { return m_model; }
    // The actions on each tunnel, shared with the tray.
    TunnelActions *actions() const { return m_actions; }

Q_SIGNALS:
    void aboutRequested();
    void preferencesRequested();
    // The user closed the window or chose Quit: the app stops its tools, then quits.
    void quitRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void buildToolbar();
    void buildBody();
    void scheduleUpdate();
    void updateFromModel();
    void updateEmptyState();
    // The rows follow the registry's rows, in its order.
    void rebuildRows();
    void insertRows(int first, int last);
    void removeRows(int first, int last);
    void widenForRows();

    ContentModel *m_model;
    QLineEdit *m_hostname = nullptr;
    QLineEdit *m_port = nullptr;
    QPushButton *m_createButton = nullptr;
    Spinner *m_createSpinner = nullptr;
    QWidget *m_list = nullptr;
    QLabel *m_emptyState = nullptr;
    RowPages *m_rowPages = nullptr;
    // In the list's order.
    std::vector<TunnelRow *> m_rows;
    TunnelActions *m_actions = nullptr;
    // Where the keyboard focus was in the form when a creation disabled it, and where Qt moved it.
    QPointer<QWidget> m_formFocus;
    QPointer<QWidget> m_focusParked;
    bool m_updatePending = false;
    bool m_loaded = false;
    // Rows are made once the list has been painted, so they never hold up the first frame.
    bool m_listPainted = false;
    bool m_widened = false;
};

} // namespace Velumo
