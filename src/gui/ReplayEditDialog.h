// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "proxy/RequestRecorder.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace Velumo {

// Lets the user change a captured request's method, path, headers (one "Name: value" a line)
// and body before it is sent again. It closes only on a request that can be sent.
class ReplayEditDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReplayEditDialog)

public:
    explicit ReplayEditDialog(const CapturedExchange &exchange, QWidget *parent = nullptr);

    // The request as edited, or what is wrong with it.
    Result<ReplayEdit> edit() const;

    void accept() override;

private:
    QLineEdit *m_method = nullptr;
    QLineEdit *m_target = nullptr;
    QPlainTextEdit *m_fields = nullptr;
    QPlainTextEdit *m_body = nullptr;
    QLabel *m_problem = nullptr;
    // A body that is not text cannot be edited as text; it is sent as captured.
    QByteArray m_binaryBody;
    bool m_binary = false;
};

} // namespace Velumo
