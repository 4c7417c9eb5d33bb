#pragma once

#include <QAtomicInt>
#include <QFuture>
#include <QImage>
#include <QSize>
#include <QString>
#include <QVariantMap>

#include <vector>

// The image previews of files, as far as the models use them: which files
// can be previewed, and loading a file's images at a few sizes on the thread
// pool. The preview window of the node view builds on this class and
// replaces getImage() with its cached, RAW- and PDF-aware loader; the plain
// loader here reads what Qt's image plugins read, from the own machine only.
class Preview
{
public:
    struct GetImageRequest
    {
        QString peerUuid;
        QString path;
        std::vector<QSize> bounds; // the sizes wanted, in the caller's order
        qint64 mtime = 0;          // ms since the epoch; the cache key
        qint64 reserved = 0;
    };

    struct GetImageResult
    {
        QString path;            // the request's path
        QSize size{-1, -1};      // the size limit the images were made for
        std::vector<QImage> images; // empty on failure
        QVariantMap exif;
    };

    // The first preview made becomes instance().
    Preview();
    virtual ~Preview();
    Preview(const Preview&) = delete;
    Preview& operator=(const Preview&) = delete;

    // The preview service of the process; null when none exists.
    static Preview* instance();

    // True for a file of the own machine whose path holds one of the image
    // and document suffixes the preview reads, in any letter case.
    static bool canPreview(const QString& peerUuid, const QString& path);

    // Runs preview->getImage(request) on the global thread pool. Without a
    // preview the future gives an empty result for the request's path. The
    // preview counts the jobs it has running (see waitForJobs()).
    static QFuture<GetImageResult> getImageAsync(Preview* preview, const GetImageRequest& request);

    // One image per bound, each scaled to fit inside its bound (never
    // enlarged), in the order of the bounds. Called on a pool thread.
    virtual GetImageResult getImage(const GetImageRequest& request) const;

protected:
    // Blocks until every job of getImageAsync() on this preview has ended; a
    // subclass whose getImage() reads its own members calls it first thing
    // in its destructor.
    void waitForJobs() const;

private:
    mutable QAtomicInt m_jobs;
};
