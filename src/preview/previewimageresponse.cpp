#include "preview/previewimageresponse.h"

#include "preview/previewimagejob.h"

#include <QThreadPool>

PreviewImageResponse::PreviewImageResponse(const QString& id, const QSize& requestedSize,
                                           std::shared_ptr<const ImageLoader> loader, QThreadPool* pool)
{
    auto* job = new PreviewImageJob(id, requestedSize, std::move(loader));
    job->setAutoDelete(true);
    connect(job, &PreviewImageJob::done, this, &PreviewImageResponse::onDone, Qt::QueuedConnection);
    pool->start(job);
}

QQuickTextureFactory* PreviewImageResponse::textureFactory() const
{
    return QQuickTextureFactory::textureFactoryForImage(m_image);
}

QString PreviewImageResponse::errorString() const
{
    return m_image.isNull() ? QStringLiteral("failed to load content") : QString();
}

QImage PreviewImageResponse::image() const
{
    return m_image;
}

void PreviewImageResponse::cancel()
{
    // The job runs on; its result finds no receiver once the engine has
    // deleted this response.
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

void PreviewImageResponse::onDone(const Preview::GetImageResult& result)
{
    if (m_finished)
        return;
    if (!result.images.empty()) {
        m_image = result.images.front();
        emit imageSize(m_image.size());
    }
    emit imageResult(result);
    m_finished = true;
    emit finished();
}
