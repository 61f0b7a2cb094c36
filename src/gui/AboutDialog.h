// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QDialog>

#include <qcoro/qcorotask.h>

class QLabel;

namespace Velumo {

// Name, version, copyright, the credits owed for cloudflared, and which cloudflared is used.
// Meant to be kept and shown again rather than run modally.
class AboutDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AboutDialog)

public:
    explicit AboutDialog(QWidget *parent = nullptr);

    // Names the tool at `path` (empty: none was found), then the version it reports, which
    // follows when the tool has answered.
    QCoro::Task<> showTool(QString path);

    static QString copyrightText();
    // Two lines of plain text, for anywhere the credits must appear.
    static QString creditsText();

private:
    QLabel *m_tool = nullptr;
    // Which showTool call the label is for; an answer to an earlier one is dropped.
    int m_toolRequest = 0;
};

} // namespace Velumo
