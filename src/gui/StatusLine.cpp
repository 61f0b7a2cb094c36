// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/StatusLine.h"

#include <QAccessibleWidget>
#include <QPainter>

namespace Velumo {

namespace {

// A screen reader finds the window's status as a status bar whose name is the message; a new
// message changes the name, which QLabel announces with a NameChanged event.
class StatusLineAccessible : public QAccessibleWidget
{
public:
    explicit StatusLineAccessible(StatusLine *line)
        : QAccessibleWidget(line, QAccessible::StatusBar)
    {}

    QString text(QAccessible::Text which) const override
    {
        return which == QAccessible::Name ? static_cast<const QLabel *>(widget())->text()
                                          : QAccessibleWidget::text(which);
    }
};

QAccessibleInterface *statusLineAccessible(const QString &className, QObject *object)
{
    return className == QLatin1String(StatusLine::staticMetaObject.className())
               ? new StatusLineAccessible(static_cast<StatusLine *>(object))
               : nullptr;
}

} // namespace

StatusLine::StatusLine(QWidget *parent)
    : QLabel(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(&statusLineAccessible);
        return true;
    }();
    Q_UNUSED(installed)
    setObjectName(QStringLiteral("statusLine"));
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void StatusLine::setMessage(const QString &message)
{
    setText(message);
    setToolTip(message);
}

void StatusLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

} // namespace Velumo
