// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QBasicTimer>
#include <QWidget>

namespace Velumo {

// An indeterminate busy indicator drawn at a given scale of its natural size. It animates only
// while visible, so a window with nothing loading makes no timer wake-ups for it.
class Spinner : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Spinner)

public:
    explicit Spinner(QWidget *parent = nullptr);

    // The diameter the spinner would have at full size.
    static int naturalSize(const QWidget *widget);
    void setScale(qreal scale);
    qreal scale() const { return m_scale; }
    bool isSpinning() const { return m_timer.isActive(); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QBasicTimer m_timer;
    qreal m_scale = 1.0;
    int m_step = 0;
};

} // namespace Velumo
