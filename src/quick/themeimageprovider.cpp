#include "quick/themeimageprovider.h"

#include "core/logger.h"

#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QJSValue>
#include <QMetaProperty>
#include <QMimeDatabase>
#include <QPainter>
#include <QPointer>
#include <QSvgRenderer>
#include <QUrl>

namespace {
ThemeImageProvider* s_instance = nullptr;
}

class ThemeImageProviderPrivate
{
public:
    QPointer<QObject> theme;
    QSvgRenderer svg;
    QFileIconProvider platformIcons;
};

ThemeImageProvider::ThemeImageProvider(QObject* theme)
    : QQuickImageProvider(QQuickImageProvider::Pixmap), d(new ThemeImageProviderPrivate)
{
    d->theme = theme;
    s_instance = this;
    IThemePixmapProvider::install(this);
    QStringList fallback = QIcon::fallbackSearchPaths();
    const QString pixmaps = QStringLiteral("/usr/share/pixmaps");
    if (!fallback.contains(pixmaps)) {
        fallback << pixmaps;
        QIcon::setFallbackSearchPaths(fallback);
    }
}

ThemeImageProvider::~ThemeImageProvider()
{
    if (IThemePixmapProvider::instance() == this)
        IThemePixmapProvider::install(nullptr);
    if (s_instance == this)
        s_instance = nullptr;
}

ThemeImageProvider* ThemeImageProvider::instance()
{
    return s_instance;
}

bool ThemeImageProvider::sizeBucket(int w, QSize* outputSize, QRectF* viewBox)
{
    QSize out(32, 32);
    QRectF box(0, 0, 32, 32);
    if (w <= 0) {
        // no size asked for: the main drawing
    } else if (w < 16) {
        return false;
    } else if (w < 24) {
        out = QSize(16, 16);
        box = QRectF(-40, 0, 16, 16);
    } else if (w < 32) {
        out = QSize(24, 24);
        box = QRectF(-24, 0, 24, 24);
    } else if (w < 40) {
        // 32: the main drawing
    } else if (w < 48) {
        out = QSize(40, 40);
    } else {
        out = QSize(48, 48);
    }
    if (outputSize)
        *outputSize = out;
    if (viewBox)
        *viewBox = box;
    return true;
}

QString ThemeImageProvider::fileIconUrl(const QString& path)
{
    return QStringLiteral("image://theme/file/")
        + QString::fromLatin1(QUrl::toPercentEncoding(path, QByteArrayLiteral("/")));
}

QString ThemeImageProvider::filePathOfId(const QString& id)
{
    return QUrl::fromPercentEncoding(id.mid(5).toUtf8());
}

QIcon ThemeImageProvider::iconFromTheme(const QString& name)
{
    return QIcon::fromTheme(name.split(QLatin1Char('/')).value(1));
}

QPixmap ThemeImageProvider::appPixmap(const QString& id, QSize* size, const QSize& requestedSize)
{
    if (size)
        *size = requestedSize;
    return iconFromTheme(id).pixmap(requestedSize, QIcon::Normal, QIcon::Off);
}

QPixmap ThemeImageProvider::platformFilePixmap(const QString&, int, bool)
{
    // No platform preview hook on this desktop: callers load the file themselves.
    return QPixmap();
}

QPixmap ThemeImageProvider::requestPixmap(const QString& id, QSize* size, const QSize& requestedSize)
{
    Logger::log(Logger::NFO2, "try load icon %s %dx%d", qUtf8Printable(id), requestedSize.width(),
                requestedSize.height());
    if (id.startsWith(QLatin1String("app/")))
        return appPixmap(id, size, requestedSize);

    QSize out;
    QRectF viewBox;
    if (!sizeBucket(requestedSize.width(), &out, &viewBox)) {
        Logger::log(Logger::ERR1, "failed load icon %s unsupported size %dx%d", qUtf8Printable(id),
                    requestedSize.width(), requestedSize.height());
        return QPixmap();
    }
    if (size)
        *size = out;

    const QStringList parts = id.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString fileName;
    QString colourProperty;
    if (parts.size() >= 2 && parts.first().startsWith(QLatin1String("icon"))) {
        fileName = parts.at(1);
        colourProperty = parts.first();
    } else if (parts.value(0) == QLatin1String("file")) {
        // The path is everything after "file/", percent-decoded exactly once.
        const QString path = filePathOfId(id);
        const QFileInfo info(path);
        const QString mimeName = QMimeDatabase().mimeTypeForFile(info).name();
        QIcon icon;
        if (!mimeName.isEmpty() && info.exists())
            icon = d->platformIcons.icon(info);
        if (icon.isNull() && !mimeName.isEmpty())
            icon = QIcon::fromTheme(QMimeDatabase().mimeTypeForName(mimeName).iconName());
        if (icon.isNull())
            icon = d->platformIcons.icon(QFileIconProvider::File);
        return icon.pixmap(out, QIcon::Normal, QIcon::Off);
    } else if (id.startsWith(QLatin1String("mime"))) {
        const QIcon icon = id == QLatin1String("mime/application/x-directory")
                               ? d->platformIcons.icon(QFileIconProvider::Folder)
                               : d->platformIcons.icon(QFileIconProvider::File);
        return icon.pixmap(out, QIcon::Normal, QIcon::Off);
    }

    QByteArray svgText;
    QFile file(QStringLiteral(":/icons/") + fileName);
    if (fileName.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        Logger::log(Logger::ERR1, "failed to load icon %s", qUtf8Printable(id));
    } else {
        svgText = file.readAll();
        QObject* colours = d->theme ? d->theme->property(colourProperty.toLatin1().constData()).value<QObject*>()
                                    : nullptr;
        if (colours) {
            const QMetaObject* meta = colours->metaObject();
            for (int i = 0; i < meta->propertyCount(); ++i) {
                const QMetaProperty property = meta->property(i);
                if (property.type() == QVariant::String)
                    continue;
                QVariant value = property.read(colours);
                if (value.userType() == qMetaTypeId<QJSValue>())
                    value = value.value<QJSValue>().toVariant();
                const QStringList pair = value.toStringList();
                if (pair.size() == 2)
                    svgText.replace(pair.at(0).toLocal8Bit(), pair.at(1).toLocal8Bit());
            }
        }
    }

    QImage image(out, QImage::Format_ARGB32);
    QPainter painter(&image);
    if (!svgText.isEmpty() && d->svg.load(svgText)) {
        image.fill(0x00FFFFFF);
        d->svg.setViewBox(viewBox);
        d->svg.render(&painter);
    } else {
        image.fill(0xAAA08080);
    }
    painter.end();
    return QPixmap::fromImage(image);
}
