// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "core/NamedTunnel.h"

#include <QDialog>

#include <qcoro/qcorotask.h>

class QDialogButtonBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QListWidget;

namespace Velumo {

class NamedTunnelModel;

// The forms that add a named tunnel: a new one made at Cloudflare, one from a dashboard token,
// or one of the account's existing tunnels. Each keeps the form while it works and says in
// plain words what went wrong; it closes once the tunnel is listed.
class NamedTunnelDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NamedTunnelDialog)

public:
    enum class Kind { New, Token, Existing };

    NamedTunnelDialog(Kind kind, NamedTunnelModel &model, QWidget *parent = nullptr);

private:
    QLineEdit *addField(const QString &label, const QString &objectName, const QString &text = {});
    void submit();
    QCoro::Task<> submitNew();
    QCoro::Task<> deleteHalfMade(NamedTunnel tunnel);
    QCoro::Task<> submitToken();
    QCoro::Task<> loadExisting();
    void submitExisting();
    void setBusy(bool busy);

    Kind m_kind;
    NamedTunnelModel &m_model;
    QFormLayout *m_form = nullptr;
    QLabel *m_message = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
    QLineEdit *m_name = nullptr;
    QLineEdit *m_token = nullptr;
    QLineEdit *m_publicHostname = nullptr;
    QLineEdit *m_hostname = nullptr;
    QLineEdit *m_port = nullptr;
    QLineEdit *m_credentials = nullptr;
    QListWidget *m_existing = nullptr;
};

} // namespace Velumo
