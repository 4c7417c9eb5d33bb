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
// result over by value, posted to the response's thread while the response
// still exists; a response the engine drops early leaves the job nothing to
// write into. No signal connects the two: the job ends on the pool, maybe
// after the engine's image reader thread, and nothing of the handover may
// depend on which of them goes first.
class PreviewImageResponse : public QQuickImageResponse
{
    Q_OBJECT
public:
    PreviewImageResponse(const QString& id, const QSize& requestedSize, std::shared_ptr<const ImageLoader> loader,
                         QThreadPool* pool);
    ~PreviewImageResponse() override;

    QQuickTextureFactory* textureFactory() const override;
    QString errorString() const override;
    QImage image() const;

public slots:
    void cancel() override;

signals:
    void imageSize(const QSize& size);
    void imageResult(const Preview::GetImageResult& result);

private:
    struct Handover;

    void onDone(const Preview::GetImageResult& result);

    std::shared_ptr<Handover> m_handover;
    QImage m_image;
    bool m_finished = false;
};
