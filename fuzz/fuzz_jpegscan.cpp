// Scans arbitrary bytes, read as a RAW or Photoshop file, for embedded JPEG
// streams. Every stream handed out lies inside the bytes, starts with
// FF D8 FF and ends with FF D9, the streams follow one another without
// overlapping, none starts in the last ten bytes, and whatever decodes stays
// within the loader's size limit.
#include "imaging/imagecap.h"
#include "imaging/jpegscan.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1 << 20)
        return 0;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    const std::vector<JpegScan::Span> spans = JpegScan::streams(bytes);
    int end = 0;
    for (const JpegScan::Span& span : spans) {
        check(span.start >= end && span.length >= 5);
        check(span.start + span.length <= bytes.size());
        check(span.start < bytes.size() - 10);
        check(std::uint8_t(bytes[span.start]) == 0xFF && std::uint8_t(bytes[span.start + 1]) == 0xD8
              && std::uint8_t(bytes[span.start + 2]) == 0xFF);
        check(std::uint8_t(bytes[span.start + span.length - 2]) == 0xFF
              && std::uint8_t(bytes[span.start + span.length - 1]) == 0xD9);
        end = span.start + span.length;
    }
    for (bool firstOnly : {false, true}) {
        const std::vector<QImage> images = JpegScan::images(bytes, firstOnly);
        check(images.size() <= spans.size());
        check(!firstOnly || images.size() <= 1);
        for (const QImage& image : images)
            check(!image.isNull() && ImageCap::fits(image.size()));
    }
    return 0;
}
