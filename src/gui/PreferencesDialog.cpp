// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/PreferencesDialog.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace Velumo {

PreferencesDialog::PreferencesDialog(Apply apply, QWidget *parent)
    : QDialog(parent)
    , m_apply(std::move(apply))
    , m_inspect(new QCheckBox(tr("Inspect requests"), this))
    , m_password(new QCheckBox(tr("Require a password"), this))
    , m_startAtLogin(new QCheckBox(tr("Start Velumo at login"), this))
    , m_problem(new QLabel(this))
{
    setObjectName(u"preferencesDialog"_s);
    setWindowTitle(tr("Preferences"));
    m_inspect->setObjectName(u"inspectByDefault"_s);
    m_inspect->setAccessibleName(m_inspect->text());
    m_password->setObjectName(u"passwordByDefault"_s);
    m_password->setAccessibleName(m_password->text());
    m_startAtLogin->setObjectName(u"startAtLogin"_s);
    m_startAtLogin->setAccessibleName(m_startAtLogin->text());
    m_startAtLogin->setToolTip(tr("In the background, with the tray icon, when you log in"));
    m_problem->setObjectName(u"preferencesProblem"_s);
    m_problem->setTextFormat(Qt::PlainText);
    m_problem->setWordWrap(true);
    m_problem->hide();
    auto *intro = new QLabel(tr("New quick and named tunnels start with:"), this);
    auto *note = new QLabel(tr("Each new tunnel gets a password of its own, shown with its link "
                               "with key once its address is known. Dashboard tunnels are not "
                               "affected: their service is set at Cloudflare."),
                            this);
    note->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    for (QWidget *widget : {static_cast<QWidget *>(intro), static_cast<QWidget *>(m_inspect),
                            static_cast<QWidget *>(m_password), static_cast<QWidget *>(note),
                            static_cast<QWidget *>(m_startAtLogin),
                            static_cast<QWidget *>(m_problem), static_cast<QWidget *>(buttons)}) {
        layout->addWidget(widget);
    }
}

void PreferencesDialog::setChoices(const Choices &choices)
{
    m_inspect->setChecked(choices.defaults.inspect);
    m_password->setChecked(choices.defaults.password);
    m_startAtLogin->setChecked(choices.startAtLogin);
    m_problem->hide();
}

PreferencesDialog::Choices PreferencesDialog::choices() const
{
    return {{m_inspect->isChecked(), m_password->isChecked()}, m_startAtLogin->isChecked()};
}

void PreferencesDialog::accept()
{
    if (const Done done = m_apply(choices()); !done) {
        m_problem->setText(done.reason());
        m_problem->show();
        return;
    }
    QDialog::accept();
}

PasswordDialog::PasswordDialog(const QString &title, const QString &password, const QUrl &link,
                               QWidget *parent)
    : QDialog(parent)
{
    setObjectName(u"passwordShown"_s);
    setWindowTitle(title);
    auto *form = new QFormLayout;
    const auto addLine = [this, form](const QString &label, const QString &text,
                                      const QString &name) {
        auto *field = new QLineEdit(text, this);
        field->setReadOnly(true);
        field->setObjectName(name + u"Field"_s);
        field->setAccessibleName(label);
        field->setMinimumWidth(field->fontMetrics().horizontalAdvance(text) + 16);
        auto *copy = new QPushButton(tr("Copy"), this);
        copy->setObjectName(name + u"Copy"_s);
        copy->setAccessibleName(tr("Copy %1").arg(label.toLower()));
        connect(copy, &QPushButton::clicked, this,
                [text] { QGuiApplication::clipboard()->setText(text); });
        auto *row = new QHBoxLayout;
        row->addWidget(field, 1);
        row->addWidget(copy);
        form->addRow(label, row);
    };
    addLine(tr("Password"), password, u"password"_s);
    if (!link.isEmpty()) {
        addLine(tr("Link with key"), link.toString(), u"link"_s);
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

} // namespace Velumo
