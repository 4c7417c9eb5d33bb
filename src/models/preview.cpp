#include "models/preview.h"

#include "core/uuid.h"
#include "peer/peervelm.h"

#include <QAtomicPointer>
#include <QImageReader>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

QAtomicPointer<Preview> s_instance;

const char* const kSuffixes[] = {
    ".jpg", ".jpeg", ".png", ".svg", ".svgz", ".bmp", ".ico", ".gif",
    ".pbm", ".pdf", ".eps", ".ai", ".psd", ".arw", ".cr2", ".nef",
    ".nrw", ".raw", ".rw2", ".dng", ".psb", ".webp", ".cur", ".icns",
    ".tga", ".tif", ".tiff", ".xpm", ".xbm", ".xcf", ".kra", ".ora",
};

} // namespace

Preview::Preview()
{
    s_instance.testAndSetOrdered(nullptr, this);
}

Preview::~Preview()
{
    s_instance.testAndSetOrdered(this, nullptr);
}

Preview* Preview::instance()
{
    return s_instance.loadAcquire();
}

bool Preview::canPreview(const QString& peerUuid, const QString& path)
{
    // The whole uuid counts: a peer whose uuid merely starts with zeros is
    // another machine, and its paths mean nothing here.
    if (path.isEmpty() || peerUuid.isEmpty()
        || normalizedUuid(peerUuid) != normalizedUuid(ownPeerUuid()))
        return false;
    for (const char* suffix : kSuffixes) {
        if (path.contains(QLatin1String(suffix), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QFuture<Preview::GetImageResult> Preview::getImageAsync(Preview* preview,
                                                        const GetImageRequest& request)
{
    if (preview)
        preview->m_jobs.ref();
    return QtConcurrent::run(QThreadPool::globalInstance(), [preview, request]() {
        GetImageResult result;
        result.path = request.path;
        if (preview) {
            result = preview->getImage(request);
            preview->m_jobs.deref();
        }
        return result;
    });
}

void Preview::waitForJobs() const
{
    while (m_jobs.loadAcquire() > 0)
        QThread::msleep(5);
}

Preview::GetImageResult Preview::getImage(const GetImageRequest& request) const
{
    GetImageResult result;
    result.path = request.path;
    for (const QSize& bound : request.bounds)
        result.size = result.size.expandedTo(bound);
    if (!canPreview(request.peerUuid, request.path))
        return result;
    QImageReader reader(request.path);
    reader.setAutoTransform(true);
    const QImage full = reader.read();
    if (full.isNull())
        return result;
    for (const QSize& bound : request.bounds) {
        if (bound.isEmpty())
            continue;
        if (full.width() <= bound.width() && full.height() <= bound.height())
            result.images.push_back(full);
        else
            result.images.push_back(full.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    return result;
}
