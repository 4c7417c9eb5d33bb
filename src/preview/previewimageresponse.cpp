#include "preview/previewimageresponse.h"

#include "preview/previewimagejob.h"

#include <QMutex>
#include <QThreadPool>

// What the job knows of its response: the response while it exists, under
// a lock its destructor takes too, so that a result is posted to a live
// object or not at all. A posted result the response never sees is deleted
// with the response's pending events.
struct PreviewImageResponse::Handover
{
    QMutex mutex;
    PreviewImageResponse* response = nullptr;
};

PreviewImageResponse::PreviewImageResponse(const QString& id, const QSize& requestedSize,
                                           std::shared_ptr<const ImageLoader> loader, QThreadPool* pool)
    : m_handover(std::make_shared<Handover>())
{
    m_handover->response = this;
    auto deliver = [handover = m_handover](Preview::GetImageResult&& result) {
        QMutexLocker lock(&handover->mutex);
        PreviewImageResponse* response = handover->response;
        if (!response)
            return;
        QMetaObject::invokeMethod(
            response, [response, result = std::move(result)] { response->onDone(result); }, Qt::QueuedConnection);
    };
    auto* job = new PreviewImageJob(id, requestedSize, std::move(loader), std::move(deliver));
    job->setAutoDelete(true);
    pool->start(job);
}

PreviewImageResponse::~PreviewImageResponse()
{
    QMutexLocker lock(&m_handover->mutex);
    m_handover->response = nullptr;
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
