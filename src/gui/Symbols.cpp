// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/Symbols.h"

// The resource sits in a static library: naming it here pulls it into every program that
// shows a symbol. The macro must be used outside any namespace.
static void initIconResource()
{
    Q_INIT_RESOURCE(icons);
}

namespace Velumo::Symbols {

namespace {

// Qt keeps one icon per theme name for the whole application, so each drawing is read once
// however many rows show it; our drawings stand in where the desktop's theme has none.
QIcon themed(const QString &name)
{
    static const bool ready = [] {
        initIconResource();
        QIcon::setFallbackSearchPaths(QIcon::fallbackSearchPaths() << QStringLiteral(":/icons"));
        return true;
    }();
    Q_UNUSED(ready)
    return QIcon::fromTheme(name);
}

} // namespace

QIcon link()
{
    return themed(QStringLiteral("insert-link"));
}

QIcon play()
{
    return themed(QStringLiteral("media-playback-start"));
}

QIcon trash()
{
    return themed(QStringLiteral("user-trash"));
}

QIcon stop()
{
    return themed(QStringLiteral("media-playback-stop"));
}

QIcon warning()
{
    return themed(QStringLiteral("dialog-warning"));
}

QIcon qrCode()
{
    return themed(QStringLiteral("view-barcode-qr"));
}

QIcon log()
{
    return themed(QStringLiteral("text-x-generic"));
}

QIcon inspect()
{
    return themed(QStringLiteral("edit-find"));
}

QIcon requests()
{
    return themed(QStringLiteral("view-list-details"));
}

QIcon lock()
{
    return themed(QStringLiteral("dialog-password"));
}

QIcon key()
{
    return themed(QStringLiteral("emblem-shared"));
}

QIcon appIcon()
{
    return themed(QStringLiteral("org.velumo.Velumo"));
}

} // namespace Velumo::Symbols
