// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

// The local service of bench_proxy and the blocking socket calls its visitor makes.
namespace Velumo::Bench {

using Clock = std::chrono::steady_clock;

constexpr qint64 bigSize = 100 * 1024 * 1024;
constexpr qint64 burstSize = 2 * 1024 * 1024;
constexpr size_t chunkSize = 1024 * 1024;
inline const std::string smallRequest = "GET /small HTTP/1.1\r\nHost: bench\r\n\r\n";
inline const std::string smallResponse = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

inline double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline int tcpSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

inline sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline int connectTo(quint16 port)
{
    const int fd = tcpSocket();
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        qFatal("cannot connect to port %u", unsigned(port));
    }
    return fd;
}

inline bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

inline bool sendAll(int fd, const std::string &text)
{
    return sendAll(fd, text.data(), text.size());
}

inline bool receiveExactly(int fd, char *into, size_t size)
{
    while (size > 0) {
        const ssize_t got = ::recv(fd, into, size, 0);
        if (got <= 0) {
            return false;
        }
        into += got;
        size -= size_t(got);
    }
    return true;
}

// The local service: a thread per connection; /small, /big (100 MiB), /burst (2 MiB) and
// /upload (100 MiB).
class Service
{
public:
    Service()
    {
        m_fd = tcpSocket();
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        ::listen(m_fd, 1024);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        std::thread([fd = m_fd] {
            for (int client; (client = ::accept(fd, nullptr, nullptr)) >= 0;) {
                std::thread(serve, client).detach();
            }
        }).detach();
    }
    quint16 port = 0;

private:
    static void serve(int fd)
    {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string buffer;
        std::vector<char> chunk(chunkSize, 'x');
        for (bool open = true; open;) {
            size_t end;
            while (open && (end = buffer.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
                open = got > 0;
                buffer.append(chunk.data(), size_t(std::max<ssize_t>(got, 0)));
            }
            if (!open) {
                break;
            }
            const std::string head = buffer.substr(0, end + 4);
            buffer.erase(0, end + 4);
            if (head.starts_with("GET /big") || head.starts_with("GET /burst")) {
                const qint64 size = head.starts_with("GET /big") ? bigSize : burstSize;
                open = sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                                       "\r\n\r\n");
                for (qint64 left = size; open && left > 0; left -= qint64(chunk.size())) {
                    open = sendAll(fd, chunk.data(), size_t(std::min<qint64>(left, chunk.size())));
                }
            } else if (head.starts_with("PUT /upload")) {
                qint64 left = bigSize - qint64(std::min<size_t>(buffer.size(), bigSize));
                buffer.erase(0, size_t(bigSize - left));
                while (open && left > 0) {
                    const ssize_t got =
                        ::recv(fd, chunk.data(), size_t(std::min<qint64>(left, chunk.size())), 0);
                    open = got > 0;
                    left -= got;
                }
                open = open && sendAll(fd, smallResponse);
            } else {
                open = sendAll(fd, smallResponse);
            }
        }
        ::close(fd);
    }
    int m_fd = -1;
};

} // namespace Velumo::Bench
