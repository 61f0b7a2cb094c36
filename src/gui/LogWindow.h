// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>

class QPlainTextEdit;

namespace Velumo {

class ToolLog;

// A window with what a tunnel's tool wrote: the command line first, then its output, following
// new lines as they come. Selectable and copyable.
class LogWindow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogWindow)

public:
    LogWindow(const QString &title, std::shared_ptr<ToolLog> log, QWidget *parent = nullptr);

    // Shows another tool's log, as when the tunnel was restarted.
    void setLog(std::shared_ptr<ToolLog> log);
    QString text() const;

private:
    void refresh();

    std::shared_ptr<ToolLog> m_log;
    QPlainTextEdit *m_view = nullptr;
    QTimer m_refresh;
};

} // namespace Velumo
