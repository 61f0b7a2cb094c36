// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/SecondaryWindow.h"

#include <QAccessibleWidget>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace Velumo {

namespace {

// Qt exposes a plain QWidget as a filler even when it is a window of its own; QMainWindow and
// QDialog, which it knows, are matched before their QWidget base is asked about.
QAccessibleInterface *windowAccessible(const QString &className, QObject *object)
{
    if (className != QLatin1String("QWidget") || !object || !object->isWidgetType()) {
        return nullptr;
    }
    auto *widget = static_cast<QWidget *>(object);
    return widget->windowType() == Qt::Window ? new QAccessibleWidget(widget, QAccessible::Window)
                                              : nullptr;
}

} // namespace

void makeSecondaryWindow(QWidget *window)
{
    static const bool installed = [] {
        QAccessible::installFactory(&windowAccessible);
        return true;
    }();
    Q_UNUSED(installed)
    auto *close = new QShortcut(QKeySequence::Cancel, window);
    QObject::connect(close, &QShortcut::activated, window, &QWidget::close);
}

} // namespace Velumo
