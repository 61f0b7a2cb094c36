// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/ReplayEditDialog.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace Velumo {

ReplayEditDialog::ReplayEditDialog(const CapturedExchange &exchange, QWidget *parent)
    : QDialog(parent)
{
    setObjectName(u"replayEditDialog"_s);
    setWindowTitle(tr("Edit and replay"));
    setAccessibleName(windowTitle());

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    m_method = new QLineEdit(QString::fromLatin1(exchange.request.method), this);
    m_method->setObjectName(u"replayMethod"_s);
    m_target = new QLineEdit(QString::fromUtf8(exchange.request.target), this);
    m_target->setObjectName(u"replayPath"_s);
    m_target->setFont(fixed);

    QStringList fields;
    for (const auto &[name, value] : exchange.request.fields) {
        fields.append(QString::fromLatin1(name) + u": "_s + QString::fromUtf8(value));
    }
    m_fields = new QPlainTextEdit(fields.join(u'\n'), this);
    m_fields->setObjectName(u"replayHeaders"_s);
    m_fields->setFont(fixed);
    m_fields->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_fields->setTabChangesFocus(true);

    const QByteArray body = exchange.requestContent();
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(body);
    m_binary = utf8.hasError() || text.contains(QChar(0));
    m_body = new QPlainTextEdit(this);
    m_body->setObjectName(u"replayBody"_s);
    m_body->setFont(fixed);
    m_body->setTabChangesFocus(true);
    if (m_binary) {
        m_binaryBody = body;
        m_body->setPlainText(
            tr("(%n bytes that are not text: sent as captured)", nullptr, int(body.size())));
        m_body->setReadOnly(true);
    } else {
        m_body->setPlainText(text);
    }

    auto *note = new QLabel(this);
    note->setObjectName(u"replayNote"_s);
    note->setWordWrap(true);
    note->setText(tr("Content-Length is set to match the body; Transfer-Encoding is left out."));
    if (exchange.requestTruncated) {
        note->setText(note->text() + u' ' +
                      tr("The body was cut at 1 MiB when it was captured: only that part is "
                         "sent."));
    }
    m_problem = new QLabel(this);
    m_problem->setObjectName(u"replayProblem"_s);
    m_problem->setWordWrap(true);
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setAccessibleName(tr("Problem"));
    m_problem->hide();

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->setObjectName(u"replayButtons"_s);
    QPushButton *send = buttons->addButton(tr("&Send"), QDialogButtonBox::AcceptRole);
    send->setObjectName(u"replaySend"_s);
    send->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &ReplayEditDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ReplayEditDialog::reject);

    auto *form = new QFormLayout(this);
    form->addRow(tr("&Method:"), m_method);
    form->addRow(tr("&Path:"), m_target);
    form->addRow(tr("&Headers:"), m_fields);
    form->addRow(tr("&Body:"), m_body);
    form->addRow(note);
    form->addRow(m_problem);
    form->addRow(buttons);
    // The form's labels name the fields for screen readers too.
    for (QWidget *field : {static_cast<QWidget *>(m_method), static_cast<QWidget *>(m_target),
                           static_cast<QWidget *>(m_fields), static_cast<QWidget *>(m_body)}) {
        if (auto *label = qobject_cast<QLabel *>(form->labelForField(field))) {
            field->setAccessibleName(label->text().remove(u'&').chopped(1));
        }
    }
    resize(640, 520);
}

Result<ReplayEdit> ReplayEditDialog::edit() const
{
    ReplayEdit edit;
    edit.method = m_method->text().trimmed().toLatin1();
    edit.target = m_target->text().trimmed().toUtf8();
    edit.body = m_binary ? m_binaryBody : m_body->toPlainText().toUtf8();
    const QStringList lines = m_fields->toPlainText().split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const qsizetype colon = line.indexOf(u':');
        if (colon <= 0) {
            return Refusal{tr("Each header is a line “Name: value”; “%1” is not.").arg(line)};
        }
        edit.fields.append(
            {line.first(colon).trimmed().toLatin1(), line.sliced(colon + 1).trimmed().toUtf8()});
    }
    if (const Result<QByteArray> bytes = RequestRecorder::requestBytes(edit); !bytes) {
        return Refusal{bytes.reason()};
    }
    return edit;
}

void ReplayEditDialog::accept()
{
    const QString why = edit().reason();
    m_problem->setText(why);
    m_problem->setVisible(!why.isEmpty());
    if (why.isEmpty()) {
        QDialog::accept();
    }
}

} // namespace Velumo
