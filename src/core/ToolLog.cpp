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

void ToolLog::pushLine(QString line)
{
    if (line.endsWith(u'\r')) {
        line.chop(1);
    }
    m_lines.push_back(std::move(line));
    ++m_totalLines;
    while (qsizetype(m_lines.size()) > maxLines) {
        m_lines.pop_front();
    }
}

void ToolLog::append(QStringView chunk)
{
    if (chunk.isEmpty()) {
        return;
    }
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
        pushLine(std::exchange(m_partial, QString()));
        m_partialCut = false;
        start = newline + 1;
    }
    Q_EMIT changed();
}

QStringList ToolLog::lines() const
{
    QStringList all;
    all.reserve(lineCount());
    for (const QString &line : m_lines) {
        all.append(line);
    }
    if (!m_partial.isEmpty()) {
        all.append(m_partial);
    }
    return all;
}

} // namespace Velumo
