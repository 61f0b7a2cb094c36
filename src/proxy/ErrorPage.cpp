// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ErrorPage.h"

namespace Velumo {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 408:
        return "Request Timeout";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

} // namespace

QByteArray errorResponse(int status, const QString &message, bool withBody, QByteArrayView fields)
{
    const QByteArray title = QByteArray::number(status) + ' ' + reasonPhrase(status);
    const QByteArray page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title +
                            "</title></head>\n<body><h1>" + title + "</h1>\n<p>" +
                            message.toHtmlEscaped().toUtf8() +
                            "</p>\n<p>Sent by Velumo, which stands between the tunnel and the "
                            "service.</p></body></html>\n";
    return "HTTP/1.1 " + title + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(page.size()) + "\r\nCache-Control: no-store\r\n" + fields +
           "Connection: close\r\n\r\n" + (withBody ? page : QByteArray());
}

} // namespace Velumo
