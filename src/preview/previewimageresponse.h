#pragma once

#include "models/preview.h"

#include <QImage>
#include <QQuickImageResponse>

#include <memory>

class ImageLoader;
class QThreadPool;

// The answer to one "image://preview/" request: starts its job on the pool
// and finishes when the job's result arrives, with the first image, or with
// the error "failed to load content" when there is none. The job hands its
// result over by value through a queued signal, so a response the engine
// drops early leaves the job nothing to write into.
class PreviewImageResponse : public QQuickImageResponse
{
    Q_OBJECT
public:
    PreviewImageResponse(const QString& id, const QSize& requestedSize, std::shared_ptr<const ImageLoader> loader,
                         QThreadPool* pool);

    QQuickTextureFactory* textureFactory() const override;
    QString errorString() const override;
    QImage image() const;

public slots:
    void cancel() override;

signals:
    void imageSize(const QSize& size);
    void imageResult(const Preview::GetImageResult& result);

private slots:
    void onDone(const Preview::GetImageResult& result);

private:
    QImage m_image;
    bool m_finished = false;
};
