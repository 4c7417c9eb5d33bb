#include "preview/previewimagejob.h"

#include "core/logger.h"
#include "imaging/imagecap.h"
#include "imaging/imageloader.h"
#include "preview/previewurl.h"

#include <QPainter>
#include <QSvgRenderer>

#include <cmath>

#ifdef VELM_HAVE_QTPDF
#include <QPdfDocument>
#endif

namespace {

bool validSize(const QSize& size)
{
    return size.width() >= 0 && size.height() >= 0;
}

void renderPdf(const PreviewUrl::Parts& parts, const QSize& requestedSize, Preview::GetImageResult& result)
{
#ifdef VELM_HAVE_QTPDF
    QPdfDocument document;
    if (document.load(parts.path) != QPdfDocument::NoError || document.pageCount() < 1)
        return;
    int page = PreviewUrl::queryValue(parts.query, QStringLiteral("page")).toInt();
    page = qBound(0, page, document.pageCount() - 1);
    QSize size = requestedSize;
    if (!validSize(size) || size.isEmpty()) {
        const QSizeF points = document.pageSize(0);
        size = QSize(int(std::lround(std::lround(points.width()) * 3.0)),
                     int(std::lround(std::lround(points.height()) * 3.0)));
    }
    size = ImageCap::capped(size);
    if (size.isEmpty())
        return;
    const QImage image = document.render(page, size);
    if (image.isNull())
        return;
    result.images.push_back(image);
    result.size = image.size();
    result.exif.insert(QStringLiteral("PageCount"), QString::number(document.pageCount()));
    result.exif.insert(QStringLiteral("Page"), QString::number(page));
#else
    Q_UNUSED(parts)
    Q_UNUSED(requestedSize)
    Q_UNUSED(result)
    Logger::log(Logger::ERR1, "built without QtPdf: no PDF pages");
#endif
}

void renderSvg(const PreviewUrl::Parts& parts, const QSize& requestedSize, Preview::GetImageResult& result)
{
    QSvgRenderer renderer;
    if (!renderer.load(parts.path))
        return;
    result.size = renderer.defaultSize();
    QSizeF size = renderer.defaultSize();
    if (validSize(requestedSize) && !requestedSize.isEmpty())
        size = size.scaled(requestedSize, Qt::KeepAspectRatio);
    bool isScale = false;
    const double scale = PreviewUrl::queryValue(parts.query, QStringLiteral("scale"), &isScale).toDouble();
    if (isScale && scale > 100)
        size *= scale / 100.0;
    const QSize pixels = ImageCap::capped(QSize(int(std::lround(size.width())), int(std::lround(size.height()))));
    if (pixels.isEmpty())
        return;
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return;
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    renderer.render(&painter);
    painter.end();
    result.images.push_back(image);
}

} // namespace

PreviewImageJob::PreviewImageJob(const QString& id, const QSize& requestedSize,
                                 std::shared_ptr<const ImageLoader> loader, Delivery deliver)
    : m_id(id), m_requestedSize(requestedSize), m_loader(std::move(loader)), m_deliver(std::move(deliver))
{
}

void PreviewImageJob::run()
{
    m_deliver(load(m_id, m_requestedSize, m_loader.get()));
}

Preview::GetImageResult PreviewImageJob::load(const QString& id, const QSize& requestedSize, const ImageLoader* loader)
{
    Preview::GetImageResult result;
    PreviewUrl::Parts parts;
    if (!PreviewUrl::parse(id, parts)) {
        Logger::log(Logger::NFO1, "not a preview id: %s", qUtf8Printable(id));
        return result;
    }
    result.path = parts.path;
    if (parts.path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive)) {
        renderPdf(parts, requestedSize, result);
    } else if (parts.path.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        renderSvg(parts, requestedSize, result);
    } else if (loader) {
        // No peer: the window's pictures are not cached.
        Preview::GetImageRequest request;
        request.path = parts.path;
        if (validSize(requestedSize) && !requestedSize.isEmpty())
            request.bounds.push_back(requestedSize);
        result = loader->getImage(request);
        result.path = parts.path;
    }
    return result;
}
