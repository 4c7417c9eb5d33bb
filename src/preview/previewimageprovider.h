#pragma once

#include "models/preview.h"

#include <QObject>
#include <QQuickAsyncImageProvider>

#include <memory>

class ImageLoader;

// The "preview" image provider of the shared engine, which owns it: each
// request becomes a PreviewImageResponse on the global thread pool. Made on
// the GUI thread; the engine calls requestImageResponse() on its image
// reader thread, and the results of every response come back here as queued
// signals on the GUI thread, where the preview window takes them (its size
// and its details bar) for as long as it exists.
class PreviewImageProvider : public QObject, public QQuickAsyncImageProvider
{
    Q_OBJECT
public:
    explicit PreviewImageProvider(std::shared_ptr<const ImageLoader> loader);

    QQuickImageResponse* requestImageResponse(const QString& id, const QSize& requestedSize) override;

signals:
    void imageSize(const QSize& size);
    void imageResult(const Preview::GetImageResult& result);

private:
    std::shared_ptr<const ImageLoader> m_loader;
};
