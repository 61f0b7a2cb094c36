// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QLabel>

namespace Velumo {

// A message in one line that gives way to the window's width, cut short with an ellipsis. Its
// text, and so what a screen reader reads, and its tool tip keep the whole message.
class StatusLine : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusLine)

public:
    explicit StatusLine(QWidget *parent = nullptr);

    void setMessage(const QString &message);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace Velumo
