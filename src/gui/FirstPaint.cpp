// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/FirstPaint.h"

#include <QEvent>
#include <QWidget>

namespace Velumo {

namespace {

class Watcher : public QObject
{
public:
    Watcher(QWidget *widget, std::function<void()> call)
        : QObject(widget)
        , m_call(std::move(call))
    {
        widget->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QMetaObject::invokeMethod(watched, std::move(m_call), Qt::QueuedConnection);
            deleteLater();
        }
        return false;
    }

private:
    std::function<void()> m_call;
};

} // namespace

void afterFirstPaint(QWidget *widget, std::function<void()> call)
{
    new Watcher(widget, std::move(call));
}

} // namespace Velumo
