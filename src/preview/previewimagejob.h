#pragma once

#include "models/preview.h"

#include <QRunnable>
#include <QSize>

#include <functional>
#include <memory>

class ImageLoader;

// One request of the "preview" image provider, run on the thread pool: a
// PDF page (QtPdf, "?page=N"), an SVG ("?scale=P" above 100 enlarges it by
// P percent) or anything the loader reads. Every result, with images or
// without, goes by value to the delivery function, on the pool's thread;
// nothing here points back into the response that started it, which may be
// gone by then. Deleted by the pool.
class PreviewImageJob : public QRunnable
{
public:
    using Delivery = std::function<void(Preview::GetImageResult&& result)>;

    PreviewImageJob(const QString& id, const QSize& requestedSize, std::shared_ptr<const ImageLoader> loader,
                    Delivery deliver);

    void run() override;

    // The work of run(), for any thread.
    static Preview::GetImageResult load(const QString& id, const QSize& requestedSize, const ImageLoader* loader);

private:
    QString m_id;
    QSize m_requestedSize;
    std::shared_ptr<const ImageLoader> m_loader;
    Delivery m_deliver;
};
