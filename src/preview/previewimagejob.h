#pragma once

#include "models/preview.h"

#include <QObject>
#include <QRunnable>
#include <QSize>

#include <memory>

class ImageLoader;

// One request of the "preview" image provider, run on the thread pool: a
// PDF page (QtPdf, "?page=N"), an SVG ("?scale=P" above 100 enlarges it by
// P percent) or anything the loader reads. Every result, with images or
// without, goes out by value through done(); nothing points back into the
// response that started it, which may be gone by then. Deleted by the pool.
class PreviewImageJob : public QObject, public QRunnable
{
    Q_OBJECT
public:
    PreviewImageJob(const QString& id, const QSize& requestedSize, std::shared_ptr<const ImageLoader> loader);

    void run() override;

    // The work of run(), for any thread.
    static Preview::GetImageResult load(const QString& id, const QSize& requestedSize, const ImageLoader* loader);

signals:
    void done(const Preview::GetImageResult& result);

private:
    QString m_id;
    QSize m_requestedSize;
    std::shared_ptr<const ImageLoader> m_loader;
};
