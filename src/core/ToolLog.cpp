// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "core/ToolLog.h"

namespace Velumo {

namespace {
const QString cutMark = QStringLiteral(" […]");
} // namespace

ToolLog::ToolLog(QString commandLine, QObject *parent)
    : QObject(parent)
    , m_commandLine(std::move(commandLine))
{}

QString ToolLog::pushLine(QString line)
{
    if (line.endsWith(u'\r')) {
        line.chop(1);
    }
    m_lines.push_back(line);
    ++m_totalLines;
    while (qsizetype(m_lines.size()) > maxLines) {
        m_lines.pop_front();
    }
    return line;
}

void ToolLog::append(QStringView chunk)
{
    if (chunk.isEmpty()) {
        return;
    }
    QStringList completed;
    qsizetype start = 0;
    while (start < chunk.size()) {
        const qsizetype newline = chunk.indexOf(u'\n', start);
        const qsizetype end = newline < 0 ? chunk.size() : newline;
        // A line longer than the limit keeps its beginning; the rest is dropped as it comes.
        if (!m_partialCut) {
            const qsizetype room = maxLineLength - m_partial.size();
            const qsizetype take = std::min(room, end - start);
            m_partial.append(chunk.sliced(start, take));
            if (take < end - start) {
                m_partial.append(cutMark);
                m_partialCut = true;
            }
        }
        if (newline < 0) {
            break;
        }
        completed.append(pushLine(std::exchange(m_partial, QString())));
        if (completed.size() > maxLines) {
            completed.removeFirst();
        }
        m_partialCut = false;
        start = newline + 1;
    }
    if (!completed.isEmpty()) {
        Q_EMIT linesCompleted(completed);
    }
}

QStringList ToolLog::completedLines() const
{
    return QStringList(m_lines.begin(), m_lines.end());
}

QStringList ToolLog::lines() const
{
    QStringList all = completedLines();
    if (!m_partial.isEmpty()) {
        all.append(m_partial);
    }
    return all;
}

} // namespace Velumo
