#pragma once

#include <QByteArray>
#include <QImage>

#include <vector>

// Finds the JPEG streams embedded in a file's bytes (the previews of RAW
// photographs and Photoshop documents): a stream runs from FF D8 FF to the
// next FF D9. The last ten bytes of the data start nothing. Any bytes.
class JpegScan
{
public:
    struct Span
    {
        int start = 0;
        int length = 0;
    };

    // Each stream's position, in file order. With firstOnly the scan stops
    // at the first stream that decode() accepts.
    static std::vector<Span> streams(const QByteArray& data, bool firstOnly = false);
    // The streams that decode, in file order, each within ImageCap's limits.
    static std::vector<QImage> images(const QByteArray& data, bool firstOnly = false);
    // One stream decoded as JPEG; null when it is not one.
    static QImage decode(const QByteArray& data, const Span& span);
};
