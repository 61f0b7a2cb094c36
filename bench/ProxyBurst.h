// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "LoopbackService.h"

#include <poll.h>

#include <string>
#include <vector>

namespace Velumo::Bench {

// `connections` visitors at once, each reading a 2 MiB response (/burst) whole; how many did.
inline int burst(quint16 port, int connections)
{
    const std::string request = "GET /burst HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::vector<pollfd> fds;
    std::vector<qint64> left(size_t(connections), -1); // body bytes still due; -1: head due
    std::vector<std::string> heads(static_cast<size_t>(connections));
    for (int i = 0; i < connections; ++i) {
        fds.push_back({connectTo(port), POLLIN, 0});
        sendAll(fds.back().fd, request);
    }
    int done = 0;
    std::vector<char> buffer(64 * 1024);
    while (done<connections && ::poll(fds.data(), fds.size(), 10'000)> 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            const ssize_t got = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
            qint64 body = got;
            if (got > 0 && left[i] < 0) {
                heads[i].append(buffer.data(), size_t(got));
                const size_t end = heads[i].find("\r\n\r\n");
                body = end == std::string::npos ? 0 : qint64(heads[i].size() - end - 4);
                left[i] = end == std::string::npos ? -1 : burstSize;
            }
            if (left[i] >= 0) {
                left[i] -= body;
            }
            if (got <= 0 || left[i] == 0) {
                done += left[i] == 0 ? 1 : 0;
                ::close(fds[i].fd);
                fds[i].fd = -1; // poll skips it
                if (got <= 0 && left[i] != 0) {
                    return done; // cut short
                }
            }
        }
    }
    for (const pollfd &fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    return done;
}

} // namespace Velumo::Bench
