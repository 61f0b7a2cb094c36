// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/Tunnel.h"

#include <QHash>
#include <QMainWindow>
#include <QSet>
#include <QUuid>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;

namespace Velumo {

class ContentModel;
class RowStack;
class Spinner;
class TunnelRow;

// The main window: a toolbar form to create a tunnel, the list of tunnels, a status line.
class ContentView : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ContentView)

public:
    explicit ContentView(QWidget *parent = nullptr);
    // Takes a model made elsewhere (tests hand one with its own store and tool).
    explicit ContentView(ContentModel *model, QWidget *parent = nullptr);

    ContentModel *model() const { return m_model; }
    QString hostname() const;
    QString port() const;

    // How many rows were rebuilt by the last update; tells that unchanged rows stay untouched.
    int lastRebuiltRowCount() const { return m_lastRebuilt; }

Q_SIGNALS:
    void aboutRequested();
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
    void updateForm();
    void updateRows();

    ContentModel *m_model;
    QLineEdit *m_hostname = nullptr;
    QLineEdit *m_port = nullptr;
    QPushButton *m_createButton = nullptr;
    Spinner *m_createSpinner = nullptr;
    RowStack *m_rowStack = nullptr;
    struct RowEntry {
        TunnelRow *row = nullptr;
        // The record as the row shows it.
        Tunnel shown;
    };

    std::vector<RowEntry> m_rows;
    // Tunnels whose activity or local service changed since the last update.
    QSet<QUuid> m_dirty;
    bool m_updatePending = false;
    bool m_loaded = false;
    int m_lastRebuilt = 0;
};

} // namespace Velumo
