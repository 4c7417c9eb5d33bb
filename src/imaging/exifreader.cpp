#include "imaging/exifreader.h"

#include "core/logger.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <cstring>

namespace {

// One rational field as "<prefix>%0.0f<suffix>" when it is whole, else with
// one decimal; nothing when its denominator is 0.
void formatRational(ExifEntry* entry, ExifByteOrder order, const char* key, const char* wholeFormat,
                    const char* fractionFormat, QVariantMap& exif)
{
    if (entry->format != EXIF_FORMAT_RATIONAL || entry->components < 1 || !entry->data
        || entry->size < exif_format_get_size(EXIF_FORMAT_RATIONAL))
        return;
    const ExifRational r = exif_get_rational(entry->data, order);
    if (r.denominator == 0)
        return;
    const double value = double(r.numerator) / double(r.denominator);
    const char* format = (r.numerator % r.denominator == 0) ? wholeFormat : fractionFormat;
    exif.insert(QLatin1String(key), QString::asprintf(format, value));
}

void formatOrientation(ExifEntry* entry, ExifByteOrder order, QVariantMap& exif)
{
    if (entry->format != EXIF_FORMAT_SHORT || entry->components < 1 || !entry->data || entry->size < 2)
        return;
    ExifReader::insertRotation(exif_get_short(entry->data, order), exif);
}

void formatTaken(ExifEntry* entry, QVariantMap& exif)
{
    if (!entry->data || entry->size == 0)
        return;
    QByteArray text(reinterpret_cast<const char*>(entry->data), int(entry->size));
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    const QDateTime taken = QDateTime::fromString(QString::fromLatin1(text.trimmed()),
                                                  QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (!taken.isValid())
        return;
    ExifReader::insertTaken(taken, exif);
}

void formatTag(ExifData* data, ExifIfd ifd, ExifTag tag, QVariantMap& exif)
{
    ExifEntry* entry = exif_content_get_entry(data->ifd[ifd], tag);
    if (!entry)
        return;
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    exif_entry_get_value(entry, buffer, sizeof buffer - 1);
    const QString value = QString::fromUtf8(buffer).trimmed();
    if (value.isEmpty())
        return;
    const ExifByteOrder order = exif_data_get_byte_order(data);
    switch (int(tag)) {
    case EXIF_TAG_ORIENTATION:
        formatOrientation(entry, order, exif);
        break;
    case EXIF_TAG_ISO_SPEED_RATINGS:
        exif.insert(QStringLiteral("ISO"), value);
        break;
    case EXIF_TAG_FNUMBER:
        formatRational(entry, order, "FNumber", "\xf0\x9d\x91\x93/%0.0f", "\xf0\x9d\x91\x93/%0.1f", exif);
        break;
    case EXIF_TAG_FOCAL_LENGTH:
        formatRational(entry, order, "FocalLength", "%0.0f mm", "%0.1f mm", exif);
        break;
    case EXIF_TAG_EXPOSURE_TIME:
        exif.insert(QStringLiteral("ExposureTime"), value);
        break;
    case EXIF_TAG_DATE_TIME_ORIGINAL:
        formatTaken(entry, exif);
        break;
    default:
        if (const char* name = exif_tag_get_name_in_ifd(tag, ifd))
            exif.insert(QString::fromLatin1(name), value);
        break;
    }
}

void formatAll(ExifData* data, QVariantMap& exif)
{
    static const ExifTag ifd0Tags[] = {EXIF_TAG_MAKE, EXIF_TAG_MODEL, EXIF_TAG_ORIENTATION};
    static const ExifTag exifTags[] = {EXIF_TAG_EXPOSURE_TIME,        EXIF_TAG_FNUMBER,
                                       EXIF_TAG_DATE_TIME_ORIGINAL,   EXIF_TAG_ISO_SPEED_RATINGS,
                                       EXIF_TAG_SHUTTER_SPEED_VALUE,  EXIF_TAG_APERTURE_VALUE,
                                       EXIF_TAG_METERING_MODE,        EXIF_TAG_FOCAL_LENGTH};
    for (ExifTag tag : ifd0Tags)
        formatTag(data, EXIF_IFD_0, tag, exif);
    for (ExifTag tag : exifTags)
        formatTag(data, EXIF_IFD_EXIF, tag, exif);
}

ExifData* newExifData()
{
    ExifData* data = exif_data_new();
    if (data)
        exif_data_set_option(data, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    return data;
}

} // namespace

void ExifReader::readFile(const QString& path, QVariantMap& exif)
{
    // libexif looks for the block in the first JPEG segments; reading at most
    // a few hundred kilobytes keeps a huge file from being read whole.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Logger::log(Logger::NFO1, "File not readable or no EXIF data in file %s", qUtf8Printable(path));
        return;
    }
    const QByteArray head = file.read(512 * 1024);
    ExifData* data = newExifData();
    if (data)
        exif_data_load_data(data, reinterpret_cast<const unsigned char*>(head.constData()),
                            unsigned(head.size()));
    bool found = false;
    for (int i = 0; data && i < EXIF_IFD_COUNT; ++i)
        found = found || (data->ifd[i] && data->ifd[i]->count > 0);
    if (!found) {
        Logger::log(Logger::NFO1, "File not readable or no EXIF data in file %s", qUtf8Printable(path));
        if (data)
            exif_data_unref(data);
        return;
    }
    formatAll(data, exif);
    exif_data_unref(data);
}

void ExifReader::readData(const unsigned char* bytes, unsigned size, QVariantMap& exif)
{
    if (!bytes || size == 0) {
        Logger::log(Logger::NFO1, "File not readable or no EXIF data in file");
        return;
    }
    ExifData* data = newExifData();
    if (!data) {
        Logger::log(Logger::NFO1, "File not readable or no EXIF data in file");
        return;
    }
    Logger::log(Logger::NFO2, "extract JPG EXIF data");
    exif_data_load_data(data, bytes, size);
    formatAll(data, exif);
    exif_data_unref(data);
}

QString ExifReader::dateText(const QDateTime& time)
{
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    return time.toString(format);
}

QString ExifReader::timeText(const QDateTime& time)
{
    return time.toString(QLocale().timeFormat(QLocale::ShortFormat));
}

void ExifReader::insertRotation(int orientation, QVariantMap& exif)
{
    // 1 upright, 3 upside down, 6 turned a quarter counter-clockwise (shown
    // turned clockwise), 8 the other way; mirrored codes are not shown.
    static const struct
    {
        int orientation;
        const char* degrees;
    } rotations[] = { { 1, "0" }, { 3, "-180" }, { 6, "90" }, { 8, "-90" } };
    for (const auto& rotation : rotations) {
        if (rotation.orientation == orientation)
            exif.insert(QStringLiteral("Rotation"), QLatin1String(rotation.degrees));
    }
}

void ExifReader::insertTaken(const QDateTime& taken, QVariantMap& exif)
{
    exif.insert(QStringLiteral("Date"), dateText(taken));
    exif.insert(QStringLiteral("Time"), timeText(taken));
}
