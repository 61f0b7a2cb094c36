// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QPlainTextEdit;

namespace Velumo {

class ToolLog;

// A window with what a tunnel's tool wrote: the command line first, then its last lines of
// output. New lines are added as they come; the user's selection and scroll position stay, and
// the view follows the end only while it is at the end.
class LogWindow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogWindow)

public:
    LogWindow(const QString &title, std::shared_ptr<ToolLog> log, QWidget *parent = nullptr);

    // Shows another tool's log, as when the tunnel was restarted.
    void setLog(std::shared_ptr<ToolLog> log);
    const std::shared_ptr<ToolLog> &log() const { return m_log; }

private:
    std::shared_ptr<ToolLog> m_log;
    QLabel *m_commandLine = nullptr;
    QPlainTextEdit *m_view = nullptr;
};

} // namespace Velumo
