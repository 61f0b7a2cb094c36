// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers
#include "gui/Symbols.h"

#include <QGuiApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>
#include <QPixmapCache>

// The resource sits in a static library: naming it here pulls it into every program that
// shows a symbol. The macro must be used outside any namespace.
static void initIconResource()
{
    Q_INIT_RESOURCE(icons);
}

namespace Velumo::Symbols {

namespace {

void ensureResource()
{
    static const bool ready = [] {
        initIconResource();
        QIcon::setFallbackSearchPaths(QIcon::fallbackSearchPaths() << QStringLiteral(":/icons"));
        return true;
    }();
    Q_UNUSED(ready)
}

// One of our drawings in the application palette's text colour, read when it is drawn: a
// palette change (a dark theme chosen while the window is open) repaints the widgets, and they
// get the drawing in the new colour. Drawn from the SVG at the pixel size asked for, so it is
// sharp at any scale factor; the pixmaps are shared through the pixmap cache.
class SymbolEngine : public QIconEngine
{
public:
    explicit SymbolEngine(QString name)
        : m_name(std::move(name))
    {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        painter->drawPixmap(rect, pixmap(rect.size() * painter->device()->devicePixelRatio(),
                                         mode, state));
    }

    // In device pixels: QIcon asks for the size times the screen's pixel ratio and marks the
    // pixmap with that ratio itself.
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State) override
    {
        const QPalette palette = QGuiApplication::palette();
        const QColor color = mode == QIcon::Disabled ? palette.color(QPalette::Disabled,
                                                                     QPalette::WindowText)
                             : mode == QIcon::Selected ? palette.color(QPalette::HighlightedText)
                                                       : palette.color(QPalette::WindowText);
        const QString key = QStringLiteral("velumo-symbol-%1-%2x%3-%4")
                                .arg(m_name)
                                .arg(size.width())
                                .arg(size.height())
                                .arg(color.rgba(), 0, 16);
        QPixmap drawn;
        if (!QPixmapCache::find(key, &drawn)) {
            ensureResource();
            drawn = QIcon(QStringLiteral(":/icons/%1.svg").arg(m_name)).pixmap(size, 1.0);
            // The drawing's own colour is dropped; only its shape and coverage stay.
            QPainter painter(&drawn);
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            painter.fillRect(drawn.rect(), color);
            painter.end();
            QPixmapCache::insert(key, drawn);
        }
        return drawn;
    }

    // Scalable: any size asked for is drawn.
    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }
    QString iconName() override { return m_name; }
    QString key() const override { return QStringLiteral("VelumoSymbol"); }
    QIconEngine *clone() const override { return new SymbolEngine(m_name); }

private:
    QString m_name;
};

// Named as the desktop icon themes name them, which is also how the resource names them.
QIcon symbol(const QString &name)
{
    return QIcon(new SymbolEngine(name));
}

} // namespace

QIcon link()
{
    return symbol(QStringLiteral("insert-link"));
}

QIcon play()
{
    return symbol(QStringLiteral("media-playback-start"));
}

QIcon trash()
{
    return symbol(QStringLiteral("user-trash"));
}

QIcon stop()
{
    return symbol(QStringLiteral("media-playback-stop"));
}

QIcon warning()
{
    return symbol(QStringLiteral("dialog-warning"));
}

QIcon qrCode()
{
    return symbol(QStringLiteral("view-barcode-qr"));
}

QIcon log()
{
    return symbol(QStringLiteral("text-x-generic"));
}

QIcon inspect()
{
    return symbol(QStringLiteral("edit-find"));
}

QIcon requests()
{
    return symbol(QStringLiteral("view-list-details"));
}

QIcon lock()
{
    return symbol(QStringLiteral("dialog-password"));
}

QIcon key()
{
    return symbol(QStringLiteral("emblem-shared"));
}

QIcon more()
{
    return symbol(QStringLiteral("view-more-horizontal"));
}

// The application's own icon keeps its colours; the desktop's theme may have its own version.
QIcon appIcon()
{
    ensureResource();
    return QIcon::fromTheme(QStringLiteral("org.velumo.Velumo"));
}

} // namespace Velumo::Symbols
