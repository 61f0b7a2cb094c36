// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>

namespace Velumo {

// The last lines a tool wrote, kept in memory for the log window. Bounded whatever the tool
// does: at most `maxLines` lines of at most `maxLineLength` characters each.
class ToolLog : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToolLog)

public:
    static constexpr qsizetype maxLines = 1000;
    static constexpr qsizetype maxLineLength = 8 * 1024;

    explicit ToolLog(QString commandLine, QObject *parent = nullptr);

    // The command line the tool was started with; shown as the log's first line.
    QString commandLine() const { return m_commandLine; }

    // Adds a chunk of output as the tool wrote it; lines may span chunks.
    void append(QStringView chunk);

    // Complete lines, oldest first, then the unfinished last line if there is one.
    QStringList lines() const;
    // Complete lines only, oldest first.
    QStringList completedLines() const;
    qsizetype lineCount() const
    {
        return qsizetype(m_lines.size()) + (m_partial.isEmpty() ? 0 : 1);
    }
    // Lines ever completed, including those that no longer fit.
    qint64 totalLines() const { return m_totalLines; }

Q_SIGNALS:
    // Lines a chunk completed, oldest first (the last `maxLines` of them).
    void linesCompleted(const QStringList &lines);

private:
    QString pushLine(QString line);

    QString m_commandLine;
    std::deque<QString> m_lines;
    QString m_partial;
    bool m_partialCut = false;
    qint64 m_totalLines = 0;
};

} // namespace Velumo
