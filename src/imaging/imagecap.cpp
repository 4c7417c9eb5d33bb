#include "imaging/imagecap.h"

#include <QImage>
#include <QImageReader>

#include <cmath>

bool ImageCap::fits(const QSize& size)
{
    return size.width() <= MaxSide && size.height() <= MaxSide
           && qint64(size.width()) * qint64(size.height()) <= MaxPixels;
}

QSize ImageCap::capped(const QSize& size)
{
    if (!size.isValid() || size.isEmpty() || fits(size))
        return size;
    double factor = std::min(double(MaxSide) / size.width(), double(MaxSide) / size.height());
    const double pixels = double(size.width()) * double(size.height());
    factor = std::min(factor, std::sqrt(double(MaxPixels) / pixels));
    QSize result(std::max(1, int(std::floor(size.width() * factor))),
                 std::max(1, int(std::floor(size.height() * factor))));
    // Rounding may leave one pixel too many on the pixel count.
    while (!fits(result))
        result = QSize(std::max(1, result.width() - 1), std::max(1, result.height() - 1));
    return result;
}

QImage ImageCap::read(QImageReader& reader)
{
    QSize wanted = reader.scaledSize();
    if (!wanted.isValid())
        wanted = reader.size();
    if (wanted.isValid() && !fits(wanted)) {
        if (!reader.supportsOption(QImageIOHandler::ScaledSize))
            return QImage(); // it would be decoded whole
        reader.setScaledSize(capped(wanted));
    }
    QImage image = reader.read();
    if (!image.isNull() && !fits(image.size()))
        image = image.scaled(capped(image.size()), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
