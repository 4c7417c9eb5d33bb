#include "imaging/jpegscan.h"

#include "core/logger.h"
#include "imaging/imagecap.h"

#include <QBuffer>
#include <QImageReader>

namespace {

constexpr int kTail = 10; // bytes at the end that start nothing

// Walks the streams; onStream answers whether to stop.
template<typename OnStream>
void walk(const QByteArray& data, OnStream onStream)
{
    const auto* b = reinterpret_cast<const unsigned char*>(data.constData());
    const int end = data.size() > kTail ? data.size() - kTail : 0;
    bool inStream = false;
    int start = 0;
    int i = 0;
    while (i < end) {
        if (!inStream) {
            if (b[i] == 0xFF && b[i + 1] == 0xD8 && b[i + 2] == 0xFF) {
                inStream = true;
                start = i;
                i += 4;
            } else {
                ++i;
            }
            continue;
        }
        if (b[i] == 0xFF && b[i + 1] == 0xD9) {
            inStream = false;
            i += 2;
            if (onStream(JpegScan::Span{start, i - start}))
                return;
            continue;
        }
        ++i;
    }
}

} // namespace

std::vector<JpegScan::Span> JpegScan::streams(const QByteArray& data, bool firstOnly)
{
    std::vector<Span> spans;
    walk(data, [&](const Span& span) {
        spans.push_back(span);
        return firstOnly && !decode(data, span).isNull();
    });
    return spans;
}

std::vector<QImage> JpegScan::images(const QByteArray& data, bool firstOnly)
{
    std::vector<QImage> found;
    walk(data, [&](const Span& span) {
        QImage image = decode(data, span);
        if (image.isNull())
            return false;
        Logger::log(Logger::NFO2, "JPG %dx%d", image.width(), image.height());
        found.push_back(image);
        return firstOnly;
    });
    return found;
}

QImage JpegScan::decode(const QByteArray& data, const Span& span)
{
    if (span.start < 0 || span.length <= 0 || span.start > data.size() - span.length)
        return QImage();
    QByteArray bytes = QByteArray::fromRawData(data.constData() + span.start, span.length);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    return ImageCap::read(reader);
}
