#pragma once

#include <QSize>

class QImageReader;
class QImage;

// The largest image the loader decodes or renders: no side above MaxSide and
// no more than MaxPixels pixels. Every render and decode size goes through
// capped(), so a file that declares an enormous size costs no more memory
// than one at the limit.
class ImageCap
{
public:
    static constexpr int MaxSide = 16384;
    static constexpr qint64 MaxPixels = 50000000;

    // The size scaled down, keeping its aspect ratio, until it fits the limits;
    // sizes inside the limits and invalid sizes come back unchanged.
    static QSize capped(const QSize& size);
    static bool fits(const QSize& size);

    // Reads through the reader, asking for a scaled read when the image's
    // declared size is over the limits; an image whose size cannot be
    // known beforehand and turns out too large is scaled down after reading.
    static QImage read(QImageReader& reader);
};
