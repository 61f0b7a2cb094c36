// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/Replayer.h"

#include "proxy/CaptureStore.h"
#include "proxy/HttpFramer.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

namespace Velumo {

namespace {

// RFC 9110 token characters, for methods and field names.
bool isToken(QByteArrayView text)
{
    constexpr QByteArrayView punctuation = "!#$%&'*+-.^_`|~";
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [&](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               punctuation.contains(c);
    });
}

bool hasControl(QByteArrayView text, bool spaceToo)
{
    return std::any_of(text.begin(), text.end(), [&](char c) {
        return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7f ||
               (spaceToo && (c == ' ' || c == '\t'));
    });
}

// One replay: its connection to the service and the response coming back.
class ReplayJob : public QObject
{
public:
    ReplayJob(Replayer &replayer, CaptureStore &store, CapturedExchange record, quint64 original,
              QByteArray bytes)
        : QObject(&replayer)
        , m_replayer(replayer)
        , m_store(store)
        , m_record(std::move(record))
        , m_original(original)
        , m_bytes(std::move(bytes))
        , m_socket(new QTcpSocket(this))
    {
        m_bodyless = m_record.method == "HEAD";
        m_socket->setProxy(QNetworkProxy::NoProxy);
        connect(m_socket, &QTcpSocket::connected, this, [this] {
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            m_record.startedMsecs = QDateTime::currentMSecsSinceEpoch();
            m_socket->write(m_bytes);
        });
        connect(m_socket, &QTcpSocket::readyRead, this, &ReplayJob::read);
        connect(m_socket, &QTcpSocket::disconnected, this, &ReplayJob::ended);
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
            if (m_socket->error() != QAbstractSocket::RemoteHostClosedError) {
                fail(m_socket->errorString());
            }
        });
        connect(&m_timer, &QTimer::timeout, this, [this] {
            fail(Replayer::tr("The service did not answer whole within %1 seconds.")
                     .arg(m_timer.interval() / 1000.0));
        });
    }

    void start(const ProxyTarget &service, std::chrono::milliseconds timeout)
    {
        m_timer.setSingleShot(true);
        m_timer.start(timeout);
        m_socket->connectToHost(service.host, service.port);
    }

private:
    void read()
    {
        m_in += m_socket->readAll();
        while (!m_done && !m_in.isEmpty()) {
            if (!m_framer) {
                m_framer.emplace(m_bodyless);
            }
            const ResponseFramer::Step step = m_framer->feed(m_in);
            if (step.outcome == ResponseFramer::Outcome::Malformed ||
                step.outcome == ResponseFramer::Outcome::HeadTooLarge) {
                fail(Replayer::tr("The service's answer could not be read as HTTP/1.1."));
                return;
            }
            if (step.head) {
                m_record.responseHead = m_in.first(step.consumed);
                m_record.responseBody.clear();
                m_record.status = m_framer->head().status();
            } else {
                m_record.responseSize += step.consumed;
                const QByteArrayView body = m_framer->body();
                m_record.responseBody += body.first(std::min(
                    body.size(), CaptureStore::bodyLimit + 1 - m_record.responseBody.size()));
            }
            m_in.remove(0, step.consumed);
            if (m_record.status == 101 || m_framer->is_done()) {
                const bool interim = m_record.status / 100 == 1 && m_record.status != 101;
                m_framer.reset();
                if (!interim) {
                    finish();
                }
            } else if (step.consumed == 0) {
                break; // the rest of a head
            }
        }
    }

    void ended()
    {
        if (!m_done && m_framer && m_framer->finishAtEnd()) {
            finish();
        } else if (!m_done) {
            fail(m_record.status == 0
                     ? Replayer::tr("The service closed the connection without answering.")
                     : Replayer::tr("The service closed the connection before its answer "
                                    "was whole."));
        }
    }

    void finish()
    {
        m_done = true;
        m_record.durationMsecs = QDateTime::currentMSecsSinceEpoch() - m_record.startedMsecs;
        m_record.finished = true;
        const quint64 id = m_store.add(std::move(m_record));
        Q_EMIT m_replayer.replayed(m_original, id);
        close();
    }

    void fail(const QString &message)
    {
        if (m_done) {
            return;
        }
        m_done = true;
        Q_EMIT m_replayer.failed(m_original, message);
        close();
    }

    void close()
    {
        m_timer.stop();
        m_socket->abort();
        deleteLater();
    }

    Replayer &m_replayer;
    CaptureStore &m_store;
    CapturedExchange m_record;
    quint64 m_original;
    QByteArray m_bytes;
    QTcpSocket *m_socket;
    QTimer m_timer;
    QByteArray m_in;
    std::optional<ResponseFramer> m_framer;
    bool m_bodyless = false;
    bool m_done = false;
};

} // namespace

Replayer::Replayer(CaptureStore &store, QObject *parent)
    : QObject(parent)
    , m_store(store)
{}

QByteArray Replayer::requestBytes(const CapturedExchange &exchange, QString *why)
{
    const auto refuse = [why](const QString &message) {
        if (why) {
            *why = message;
        }
        return QByteArray();
    };
    if (exchange.requestTruncated) {
        return refuse(tr("Its body was cut at 1 MiB when it was captured, so it cannot be sent "
                         "again as it was."));
    }
    // The framer that found the request's end when it passed finds it again here.
    const QByteArray bytes = exchange.requestHead + exchange.requestBody;
    RequestFramer framer;
    for (QByteArrayView rest(bytes); !rest.isEmpty() && !framer.is_done();) {
        const qsizetype used = framer.feed(rest).consumed;
        if (used == 0) {
            break;
        }
        rest = rest.sliced(used);
    }
    if (!framer.is_done()) {
        return refuse(tr("It had not arrived whole when it was captured."));
    }
    return bytes;
}

QByteArray Replayer::requestBytes(const ReplayEdit &edit, QString *why)
{
    const auto refuse = [why](const QString &message) {
        if (why) {
            *why = message;
        }
        return QByteArray();
    };
    if (!isToken(edit.method)) {
        return refuse(tr("The method must be a single word, such as GET or POST."));
    }
    if (edit.target.isEmpty() || hasControl(edit.target, true)) {
        return refuse(tr("The path must not be empty or contain spaces."));
    }
    QByteArray head = edit.method + ' ' + edit.target + " HTTP/1.1\r\n";
    const QByteArray length = "Content-Length: " + QByteArray::number(edit.body.size()) + "\r\n";
    bool lengthSent = false;
    for (const auto &[name, value] : edit.fields) {
        if (!isToken(name) || hasControl(value, false)) {
            return refuse(tr("The header “%1” has a name or value that cannot be sent.")
                              .arg(QString::fromLatin1(name)));
        }
        const bool framing = name.compare("Content-Length", Qt::CaseInsensitive) == 0 ||
                             name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0;
        if (!framing) {
            head += name + ": " + value.trimmed() + "\r\n";
        } else if (!lengthSent) {
            head += length; // in the place of the first field that framed the body
            lengthSent = true;
        }
    }
    if (!lengthSent && !edit.body.isEmpty()) {
        head += length;
    }
    return head + "\r\n" + edit.body;
}

QString Replayer::replay(quint64 id, const ProxyTarget &service)
{
    const CapturedExchange *exchange = m_store.exchange(id);
    QString why;
    const QByteArray bytes = exchange ? requestBytes(*exchange, &why) : QByteArray();
    return send(id, service, bytes, why);
}

QString Replayer::replayEdited(quint64 id, const ProxyTarget &service, const ReplayEdit &edit)
{
    QString why;
    const QByteArray bytes = m_store.exchange(id) ? requestBytes(edit, &why) : QByteArray();
    return send(id, service, bytes, why);
}

QString Replayer::send(quint64 id, const ProxyTarget &service, QByteArray bytes, const QString &why)
{
    const CapturedExchange *original = m_store.exchange(id);
    if (!original) {
        return tr("That request is no longer in the list.");
    }
    if (bytes.isEmpty()) {
        return why;
    }
    CapturedExchange record;
    record.tunnel = original->tunnel;
    record.replay = true;
    const qsizetype headEnd = bytes.indexOf("\r\n\r\n") + 4;
    record.requestHead = bytes.first(headEnd);
    record.requestBody = bytes.sliced(headEnd);
    record.requestSize = record.requestBody.size();
    const QByteArrayView line = QByteArrayView(bytes).first(bytes.indexOf('\r'));
    const qsizetype space = line.indexOf(' ');
    record.method = line.first(space).toByteArray();
    record.target = line.sliced(space + 1, line.lastIndexOf(' ') - space - 1).toByteArray();
    auto *job = new ReplayJob(*this, m_store, std::move(record), id, std::move(bytes));
    job->start(service, m_timeout);
    return {};
}

} // namespace Velumo
