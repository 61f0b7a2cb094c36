// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>
#include <cstring>

#include <sys/socket.h>

namespace Velumo {

// Bytes read from one socket and not yet forwarded: at most a head in the making, or what one
// read brought. Reading appends, forwarding consumes from the front.
struct Inbox {
    // Reads take at most this much; Qt's own buffer per socket holds as much again. Larger
    // reads save no CPU (measured on loopback), and a busy connection holds this per side.
    static constexpr qsizetype readSize = 64 * 1024;
    // Reading from one side stops while the other side has this much still to write: a slow
    // reader holds about this much per direction, however large the transfer.
    static constexpr qint64 writeHighWater = 256 * 1024;

    QByteArray bytes;
    qsizetype begin = 0;
    qsizetype end = 0;
    // Bytes at the front already read through and due to go out with what follows them.
    qsizetype framed = 0;

    QByteArrayView view() const { return {bytes.constData() + begin, end - begin}; }
    QByteArrayView unframed() const { return view().sliced(framed); }
    bool isEmpty() const { return begin == end; }

    void consume(qsizetype n)
    {
        begin += n;
        if (begin == end) {
            begin = end = 0;
        }
    }

    // Framed bytes leave in one write when the message is whole, before the next read and at
    // the end of a pass, so a head and the body read with it make one segment and the peer
    // wakes once for a small message. Dropped when the socket is closed already.
    inline void sendFramed(QTcpSocket &to);

    // An empty inbox gives its memory back; it grows again with the next read.
    void release()
    {
        if (isEmpty()) {
            bytes = QByteArray();
            begin = end = framed = 0;
        }
    }

    // Appends what the device has; false when it had nothing.
    bool fill(QIODevice &from)
    {
        const qint64 available = from.bytesAvailable();
        if (available <= 0) {
            return false;
        }
        if (begin > 0) {
            std::memmove(bytes.data(), bytes.constData() + begin, size_t(end - begin));
            end -= begin;
            begin = 0;
        }
        const auto want = qsizetype(std::min<qint64>(available, readSize));
        if (bytes.size() < end + want) {
            bytes.resize(end + want);
        }
        const qint64 got = from.read(bytes.data() + end, want);
        end += std::max<qint64>(got, 0);
        return got > 0;
    }
};

// Sends at once what the kernel takes and leaves only the rest to Qt's buffer. A buffered
// write switches the socket's write notifier on and then off again, and glib wakes its loop
// on every such switch: extra turns of the proxy thread for every request. A TLS socket's
// bytes must pass through its encryption, so they always go to Qt.
inline void send(QTcpSocket &socket, QByteArrayView bytes)
{
    if (socket.bytesToWrite() == 0 && socket.state() == QAbstractSocket::ConnectedState &&
        !qobject_cast<QSslSocket *>(&socket)) {
        const ssize_t sent = ::send(int(socket.socketDescriptor()), bytes.data(),
                                    size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        bytes = bytes.sliced(std::max<qsizetype>(sent, 0));
    }
    if (!bytes.isEmpty()) {
        socket.write(bytes.data(), bytes.size());
    }
}

void Inbox::sendFramed(QTcpSocket &to)
{
    if (framed == 0) {
        return;
    }
    if (to.isOpen()) {
        send(to, view().first(framed));
    }
    consume(framed);
    framed = 0;
}

// Hands the kernel what it takes now; true when that brought the buffer under the bound.
// Qt does not emit bytesWritten() again from inside its own emission, so room made by a
// flush there must be noticed here, or reading would wait for a signal that never comes.
inline bool flushMadeRoom(QTcpSocket &socket)
{
    const bool full = socket.bytesToWrite() >= Inbox::writeHighWater;
    socket.flush();
    return full && socket.bytesToWrite() < Inbox::writeHighWater;
}

} // namespace Velumo
