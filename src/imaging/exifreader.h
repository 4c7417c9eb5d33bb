#pragma once

#include <QString>
#include <QVariantMap>

// The details of a photograph shown beside its preview, read from its EXIF
// block with libexif. Keys: "Rotation" (degrees clockwise: "0", "90",
// "-180", "-90"), "ISO", "FNumber", "FocalLength", "ExposureTime", "Date",
// "Time", and libexif's names for make, model, shutter speed, aperture and
// metering mode ("Make", "Model", ...). A field the block lacks, or holds in
// a form that cannot be shown (a rational with denominator 0), is absent.
// Reentrant: any thread.
class ExifReader
{
public:
    // Adds the fields of the file's EXIF block; nothing when it has none.
    static void readFile(const QString& path, QVariantMap& exif);
    // Adds the fields of an EXIF block held in memory (a JPEG stream, or the
    // block itself starting with "Exif\0\0"); bytes of any content.
    static void readData(const unsigned char* data, unsigned size, QVariantMap& exif);

    // The date and time texts of the details bar, in the locale's short
    // forms with four-digit years.
    static QString dateText(const QDateTime& time);
    static QString timeText(const QDateTime& time);

    // Adds "Rotation" for an EXIF orientation code (1, 3, 6 or 8; any other
    // code adds nothing).
    static void insertRotation(int orientation, QVariantMap& exif);
    // Adds "Date" and "Time" for when the photograph was taken.
    static void insertTaken(const QDateTime& taken, QVariantMap& exif);
};
