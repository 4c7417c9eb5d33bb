#pragma once

#include "models/preview.h"

#include <memory>

class Ghostscript;
class IDatabase;
class LibRawLibrary;

// The image loader of the process: turns a file of this machine into images
// of the requested sizes. In order: the database cache (when a database is
// given, the cache is on and the request names its peer and mtime), Qt's
// image readers, SVG, ghostscript for ".ai", ".eps", ".ps" and ".pdf",
// LibRaw for RAW photographs, the embedded JPEG streams of RAW and ".psd"
// files; the EXIF rotation (once: images the Qt reader or LibRaw already
// turned are not turned again), the fitting to the bounds, and the store of
// results of width 1024 or less, keyed by the mtime the caller looked them up
// under. Every decode and render stays within ImageCap's limits.
//
// The file model reaches it as Preview::instance(); the preview window
// makes one. getImage() runs on any thread, any number at once.
class ImageLoader : public Preview
{
public:
    // db may be null: no caching. useCache false neither reads nor writes
    // the cache ("--imgcache=0").
    explicit ImageLoader(IDatabase* db = nullptr, bool useCache = true);
    ~ImageLoader() override;

    GetImageResult getImage(const GetImageRequest& request) const override;

    // Renders an SVG or SVGZ file at each bound (at its own size, within the
    // limits, without bounds). False when it does not load as SVG.
    static bool renderSvg(const GetImageRequest& request, GetImageResult& result);

    bool useCache() const;
    bool libRawLoaded() const;
    // The physical dots per inch of the screen that EPS resolutions follow;
    // taken from the first screen when the loader is made.
    double physicalDpi() const;
    void setPhysicalDpi(double dpi);

private:
    bool readCache(const GetImageRequest& request, const QSize& widest, GetImageResult& result) const;
    void storeCache(const GetImageRequest& request, const GetImageResult& result) const;

    IDatabase* m_db;
    bool m_useCache;
    double m_physicalDpi = 96;
    std::unique_ptr<LibRawLibrary> m_libRaw;
    std::unique_ptr<Ghostscript> m_ghostscript;
};
