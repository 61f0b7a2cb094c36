// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/LogWindow.h"

#include "core/ToolLog.h"
#include "gui/SecondaryWindow.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace Velumo {

LogWindow::LogWindow(const QString &title, std::shared_ptr<ToolLog> log, QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("logWindow"));
    setWindowTitle(title);
    setAttribute(Qt::WA_DeleteOnClose);
    makeSecondaryWindow(this);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    // Above the output rather than in it, so dropping the oldest lines never drops it.
    m_commandLine = new QLabel(this);
    m_commandLine->setObjectName(QStringLiteral("logCommandLine"));
    m_commandLine->setTextFormat(Qt::PlainText);
    m_commandLine->setFont(fixed);
    m_commandLine->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                           Qt::TextSelectableByKeyboard);
    m_commandLine->setContentsMargins(4, 4, 4, 0);

    m_view = new QPlainTextEdit(this);
    m_view->setObjectName(QStringLiteral("logText"));
    m_view->setAccessibleName(tr("Tool output"));
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setFont(fixed);
    m_view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_view->setMaximumBlockCount(int(ToolLog::maxLines));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_commandLine);
    layout->addWidget(m_view);
    resize(760, 420);
    setLog(std::move(log));
}

void LogWindow::setLog(std::shared_ptr<ToolLog> log)
{
    if (m_log) {
        m_log->disconnect(this);
    }
    m_log = std::move(log);
    m_view->clear();
    if (!m_log) {
        m_commandLine->clear();
        return;
    }
    m_commandLine->setText(QStringLiteral("$ ") + m_log->commandLine());
    // The line the tool is still writing shows once it is complete. The view opens at the end,
    // at the start of the last line: a long last line must not scroll the short ones out of view.
    m_view->appendPlainText(m_log->completedLines().join(u'\n'));
    m_view->moveCursor(QTextCursor::End);
    m_view->moveCursor(QTextCursor::StartOfBlock);
    // Appending keeps the selection, and scrolls only a view that was at the end.
    connect(m_log.get(), &ToolLog::linesCompleted, this,
            [this](const QStringList &lines) { m_view->appendPlainText(lines.join(u'\n')); });
}

} // namespace Velumo
