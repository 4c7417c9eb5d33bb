#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

// The pixmaps of the program's own icon theme ("icon/drive-disk.svg",
// "icon/read-only.svg", ...), as the node view's theme image provider renders
// them. The models only ask; whoever renders the theme implements this and
// installs itself. Without an installed provider the models fall back to the
// desktop's icon theme.
class IThemePixmapProvider
{
public:
    virtual ~IThemePixmapProvider();

    // The pixmap of an image id at the requested size; its real size goes to
    // *size when size is not null. A null pixmap when the id is unknown.
    virtual QPixmap requestPixmap(const QString& id, QSize* size, const QSize& requestedSize) = 0;
    // The platform's own pixmap of a local file or folder at the given square
    // size; null when the platform has none.
    virtual QPixmap platformFilePixmap(const QString& path, int size, bool isFile) = 0;

    // The installed provider, or null. Not owned; the provider uninstalls
    // itself (install(nullptr)) before it goes.
    static IThemePixmapProvider* instance();
    static void install(IThemePixmapProvider* provider);
};
