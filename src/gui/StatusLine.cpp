// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/StatusLine.h"

#include "gui/LinkButton.h"
#include "gui/LogWindow.h"

#include <QAccessibleWidget>
#include <QPainter>
#include <QPushButton>

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
    if (className == QLatin1String(StatusLine::staticMetaObject.className())) {
        return new StatusLineAccessible(static_cast<StatusLine *>(object));
    }
    // The status bar that holds the line is only its frame: one status bar, the one with the
    // message, is what a screen reader should find.
    if (className == QLatin1String("QStatusBar") && object->findChild<StatusLine *>()) {
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Client);
    }
    return nullptr;
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

void StatusLine::setMessage(const QString &message, std::shared_ptr<ToolLog> failedRun)
{
    m_failedRun = std::move(failedRun);
    if (m_failedRun && !m_logLink) {
        m_logLink = makeLinkButton(this, QStringLiteral("failedRunLogLink"));
        m_logLink->setText(tr("Show the failed run's log"));
        connect(m_logLink, &QPushButton::clicked, this, &StatusLine::showFailedRun);
    }
    if (m_logLink) {
        m_logLink->setVisible(m_failedRun != nullptr);
        placeLink();
    }
    setText(message);
    setToolTip(message);
}

void StatusLine::placeLink()
{
    // At the end of the line; the message gives way to it.
    const bool shown = m_logLink && !m_logLink->isHidden();
    const int width = shown ? m_logLink->sizeHint().width() : 0;
    if (shown) {
        m_logLink->setGeometry(this->width() - width, 0, width, height());
    }
    setContentsMargins(0, 0, width, 0);
}

void StatusLine::showFailedRun()
{
    if (!m_failedRun) {
        return;
    }
    if (!m_logWindow) {
        m_logWindow = new LogWindow(tr("Log of the failed run"), m_failedRun, window());
    } else if (m_logWindow->log() != m_failedRun) {
        m_logWindow->setLog(m_failedRun);
    }
    m_logWindow->show();
    m_logWindow->raise();
    m_logWindow->activateWindow();
}

void StatusLine::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    placeLink();
}

void StatusLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

} // namespace Velumo
