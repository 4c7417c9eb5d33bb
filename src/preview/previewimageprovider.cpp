#include "preview/previewimageprovider.h"

#include "preview/previewimageresponse.h"

#include <QThreadPool>

PreviewImageProvider::PreviewImageProvider(std::shared_ptr<const ImageLoader> loader) : m_loader(std::move(loader))
{
}

QQuickImageResponse* PreviewImageProvider::requestImageResponse(const QString& id, const QSize& requestedSize)
{
    auto* response = new PreviewImageResponse(id, requestedSize, m_loader, QThreadPool::globalInstance());
    connect(response, &PreviewImageResponse::imageSize, this, &PreviewImageProvider::imageSize, Qt::QueuedConnection);
    connect(response, &PreviewImageResponse::imageResult, this, &PreviewImageProvider::imageResult,
            Qt::QueuedConnection);
    return response;
}
