// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/LogWindow.h"

#include "core/ToolLog.h"

#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

namespace Velumo {

LogWindow::LogWindow(const QString &title, std::shared_ptr<ToolLog> log, QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("logWindow"));
    setWindowTitle(title);
    setAccessibleName(title);
    setAttribute(Qt::WA_DeleteOnClose);

    m_view = new QPlainTextEdit(this);
    m_view->setObjectName(QStringLiteral("logText"));
    m_view->setAccessibleName(tr("Tool output"));
    m_view->setReadOnly(true);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);

    // A tool in a flood writes thousands of lines a second; redraw at most a few times a second.
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(150);
    connect(&m_refresh, &QTimer::timeout, this, &LogWindow::refresh);

    resize(760, 420);
    setLog(std::move(log));
}

void LogWindow::setLog(std::shared_ptr<ToolLog> log)
{
    if (m_log) {
        m_log->disconnect(this);
    }
    m_log = std::move(log);
    if (m_log) {
        connect(m_log.get(), &ToolLog::changed, this, [this] {
            if (!m_refresh.isActive()) {
                m_refresh.start();
            }
        });
    }
    refresh();
}

QString LogWindow::text() const
{
    return m_view->toPlainText();
}

void LogWindow::refresh()
{
    QScrollBar *bar = m_view->verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    QStringList lines;
    if (m_log) {
        lines = m_log->lines();
        lines.prepend(QStringLiteral("$ ") + m_log->commandLine());
    }
    m_view->setPlainText(lines.join(u'\n'));
    if (following) {
        bar->setValue(bar->maximum());
    }
}

} // namespace Velumo
