#include "imaging/imageloader.h"

#include "core/idatabase.h"
#include "core/logger.h"
#include "imaging/exifreader.h"
#include "imaging/ghostscript.h"
#include "imaging/imagecap.h"
#include "imaging/jpegscan.h"
#include "imaging/librawlibrary.h"

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <QTransform>
#include <QUuid>

namespace {

const char* const kQtReaderSuffixes[] = {".png", ".jpg", ".jpeg", ".bmp", ".ico", ".gif", ".pbm",
                                         ".psd", ".psb", ".webp", ".cur", ".icns", ".tga", ".tif",
                                         ".tiff", ".xpm", ".xbm", ".xcf", ".kra", ".ora"};
const char* const kGhostscriptSuffixes[] = {".ai", ".eps", ".pdf", ".ps"};
const char* const kRawSuffixes[] = {".ARW", ".CR2", ".NEF", ".NRW", ".RAW", ".RW2", ".DNG", ".psd"};

constexpr int kCacheMaxWidth = 1024;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The widest bound, the first of equals; (0, 0) without bounds.
QSize widestBound(const std::vector<QSize>& bounds)
{
    QSize widest(0, 0);
    bool first = true;
    for (const QSize& bound : bounds) {
        if (first || bound.width() > widest.width())
            widest = bound;
        first = false;
    }
    return widest;
}

QImage rotated(const QImage& image, int degrees)
{
    QTransform transform;
    transform.translate(image.width() / 2.0, image.height() / 2.0);
    transform.rotate(degrees);
    transform.translate(-image.width() / 2.0, -image.height() / 2.0);
    return image.transformed(transform, Qt::FastTransformation);
}

// The candidate that serves one bound best (see the fitting step).
const QImage& bestFor(const std::vector<QImage>& candidates, const QSize& bound)
{
    const QImage* best = &candidates.front();
    for (size_t i = 1; i < candidates.size(); ++i) {
        const QImage& c = candidates[i];
        if (c.width() > best->width() && best->width() >= bound.width())
            continue;
        if (c.height() > best->height() && best->height() >= bound.height())
            continue;
        if (c.width() > best->width() || c.height() > best->height())
            best = &c;
    }
    return *best;
}

QImage fitted(const QImage& image, const QSize& bound)
{
    if (image.width() < bound.width() && image.height() < bound.height())
        return image;
    if (bound.isEmpty())
        return QImage();
    return image.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace

ImageLoader::ImageLoader(IDatabase* db, bool useCache)
    : m_db(db), m_useCache(useCache), m_libRaw(new LibRawLibrary), m_ghostscript(new Ghostscript)
{
    if (!m_libRaw->loaded())
        Logger::log(Logger::NFO1, "RAW photographs show their embedded JPEG: %s", qUtf8Printable(m_libRaw->error()));
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        const QList<QScreen*> screens = QGuiApplication::screens();
        if (!screens.isEmpty()) {
            m_physicalDpi = screens.front()->physicalDotsPerInch();
            Logger::log(Logger::NFO2, "screen: logical dpi: %f", screens.front()->logicalDotsPerInch());
            Logger::log(Logger::NFO2, "screen: physical dpi: %f", m_physicalDpi);
        }
    }
}

ImageLoader::~ImageLoader()
{
    waitForJobs(); // they read the LibRaw table and the ghostscript state
}

bool ImageLoader::useCache() const
{
    return m_useCache;
}

bool ImageLoader::libRawLoaded() const
{
    return m_libRaw->loaded();
}

double ImageLoader::physicalDpi() const
{
    return m_physicalDpi;
}

void ImageLoader::setPhysicalDpi(double dpi)
{
    m_physicalDpi = dpi;
}

bool ImageLoader::readCache(const GetImageRequest& request, const QSize& widest, GetImageResult& result) const
{
    std::vector<ImageCacheDto> rows = m_db->getImages(request.peerUuid, request.path, request.mtime, widest);
    for (ImageCacheDto& row : rows) {
        QImage image = QImage::fromData(row.img);
        if (image.isNull())
            continue; // not refreshed: it ages out
        if (image.width() > result.size.width())
            result.size = image.size();
        result.images.push_back(image);
        row.atime = nowMs();
        m_db->putImage(row);
    }
    return !result.images.empty();
}

void ImageLoader::storeCache(const GetImageRequest& request, const GetImageResult& result) const
{
    for (const QImage& image : result.images) {
        if (image.isNull() || image.width() > kCacheMaxWidth)
            continue;
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        if (!writer.write(image))
            continue;
        ImageCacheDto row;
        row.imgUuid = QUuid::createUuid().toString();
        row.peerUuid = request.peerUuid;
        row.uri = request.path;
        row.width = image.width();
        row.height = image.height();
        // The key the lookup uses: the caller's mtime, which may differ from
        // what the file says now (a listing a moment old, a rounded time).
        row.mtime = request.mtime;
        row.atime = nowMs();
        row.img = bytes;
        m_db->putImage(row);
    }
}

bool ImageLoader::renderSvg(const GetImageRequest& request, GetImageResult& result)
{
    QSvgRenderer renderer;
    if (!renderer.load(request.path))
        return false;
    const QSize own = renderer.defaultSize();
    result.size = own;
    std::vector<QSize> sizes;
    if (request.bounds.empty())
        sizes.push_back(own);
    for (const QSize& bound : request.bounds)
        sizes.push_back(own.scaled(bound, Qt::KeepAspectRatio));
    for (const QSize& wanted : sizes) {
        const QSize size = ImageCap::capped(wanted);
        if (size.isEmpty())
            continue;
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        if (image.isNull())
            continue;
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        renderer.render(&painter);
        painter.end();
        result.images.push_back(image);
    }
    return true;
}

Preview::GetImageResult ImageLoader::getImage(const GetImageRequest& request) const
{
    GetImageResult result;
    result.path = request.path;
    const QString& path = request.path;
    const QSize widest = widestBound(request.bounds);

    const bool cached = m_db && m_useCache && !request.peerUuid.isEmpty() && request.mtime >= 1;
    if (cached && readCache(request, widest, result))
        return result;

    if (!QFileInfo::exists(path)) {
        Logger::log(Logger::NFO2, "abort peview file: %s, doesn't exist", qUtf8Printable(path));
        return result;
    }
    if (!path.contains(QLatin1Char('.')))
        return result;

    std::vector<QImage> candidates;
    bool oriented = false; // the candidates stand upright already

    // Qt's readers, for any listed suffix anywhere in the path. The reader
    // picks its plug-in from the content, so one read serves them all; the
    // first suffix the path holds says whether EXIF fields are read.
    for (const char* suffix : kQtReaderSuffixes) {
        if (!path.contains(QLatin1String(suffix), Qt::CaseInsensitive))
            continue;
        QImageReader reader(path);
        reader.setAutoTransform(true); // turns JPEGs by their EXIF orientation
        reader.setQuality(100);
        if (widest.width() > 0 && reader.supportsOption(QImageIOHandler::ScaledSize)) {
            const QSize size = reader.size();
            if (size.isValid() && (size.width() > widest.width() || size.height() > widest.height()))
                reader.setScaledSize(size.scaled(widest, Qt::KeepAspectRatio));
        }
        const QImage image = ImageCap::read(reader);
        if (!image.isNull()) {
            result.size = image.size();
            if (qstrcmp(suffix, ".jpg") == 0)
                ExifReader::readFile(path, result.exif);
            candidates.push_back(image);
            oriented = true;
        }
        break;
    }

    if (path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)
        || path.endsWith(QLatin1String(".svgz"), Qt::CaseInsensitive))
        renderSvg(request, result);

    for (const char* suffix : kGhostscriptSuffixes) {
        if (!path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
            continue;
        const QImage image = m_ghostscript->render(
            path, Ghostscript::arguments(path, request.bounds, m_physicalDpi));
        candidates.clear();
        oriented = false;
        if (!image.isNull()) {
            candidates.push_back(image);
            result.size = image.size();
        }
        break;
    }

    if (candidates.empty() && result.images.empty()) {
        for (const char* suffix : kRawSuffixes) {
            if (!path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
                continue;
            const bool psd = qstrcmp(suffix, ".psd") == 0;
            if (!psd) {
                LibRawLibrary::RawImage raw = m_libRaw->read(path, result.exif);
                if (!raw.image.isNull()) {
                    candidates.push_back(raw.image);
                    oriented = raw.oriented;
                }
            }
            if (candidates.empty()) {
                QFile file(path);
                if (file.open(QIODevice::ReadOnly))
                    candidates = JpegScan::images(file.readAll(), psd);
                oriented = false;
            }
            if (!candidates.empty())
                result.size = candidates.back().size();
            break;
        }
    }

    const int rotation = result.exif.value(QStringLiteral("Rotation")).toInt();
    if (rotation != 0 && !oriented) {
        for (QImage& image : candidates) {
            Logger::log(Logger::NFO2, "image before rotate: %dx%d", image.width(), image.height());
            image = rotated(image, rotation);
            Logger::log(Logger::NFO2, "image after rotate: %dx%d", image.width(), image.height());
        }
    }

    // No file-icon fallback here: icons are pixmaps, which only the GUI
    // thread may make; the callers show their own icon for a file without
    // images.

    if (!candidates.empty() && !request.bounds.empty()) {
        for (const QSize& bound : request.bounds) {
            if (result.images.size() >= request.bounds.size())
                break;
            const QImage image = fitted(bestFor(candidates, bound), bound);
            if (!image.isNull())
                result.images.push_back(image);
        }
    }
    if (result.images.empty())
        result.images = candidates;

    if (cached && !result.images.empty())
        storeCache(request, result);
    return result;
}
