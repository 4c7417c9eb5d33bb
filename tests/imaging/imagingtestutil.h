#pragma once

// Fixtures of the image tests, made on the spot: JPEGs carrying an EXIF
// block written with libexif, files with embedded JPEG streams.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QString>

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <cstdlib>

namespace imagingtest {

struct ExifFields
{
    ExifByteOrder order = EXIF_BYTE_ORDER_INTEL;
    int orientation = 0; // 0: none
    bool fNumber = false;
    ExifRational fNumberValue{28, 10};
    bool focalLength = false;
    ExifRational focalLengthValue{50, 1};
    QByteArray make;
    QByteArray taken; // "yyyy:MM:dd HH:mm:ss"
};

inline ExifEntry* addEntry(ExifData* data, ExifMem* mem, ExifIfd ifd, ExifTag tag, ExifFormat format,
                           unsigned components)
{
    ExifEntry* entry = exif_entry_new_mem(mem);
    entry->tag = tag;
    entry->format = format;
    entry->components = components;
    entry->size = exif_format_get_size(format) * components;
    entry->data = static_cast<unsigned char*>(exif_mem_alloc(mem, entry->size));
    exif_content_add_entry(data->ifd[ifd], entry);
    exif_entry_unref(entry);
    return entry;
}

// The "Exif\0\0" block of the fields.
inline QByteArray exifBlock(const ExifFields& f)
{
    ExifMem* mem = exif_mem_new_default();
    ExifData* data = exif_data_new_mem(mem);
    exif_data_set_byte_order(data, f.order);
    if (f.orientation)
        exif_set_short(addEntry(data, mem, EXIF_IFD_0, EXIF_TAG_ORIENTATION, EXIF_FORMAT_SHORT, 1)->data, f.order,
                       ExifShort(f.orientation));
    if (!f.make.isEmpty()) {
        ExifEntry* e = addEntry(data, mem, EXIF_IFD_0, EXIF_TAG_MAKE, EXIF_FORMAT_ASCII, unsigned(f.make.size() + 1));
        memcpy(e->data, f.make.constData(), size_t(f.make.size() + 1));
    }
    if (f.fNumber)
        exif_set_rational(addEntry(data, mem, EXIF_IFD_EXIF, EXIF_TAG_FNUMBER, EXIF_FORMAT_RATIONAL, 1)->data,
                          f.order, f.fNumberValue);
    if (f.focalLength)
        exif_set_rational(addEntry(data, mem, EXIF_IFD_EXIF, EXIF_TAG_FOCAL_LENGTH, EXIF_FORMAT_RATIONAL, 1)->data,
                          f.order, f.focalLengthValue);
    if (!f.taken.isEmpty()) {
        ExifEntry* e = addEntry(data, mem, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, EXIF_FORMAT_ASCII,
                                unsigned(f.taken.size() + 1));
        memcpy(e->data, f.taken.constData(), size_t(f.taken.size() + 1));
    }
    unsigned char* bytes = nullptr;
    unsigned size = 0;
    exif_data_save_data(data, &bytes, &size);
    QByteArray block(reinterpret_cast<const char*>(bytes), int(size));
    exif_mem_free(mem, bytes);
    exif_data_unref(data);
    exif_mem_unref(mem);
    return block;
}

inline QByteArray jpegBytes(const QImage& image, int quality = 95)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.write(image);
    return bytes;
}

// A JPEG with the EXIF block as its first segment after the start marker.
inline QByteArray jpegWithExif(const QImage& image, const ExifFields& fields)
{
    const QByteArray jpeg = jpegBytes(image);
    const QByteArray block = exifBlock(fields);
    QByteArray app1("\xFF\xE1", 2);
    const int length = block.size() + 2;
    app1.append(char(length >> 8)).append(char(length & 0xff)).append(block);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

// Left half red, right half blue: shows which way an image was turned.
inline QImage twoColours(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, w / 2, h, Qt::red);
    p.fillRect(w / 2, 0, w - w / 2, h, Qt::blue);
    return image;
}

inline bool isRed(QRgb c)
{
    return qRed(c) > 180 && qBlue(c) < 80;
}

inline bool isBlue(QRgb c)
{
    return qBlue(c) > 180 && qRed(c) < 80;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace imagingtest
