// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QLabel>
#include <QPointer>

#include <memory>

class QPushButton;

namespace Velumo {

class LogWindow;
class ToolLog;

// A message in one line that gives way to the window's width, cut short with an ellipsis. Its
// text, and so what a screen reader reads, and its tool tip keep the whole message. A message
// about a run that failed ends in a "Show the failed run's log" link, reached with Tab.
class StatusLine : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLine)

public:
    explicit StatusLine(QWidget *parent = nullptr);

    // `failedRun`: the log of the run the message is about, when that run failed.
    void setMessage(const QString &message, std::shared_ptr<ToolLog> failedRun = {});

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeLink();
    void showFailedRun();

    std::shared_ptr<ToolLog> m_failedRun;
    QPushButton *m_logLink = nullptr;
    QPointer<LogWindow> m_logWindow;
};

} // namespace Velumo
