// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
// RequestsWindow's replays: sent as they were or edited first, and their outcome in the status.
#include "gui/RequestsWindow.h"

#include "gui/ReplayEditDialog.h"
#include "gui/RequestListModel.h"

#include <QLabel>
#include <QTableView>

namespace Velumo {

void RequestsWindow::setTrustedCertificate(std::function<QByteArray()> fingerprint)
{
    m_trustedCertificate = std::move(fingerprint);
}

ReplayService RequestsWindow::replayService() const
{
    return {m_service, m_trustedCertificate ? m_trustedCertificate() : QByteArray()};
}

void RequestsWindow::replay()
{
    sent(m_selected, m_recorder.replay(m_selected, replayService()));
}

void RequestsWindow::sent(quint64 id, const Done &done)
{
    if (done) {
        m_sent.append(id);
        m_status->setText(tr("Replaying…"));
    } else {
        m_status->setText(tr("Not replayed: %1").arg(done.reason()));
    }
}

void RequestsWindow::editAndReplay()
{
    const CapturedExchange *exchange = m_store.exchange(m_selected);
    if (!exchange) {
        return;
    }
    auto *dialog = new ReplayEditDialog(*exchange, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog, id = m_selected] {
        if (const Result<ReplayEdit> edit = dialog->edit()) {
            sent(id, m_recorder.replayEdited(id, replayService(), *edit));
        }
    });
    dialog->open();
}

void RequestsWindow::replayed(quint64 original, quint64 replay)
{
    if (!m_sent.removeOne(original)) {
        return; // another window's
    }
    const CapturedExchange *exchange = m_store.exchange(replay);
    if (!exchange) {
        return;
    }
    m_status->setText(tr("Replayed: the service answered %1.").arg(exchange->response.status));
    const QModelIndex row = m_filter->mapFromSource(m_model->index(m_model->rowOf(replay), 0));
    if (row.isValid()) {
        m_table->selectRow(row.row());
        m_table->scrollTo(row);
    }
}

void RequestsWindow::replayFailed(quint64 original, const QString &message)
{
    if (m_sent.removeOne(original)) {
        m_status->setText(tr("The replay failed: %1").arg(message));
    }
}

} // namespace Velumo
