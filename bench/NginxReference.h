// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#pragma once

#include "LoopbackService.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <string>
#include <thread>

// Debian's nginx-light in front of the same service, as the proxy's peer in the same run: one
// worker, keep-alive connections to the service, responses through its memory buffers only
// (its workers may not write in this folder), a visitor connection kept for every request the
// bench sends on it, everything else as nginx ships it, on
// loopback only, with a folder and a config of its own. port is 0 when nginx is missing
// (scripts/bench installs it).
struct NginxReference {
    explicit NginxReference(quint16 servicePort)
    {
        QString nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"));
        if (nginx.isEmpty()) {
            nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                                   {QStringLiteral("/usr/sbin")});
        }
        if (nginx.isEmpty() || !folder.isValid()) {
            return;
        }
        const int probe = Velumo::Bench::tcpSocket();
        sockaddr_in address = Velumo::Bench::loopback(0);
        socklen_t size = sizeof address;
        ::bind(probe, reinterpret_cast<sockaddr *>(&address), size);
        ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size);
        ::close(probe);
        const quint16 listen = ntohs(address.sin_port);
        const QString dir = folder.path();
        QFile config(dir + QStringLiteral("/nginx.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(
            QStringLiteral("worker_processes 1;\npid %1/nginx.pid;\nerror_log %1/error.log;\n"
                           "events { worker_connections 1024; }\nhttp {\n access_log off;\n"
                           " client_body_temp_path %1/body;\n proxy_temp_path %1/proxy;\n"
                           " fastcgi_temp_path %1/fastcgi;\n uwsgi_temp_path %1/uwsgi;\n"
                           " scgi_temp_path %1/scgi;\n"
                           " upstream service { server 127.0.0.1:%2; keepalive 16; }\n"
                           " server {\n  listen 127.0.0.1:%3;\n  client_max_body_size 0;\n"
                           "  keepalive_requests 1000000;\n"
                           "  location / { proxy_pass http://service; proxy_http_version 1.1;\n"
                           "   proxy_set_header Connection \"\"; proxy_max_temp_file_size 0; }\n }\n}\n")
                .arg(dir)
                .arg(servicePort)
                .arg(listen)
                .toUtf8());
        config.close();
        process.start(nginx, {QStringLiteral("-p"), dir, QStringLiteral("-c"), config.fileName(),
                              QStringLiteral("-e"), dir + QStringLiteral("/error.log"),
                              QStringLiteral("-g"), QStringLiteral("daemon off;")});
        for (int i = 0; i < 100 && process.state() != QProcess::NotRunning; ++i) {
            const int fd = Velumo::Bench::tcpSocket();
            const sockaddr_in to = Velumo::Bench::loopback(listen);
            const bool up = ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
            ::close(fd);
            if (up) {
                port = listen;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~NginxReference()
    {
        process.terminate();
        process.waitForFinished(5000);
    }

    QTemporaryDir folder;
    QProcess process;
    quint16 port = 0;
};

// Reads one response whole, its length from Content-Length (nginx adds fields of its own, so
// the bytes are not the service's exactly); false when the connection ended first.
inline bool receiveResponse(int fd)
{
    std::string got;
    char buffer[4096];
    size_t need = std::string::npos;
    while (got.size() < need) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        got.append(buffer, size_t(n));
        const size_t end = got.find("\r\n\r\n");
        const size_t length = got.find("Content-Length: ");
        if (end != std::string::npos && length != std::string::npos && length < end) {
            need = end + 4 + std::stoul(got.substr(length + 16));
        }
    }
    return true;
}
