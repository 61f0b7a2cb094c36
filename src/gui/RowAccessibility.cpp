// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RowAccessibility.h"

#include "gui/RowPages.h"
#include "gui/TunnelRow.h"

#include <QAccessibleWidget>
#include <QToolButton>

#include <algorithm>

namespace Velumo {

namespace {

class ListAccessible : public QAccessibleWidget
{
public:
    explicit ListAccessible(RowPages *pages)
        : QAccessibleWidget(pages, QAccessible::List)
    {}

    RowPages *pages() const { return static_cast<RowPages *>(widget()); }
    int childCount() const override { return int(pages()->rows().size()); }
    QAccessibleInterface *child(int index) const override
    {
        const std::vector<TunnelRow *> rows = pages()->rows();
        return index >= 0 && size_t(index) < rows.size()
                   ? QAccessible::queryAccessibleInterface(rows[size_t(index)])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        const std::vector<TunnelRow *> rows = pages()->rows();
        const auto found = std::ranges::find(rows, child ? child->object() : nullptr);
        return found == rows.cend() ? -1 : int(found - rows.cbegin());
    }
};

class RowAccessible : public QAccessibleWidget
{
public:
    explicit RowAccessible(TunnelRow *row)
        : QAccessibleWidget(row, QAccessible::ListItem)
    {}

    TunnelRow *row() const { return static_cast<TunnelRow *>(widget()); }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? row()->accessibleSummary() : QAccessibleWidget::text(t);
    }
    QAccessibleInterface *parent() const override
    {
        for (QWidget *up = row()->parentWidget(); up; up = up->parentWidget()) {
            if (auto *pages = qobject_cast<RowPages *>(up)) {
                return QAccessible::queryAccessibleInterface(pages);
            }
        }
        return QAccessibleWidget::parent();
    }
    // Left to right, as they are seen.
    QList<QWidget *> shown() const
    {
        QList<QWidget *> controls = row()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        controls.removeIf([](QWidget *w) { return w->isHidden() || w->isWindow(); });
        std::ranges::stable_sort(controls, {}, [](QWidget *w) { return w->x(); });
        return controls;
    }
    int childCount() const override { return int(shown().size()); }
    QAccessibleInterface *child(int index) const override
    {
        const QList<QWidget *> controls = shown();
        return index >= 0 && index < controls.size()
                   ? QAccessible::queryAccessibleInterface(controls[index])
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return shown().indexOf(qobject_cast<QWidget *>(child ? child->object() : nullptr));
    }
};

// A row's symbol button, named by its tool tip unless given a name of its own: a name set on
// each button of every row would make each one's interface at once, screen reader or not.
class RowButtonAccessible : public QAccessibleWidget
{
public:
    explicit RowButtonAccessible(QToolButton *button)
        : QAccessibleWidget(button, QAccessible::Button)
    {}

    QToolButton *button() const { return static_cast<QToolButton *>(widget()); }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name && button()->accessibleName().isEmpty()
                   ? button()->toolTip()
                   : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.pressed = button()->isDown();
        state.hotTracked = button()->autoRaise();
        return state;
    }
    QStringList actionNames() const override
    {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override
    {
        if (action != pressAction()) {
            QAccessibleWidget::doAction(action);
        } else if (button()->isEnabled()) {
            button()->click();
        }
    }
};

} // namespace

QAccessibleInterface *rowAccessibility(const QString &className, QObject *object)
{
    if (className == QLatin1String(QToolButton::staticMetaObject.className()) &&
        qobject_cast<TunnelRow *>(object->parent())) {
        return new RowButtonAccessible(static_cast<QToolButton *>(object));
    }
    if (auto *row = qobject_cast<TunnelRow *>(object)) {
        return new RowAccessible(row);
    }
    if (auto *pages = qobject_cast<RowPages *>(object)) {
        return new ListAccessible(pages);
    }
    return nullptr;
}

void installRowAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(&rowAccessibility);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace Velumo
