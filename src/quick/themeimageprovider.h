#pragma once

#include "models/ithemepixmapprovider.h"

#include <QIcon>
#include <QQuickImageProvider>

#include <memory>

class ThemeImageProviderPrivate;

// Serves "image://theme/...": the program's own SVG icons, recoloured by the
// theme and rendered at a few fixed sizes from the part of the drawing made
// for that size; desktop application icons ("app/<name>"); the icon of a
// file's type ("file/<path>"); the platform's folder and generic file icons
// ("mime/...").
//
// The id arrives exactly as QML wrote it after "image://theme/"; a path in a
// "file/" id is percent-decoded once here, so whoever builds such a URL
// encodes the path once (fileIconUrl()).
//
// Also the program's IThemePixmapProvider: the models ask it for drive and
// read-only icons. GUI thread only.
class ThemeImageProvider : public QQuickImageProvider, public IThemePixmapProvider
{
public:
    // The theme object the colour lists are read from; not owned.
    explicit ThemeImageProvider(QObject* theme);
    ~ThemeImageProvider() override;

    static ThemeImageProvider* instance();

    // Output size and the part of the drawing (view box) for a requested
    // width; false for widths 1 to 15, which no icon is drawn for.
    static bool sizeBucket(int requestedWidth, QSize* outputSize, QRectF* viewBox);
    // "image://theme/file/" plus the path, percent-encoded once.
    static QString fileIconUrl(const QString& path);
    // The path of a "file/..." id, percent-decoded exactly once.
    static QString filePathOfId(const QString& id);

    QPixmap requestPixmap(const QString& id, QSize* size, const QSize& requestedSize) override;
    QPixmap platformFilePixmap(const QString& path, int size, bool isFile) override;

    // The desktop icon theme's icon for "app/<name>".
    static QIcon iconFromTheme(const QString& name);
    QPixmap appPixmap(const QString& id, QSize* size, const QSize& requestedSize);

private:
    std::unique_ptr<ThemeImageProviderPrivate> d;
};
