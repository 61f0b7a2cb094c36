// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "proxy/ProxyHost.h"

#include "proxy/ProxyServer.h"

using namespace Qt::StringLiterals;

namespace Velumo {

ProxyHost::ProxyHost(QObject *parent)
    : QObject(parent)
    , m_root(new QObject)
{
    m_thread.setObjectName(u"velumo-proxy"_s);
    m_root->moveToThread(&m_thread);
}

ProxyHost::~ProxyHost()
{
    if (m_thread.isRunning()) {
        // The servers are deleted where they live, their sockets with them.
        QMetaObject::invokeMethod(
            m_root, [root = m_root] { qDeleteAll(root->children()); },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    delete m_root;
}

void ProxyHost::adopt(ProxyServer *server)
{
    if (!m_thread.isRunning()) {
        m_thread.start();
    }
    server->moveToThread(&m_thread);
    QMetaObject::invokeMethod(m_root, [root = m_root, server] { server->setParent(root); });
}

} // namespace Velumo
