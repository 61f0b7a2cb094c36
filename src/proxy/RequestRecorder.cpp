// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/RequestRecorder.h"

#include "proxy/HttpFramer.h"
#include "proxy/ProxyServer.h"
#include "proxy/ServiceConnector.h"
#include "proxy/ServiceEndpoint.h"
#include "proxy/TlsProbe.h"

#include <QDateTime>
#include <QHostAddress>
#include <QSslSocket>
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

// One replay: its connection to the service, made as the proxy makes its own (TLS and the
// certificate trusted for the service included), and the response coming back.
class ReplayJob : public QObject
{
public:
    ReplayJob(RequestRecorder &recorder, CapturedExchange record, quint64 original,
              QByteArray bytes, const ProxyTarget &service, std::chrono::milliseconds timeout)
        : QObject(&recorder)
        , m_recorder(recorder)
        , m_record(std::move(record))
        , m_original(original)
        , m_bytes(std::move(bytes))
        , m_service(service, std::min(timeout, ProxyTimeouts{}.connect), this)
        , m_socket(service.tls ? new QSslSocket(this) : new QTcpSocket(this))
        , m_connector(*m_socket, m_service, this)
    {
        m_bodyless = m_record.request.method == "HEAD";
        connect(&m_connector, &ServiceConnector::connected, this, &ReplayJob::connected);
        connect(&m_connector, &ServiceConnector::failed, this,
                [this] { fail(m_connector.failure()); });
        m_timer.setSingleShot(true);
        m_timer.setInterval(timeout);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            fail(RequestRecorder::tr("The service did not answer whole within %1 seconds.")
                     .arg(m_timer.interval() / 1000.0));
        });
    }

    void start(const QByteArray &trustedCertificate)
    {
        m_service.setTrustedCertificate(trustedCertificate);
        m_timer.start();
        m_connector.start();
    }

private:
    void connected()
    {
        // Until now the connector dealt with the socket's errors and ends.
        connect(m_socket, &QTcpSocket::readyRead, this, &ReplayJob::read);
        connect(m_socket, &QTcpSocket::disconnected, this, &ReplayJob::ended);
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
            if (m_socket->error() != QAbstractSocket::RemoteHostClosedError) {
                fail(m_socket->errorString());
            }
        });
        m_record.startedMsecs = QDateTime::currentMSecsSinceEpoch();
        m_socket->write(m_bytes);
    }

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
                fail(!m_service.target().tls && TlsProbe::looksLikeTls(m_in)
                         ? speaksTls()
                         : RequestRecorder::tr(
                               "The service's answer could not be read as HTTP/1.1."));
                return;
            }
            if (step.head) {
                m_record.response = CapturedHead::response(m_in.first(step.consumed));
                m_record.responseBody.clear();
            } else {
                m_record.responseSize += step.consumed;
                const QByteArrayView body = m_framer->body();
                m_record.responseBody += body.first(std::min(
                    body.size(), CaptureStore::bodyLimit + 1 - m_record.responseBody.size()));
            }
            m_in.remove(0, step.consumed);
            const int status = m_record.response.status;
            if (status == 101 || m_framer->is_done()) {
                const bool interim = status / 100 == 1 && status != 101;
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
        if (m_done || m_probing) {
            return;
        }
        if (m_framer && m_framer->finishAtEnd()) {
            finish();
            return;
        }
        if (m_record.response.status != 0) {
            fail(RequestRecorder::tr("The service closed the connection before its answer "
                                     "was whole."));
            return;
        }
        const QString closed =
            RequestRecorder::tr("The service closed the connection without answering.");
        // A TLS service closes on a plain request without a word, as the proxy finds too.
        const QHostAddress address = m_service.addresses().value(0);
        if (m_service.target().tls || address.isNull() || !m_in.isEmpty()) {
            fail(closed);
            return;
        }
        m_probing = true;
        auto *probe = new TlsProbe(address, m_service.target().port, TlsProbe::patience, this);
        connect(probe, &TlsProbe::finished, this, [this, closed](bool speaks) {
            fail(speaks ? speaksTls() : closed);
        });
    }

    QString speaksTls() const
    {
        return TlsProbe::speaksTlsMessage(m_service.name(), m_service.target().host);
    }

    void finish()
    {
        m_done = true;
        m_record.durationMsecs = QDateTime::currentMSecsSinceEpoch() - m_record.startedMsecs;
        m_record.finished = true;
        const quint64 id = m_recorder.captures().add(std::move(m_record));
        Q_EMIT m_recorder.replayed(m_original, id);
        close();
    }

    void fail(const QString &message)
    {
        if (m_done) {
            return;
        }
        m_done = true;
        Q_EMIT m_recorder.failed(m_original, message);
        close();
    }

    void close()
    {
        m_timer.stop();
        m_socket->abort();
        deleteLater();
    }

    RequestRecorder &m_recorder;
    CapturedExchange m_record;
    quint64 m_original;
    QByteArray m_bytes;
    ServiceEndpoint m_service;
    QTcpSocket *m_socket;
    ServiceConnector m_connector;
    QTimer m_timer;
    QByteArray m_in;
    std::optional<ResponseFramer> m_framer;
    bool m_bodyless = false;
    bool m_done = false;
    bool m_probing = false;
};

} // namespace

RequestRecorder::RequestRecorder(QObject *parent)
    : QObject(parent)
{}

Result<QByteArray> RequestRecorder::requestBytes(const CapturedExchange &exchange)
{
    if (exchange.requestTruncated) {
        return Refusal{tr("Its body was cut at 1 MiB when it was captured, so it cannot be sent "
                          "again as it was.")};
    }
    if (!exchange.requestWhole) {
        return Refusal{tr("It had not arrived whole when it was captured.")};
    }
    // As the service got it, with the Host it expects when the proxy sent that one.
    const QByteArray &head =
        exchange.forwardedHead.isEmpty() ? exchange.request.bytes : exchange.forwardedHead;
    return QByteArray(head + exchange.requestBody);
}

Result<QByteArray> RequestRecorder::requestBytes(const ReplayEdit &edit)
{
    if (!isToken(edit.method)) {
        return Refusal{tr("The method must be a single word, such as GET or POST.")};
    }
    if (edit.target.isEmpty() || hasControl(edit.target, true)) {
        return Refusal{tr("The path must not be empty or contain spaces.")};
    }
    QByteArray head = edit.method + ' ' + edit.target + " HTTP/1.1\r\n";
    const QByteArray length = "Content-Length: " + QByteArray::number(edit.body.size()) + "\r\n";
    bool lengthSent = false;
    for (const auto &[name, value] : edit.fields) {
        if (!isToken(name) || hasControl(value, false)) {
            return Refusal{tr("The header “%1” has a name or value that cannot be sent.")
                               .arg(QString::fromLatin1(name))};
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
    return QByteArray(head + "\r\n" + edit.body);
}

Done RequestRecorder::replay(quint64 id, const ReplayService &service)
{
    const CapturedExchange *exchange = m_store.exchange(id);
    return send(id, service, exchange ? requestBytes(*exchange) : Refusal{});
}

Done RequestRecorder::replayEdited(quint64 id, const ReplayService &service, const ReplayEdit &edit)
{
    return send(id, service, requestBytes(edit));
}

Done RequestRecorder::send(quint64 id, const ReplayService &service,
                           const Result<QByteArray> &bytes)
{
    const CapturedExchange *original = m_store.exchange(id);
    if (!original) {
        return Refusal{tr("That request is no longer in the list.")};
    }
    if (!bytes) {
        return Refusal{bytes.reason()};
    }
    CapturedExchange record;
    record.tunnel = original->tunnel;
    record.replay = true;
    const qsizetype headEnd = bytes->indexOf("\r\n\r\n") + 4;
    record.request.bytes = bytes->first(headEnd);
    record.requestBody = bytes->sliced(headEnd);
    record.requestSize = record.requestBody.size();
    record.readRequest();
    auto *job = new ReplayJob(*this, std::move(record), id, *bytes, service.target, m_timeout);
    job->start(service.trustedCertificate);
    return {};
}

} // namespace Velumo
