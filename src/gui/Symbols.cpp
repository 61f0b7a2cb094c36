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

QIcon themed(const QString &name, const QString &file)
{
    static const bool loaded = (initIconResource(), true);
    Q_UNUSED(loaded)
    return QIcon::fromTheme(name, QIcon(u":/icons/" + file));
}

} // namespace

QIcon link()
{
    return themed(QStringLiteral("insert-link"), QStringLiteral("link.svg"));
}

QIcon play()
{
    return themed(QStringLiteral("media-playback-start"), QStringLiteral("play.svg"));
}

QIcon trash()
{
    return themed(QStringLiteral("user-trash"), QStringLiteral("trash.svg"));
}

QIcon stop()
{
    return themed(QStringLiteral("media-playback-stop"), QStringLiteral("stop.svg"));
}

QIcon warning()
{
    return themed(QStringLiteral("dialog-warning"), QStringLiteral("warning.svg"));
}

QIcon qrCode()
{
    return themed(QStringLiteral("view-barcode-qr"), QStringLiteral("qr-code.svg"));
}

QIcon log()
{
    return themed(QStringLiteral("text-x-generic"), QStringLiteral("log.svg"));
}

QIcon appIcon()
{
    return themed(QStringLiteral("org.velumo.Velumo"), QStringLiteral("org.velumo.Velumo.svg"));
}

} // namespace Velumo::Symbols
