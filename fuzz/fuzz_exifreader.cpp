// Reads arbitrary bytes as the EXIF block of a photograph, in memory and as
// a file. Only the fields of the details bar come out, none empty, the
// rotation only as one of its four values, and no number shown is infinite
// or not a number.
#include "imaging/exifreader.h"

#include <QFile>
#include <QSet>
#include <QTemporaryFile>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkFields(const QVariantMap& exif)
{
    static const QSet<QString> rotations{"0", "90", "-180", "-90"};
    for (auto it = exif.cbegin(); it != exif.cend(); ++it) {
        const QString value = it.value().toString();
        check(!it.key().isEmpty() && !value.isEmpty());
        if (it.key() == QLatin1String("Rotation"))
            check(rotations.contains(value));
        if (it.key() == QLatin1String("FNumber") || it.key() == QLatin1String("FocalLength"))
            check(!value.contains(QLatin1String("inf")) && !value.contains(QLatin1String("nan")));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QVariantMap exif;
    ExifReader::readData(data, unsigned(size), exif);
    checkFields(exif);

    static QTemporaryFile* file = [] {
        auto* f = new QTemporaryFile;
        f->open();
        return f;
    }();
    file->resize(0);
    file->seek(0);
    file->write(reinterpret_cast<const char*>(data), qint64(size));
    file->flush();
    QVariantMap fromFile;
    ExifReader::readFile(file->fileName(), fromFile);
    checkFields(fromFile);
    return 0;
}
