// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/RequestsWindow.h"

#include "gui/RequestListModel.h"
#include "gui/SecondaryWindow.h"
#include "proxy/RequestRecorder.h"

#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace Velumo {

namespace {

QString headText(const QByteArray &head)
{
    return QString::fromUtf8(head).remove(u'\r').trimmed();
}

// The link with key leading to `target`, the path and query a visitor asked for, where it
// has one; the key is added to its query.
QUrl linkTo(QUrl link, const QByteArray &target)
{
    if (!target.startsWith('/')) {
        return link;
    }
    const qsizetype question = target.indexOf('?');
    link.setPath(QString::fromUtf8(target.first(question < 0 ? target.size() : question)),
                 QUrl::TolerantMode);
    if (question >= 0) {
        link.setQuery(QString::fromUtf8(target.sliced(question + 1)) + u'&' +
                          link.query(QUrl::FullyEncoded),
                      QUrl::TolerantMode);
    }
    return link;
}

} // namespace

RequestsWindow::RequestsWindow(RequestRecorder &recorder, const QString &tunnel, const QString &title,
                               const ProxyTarget &service, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_recorder(recorder)
    , m_store(recorder.captures())
    , m_tunnel(tunnel)
    , m_service(service)
{
    setObjectName(u"requestsWindow"_s);
    setWindowTitle(title);
    setAccessibleName(title);
    makeSecondaryWindow(this);

    m_pathFilter = new QLineEdit(this);
    m_pathFilter->setObjectName(u"requestsPathFilter"_s);
    m_pathFilter->setAccessibleName(tr("Filter by path"));
    m_pathFilter->setPlaceholderText(tr("Filter by path"));
    m_pathFilter->setClearButtonEnabled(true);
    auto *find = new QShortcut(QKeySequence::Find, this);
    connect(find, &QShortcut::activated, m_pathFilter, qOverload<>(&QWidget::setFocus));
    m_statusFilter = new QComboBox(this);
    m_statusFilter->setObjectName(u"requestsStatusFilter"_s);
    m_statusFilter->setAccessibleName(tr("Status"));
    m_statusFilter->addItem(tr("All statuses"), 0);
    for (int statusClass = 1; statusClass <= 5; ++statusClass) {
        m_statusFilter->addItem(u"%1xx"_s.arg(statusClass), statusClass);
    }
    m_methodFilter = new QComboBox(this);
    m_methodFilter->setObjectName(u"requestsMethodFilter"_s);
    m_methodFilter->setAccessibleName(tr("Method"));
    m_methodFilter->addItem(tr("All methods"));
    for (const auto *method : {"GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS"}) {
        m_methodFilter->addItem(QString::fromLatin1(method), QByteArray(method));
    }
    connect(m_pathFilter, &QLineEdit::textChanged, this, &RequestsWindow::filterChanged);
    for (QComboBox *box : {m_statusFilter, m_methodFilter}) {
        connect(box, &QComboBox::currentIndexChanged, this, &RequestsWindow::filterChanged);
    }

    m_model = new RequestListModel(m_store, tunnel, this);
    m_filter = new RequestFilterModel(this);
    m_filter->setSourceModel(m_model);
    m_table = new QTableView(this);
    m_table->setObjectName(u"requestsTable"_s);
    m_table->setAccessibleName(tr("Requests"));
    m_table->setModel(m_filter);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setWordWrap(false);
    // Arrows move between requests; Tab goes on to the panes and buttons.
    m_table->setTabKeyNavigation(false);
    m_table->setTextElideMode(Qt::ElideMiddle);
    m_table->setAlternatingRowColors(true);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    // Fixed widths: fitting columns to their contents would measure rows on every update.
    QHeaderView *header = m_table->horizontalHeader();
    const auto width = [this](const QString &sample) {
        return fontMetrics().horizontalAdvance(sample) + 24;
    };
    header->resizeSection(RequestListModel::TimeColumn, width(u"00:00:00"_s));
    header->resizeSection(RequestListModel::MethodColumn, width(u"↻ OPTIONS"_s));
    header->resizeSection(RequestListModel::StatusColumn, width(tr("Status")));
    header->resizeSection(RequestListModel::DurationColumn, width(u"000.00 s"_s));
    header->resizeSection(RequestListModel::SizeColumn, width(u"000.0 KiB"_s));
    header->setSectionResizeMode(RequestListModel::PathColumn, QHeaderView::Stretch);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &RequestsWindow::selectionChanged);
    connect(m_filter, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this] { keepTopRow(true); });
    connect(m_filter, &QAbstractItemModel::rowsInserted, this, [this] { keepTopRow(false); });
    connect(&m_store, &CaptureStore::changed, this, &RequestsWindow::storeChanged);

    m_request = makePane(u"request"_s, tr("Request"));
    m_response = makePane(u"response"_s, tr("Response"));
    auto *panes = new QSplitter(Qt::Horizontal, this);
    panes->setObjectName(u"requestsPanes"_s);
    panes->addWidget(m_request.widget);
    panes->addWidget(m_response.widget);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->setObjectName(u"requestsSplit"_s);
    split->addWidget(m_table);
    split->addWidget(panes);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);

    m_status = new QLabel(this);
    m_status->setObjectName(u"requestsStatus"_s);
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_replay = new QPushButton(tr("&Replay"), this);
    m_replay->setObjectName(u"requestsReplay"_s);
    m_replay->setToolTip(tr("Send the selected request to the local service again, as it was"));
    m_editReplay = new QPushButton(tr("&Edit and replay…"), this);
    m_editReplay->setObjectName(u"requestsEditReplay"_s);
    m_editReplay->setAccessibleName(tr("Edit and replay")); // the command's name, without "…"
    m_clear = new QPushButton(tr("C&lear"), this);
    m_clear->setObjectName(u"requestsClear"_s);
    m_clear->setToolTip(tr("Empty this tunnel's list"));
    connect(m_replay, &QPushButton::clicked, this, &RequestsWindow::replay);
    connect(m_editReplay, &QPushButton::clicked, this, &RequestsWindow::editAndReplay);
    m_copyLink = new QPushButton(tr("Cop&y link with key"), this);
    m_copyLink->setObjectName(u"requestsCopyLink"_s);
    m_copyLink->setAccessibleName(tr("Copy link with key"));
    m_copyLink->setToolTip(tr("Copy a link to the selected request's path that lets a browser "
                              "past the password"));
    m_copyLink->hide();
    connect(m_clear, &QPushButton::clicked, this, [this] { m_store.clear(m_tunnel); });
    connect(m_copyLink, &QPushButton::clicked, this, &RequestsWindow::copyLinkWithKey);
    connect(&m_recorder, &RequestRecorder::replayed, this, &RequestsWindow::replayed);
    connect(&m_recorder, &RequestRecorder::failed, this, &RequestsWindow::replayFailed);

    auto *filters = new QHBoxLayout;
    filters->addWidget(m_pathFilter, 1);
    filters->addWidget(m_statusFilter);
    filters->addWidget(m_methodFilter);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_replay);
    buttons->addWidget(m_editReplay);
    buttons->addWidget(m_copyLink);
    buttons->addWidget(m_clear);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addLayout(buttons);

    resize(960, 680);
    selectionChanged();
}

RequestsWindow::Pane RequestsWindow::makePane(const QString &name, const QString &title)
{
    Pane pane;
    pane.widget = new QWidget(this);
    pane.widget->setObjectName(name + u"Pane"_s);
    auto *heading = new QLabel(title, pane.widget);
    heading->setObjectName(name + u"Heading"_s);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    pane.text = new QPlainTextEdit(pane.widget);
    pane.text->setObjectName(name + u"Text"_s);
    pane.text->setAccessibleName(title);
    pane.text->setReadOnly(true);
    pane.text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    pane.text->setLineWrapMode(QPlainTextEdit::NoWrap);
    pane.text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    pane.text->setTabChangesFocus(true);
    pane.image = new QLabel(pane.widget);
    pane.image->setObjectName(name + u"Image"_s);
    pane.image->setAccessibleName(tr("%1 image").arg(title));
    pane.image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pane.note = new QLabel(pane.widget);
    pane.note->setObjectName(name + u"Note"_s);
    pane.note->setTextFormat(Qt::PlainText);
    pane.note->setWordWrap(true);
    auto *layout = new QVBoxLayout(pane.widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(heading);
    layout->addWidget(pane.text, 1);
    layout->addWidget(pane.image, 1);
    layout->addWidget(pane.note);
    return pane;
}

void RequestsWindow::fill(Pane &pane, const QByteArray &head, const DecodedBody &body,
                          bool captureCut, const QString &waiting)
{
    // The same exchange again (its response came in further) keeps its place in the text.
    QScrollBar *bar = pane.text->verticalScrollBar();
    const int scrolled = m_shown == m_selected ? bar->value() : 0;
    QString text = head.isEmpty() ? waiting : headText(head);
    QStringList notes;
    QPixmap image;
    if (body.kind == DecodedBody::Kind::Image) {
        if (image.loadFromData(body.bytes)) {
            // Shown whole when it fits; a large one is scaled down, never up.
            const QSize room = pane.text->size().expandedTo({320, 240});
            if (image.width() > room.width() || image.height() > room.height()) {
                image = image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            }
        } else {
            notes << tr("The image could not be shown.");
        }
    } else if (body.kind != DecodedBody::Kind::Empty) {
        text += u"\n\n"_s + body.text;
    }
    if (!body.problem.isEmpty()) {
        notes << body.problem;
    }
    if (captureCut) {
        notes << tr("Only the first 1 MiB of this body was captured.");
    } else if (body.truncated) {
        notes << tr("The body is cut short: decoding stopped at 8 MiB or the data ended early.");
    }
    if (body.kind == DecodedBody::Kind::Binary) {
        notes << (body.bytes.size() > BodyDecoder::hexLimit
                      ? tr("Binary: the first 64 KiB of %1 are shown in hex.")
                            .arg(QLocale().formattedDataSize(body.bytes.size()))
                      : tr("Binary: shown in hex."));
    }
    pane.text->setPlainText(text);
    bar->setValue(scrolled);
    pane.image->setPixmap(image);
    pane.image->setVisible(!image.isNull());
    pane.note->setText(notes.join(u' '));
    pane.note->setVisible(!notes.isEmpty());
}

void RequestsWindow::selectionChanged()
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    m_selected = rows.isEmpty() ? 0 : m_model->idAt(m_filter->mapToSource(rows.constFirst()).row());
    showSelected();
}

void RequestsWindow::showSelected()
{
    const CapturedExchange *exchange = m_selected ? m_store.exchange(m_selected) : nullptr;
    m_replay->setEnabled(exchange != nullptr);
    m_editReplay->setEnabled(exchange != nullptr);
    m_copyLink->setEnabled(exchange != nullptr);
    m_copyLink->setVisible(m_linkWithKey && m_linkWithKey());
    m_clear->setEnabled(m_model->rowCount() > 0);
    if (!exchange) {
        fill(m_request, {}, {}, false, tr("Select a request to see it here."));
        fill(m_response, {}, {}, false, {});
        m_shown = 0;
        return;
    }
    // The request is decoded again only when more of it has come in.
    if (m_shown != m_selected || m_shownRequestSize != exchange->requestSize) {
        fill(m_request, exchange->request.bytes, BodyDecoder::request(*exchange),
             exchange->requestTruncated, {});
        m_shownRequestSize = exchange->requestSize;
        if (!exchange->forwardedHead.isEmpty()) {
            const QByteArray host = CapturedHead::request(exchange->forwardedHead).field("Host");
            m_request.note->setText(tr("Host was rewritten: the service got Host: %1, and the "
                                       "visitor's host in X-Forwarded-Host.")
                                        .arg(QString::fromLatin1(host)) +
                                    u' ' + m_request.note->text());
            m_request.note->show();
        }
    }
    fill(m_response, exchange->response.bytes, BodyDecoder::response(*exchange),
         exchange->responseTruncated,
         exchange->ended.isEmpty() ? tr("Waiting for the response…")
                                   : QString::fromUtf8(exchange->ended));
    if (!exchange->finished && exchange->response.status != 0) {
        m_response.note->setText(tr("The response is still coming.") + u' ' +
                                 m_response.note->text());
        m_response.note->show();
    }
    m_shown = m_selected;
}

void RequestsWindow::storeChanged(const QString &tunnel, const CaptureChange &change)
{
    if (tunnel != m_tunnel) {
        return;
    }
    if (change.updated.contains(m_selected) || change.removed.contains(m_selected)) {
        showSelected();
    } else {
        m_clear->setEnabled(m_model->rowCount() > 0);
    }
}

void RequestsWindow::filterChanged()
{
    m_filter->setFilter(m_pathFilter->text(), m_statusFilter->currentData().toInt(),
                        m_methodFilter->currentData().toByteArray());
}

// Rows come in at the top. Following the newest is right while the list is scrolled to the
// top; further down, the rows the user is reading stay where they are.
void RequestsWindow::keepTopRow(bool before)
{
    if (before) {
        const bool atTop = m_table->verticalScrollBar()->value() == 0;
        m_topRow = atTop ? QModelIndex() : m_table->indexAt(QPoint(0, 0));
    } else if (m_topRow.isValid()) {
        m_table->doItemsLayout(); // the scroll range must know of the new rows first
        m_table->scrollTo(m_topRow, QAbstractItemView::PositionAtTop);
        m_topRow = QPersistentModelIndex();
    }
}

void RequestsWindow::setLinkWithKey(std::function<std::optional<QUrl>()> link)
{
    m_linkWithKey = std::move(link);
    showSelected();
}

void RequestsWindow::copyLinkWithKey()
{
    const CapturedExchange *exchange = m_store.exchange(m_selected);
    const std::optional<QUrl> link = m_linkWithKey ? m_linkWithKey() : std::nullopt;
    m_copyLink->setVisible(link.has_value());
    if (exchange && link) {
        // Encoded, so that a path with spaces stays one link where it is pasted.
        QGuiApplication::clipboard()->setText(
            linkTo(*link, exchange->request.target).toString(QUrl::FullyEncoded));
    }
}

} // namespace Velumo
