#include "imaging/librawlibrary.h"

#include "core/logger.h"
#include "imaging/exifreader.h"
#include "imaging/imagecap.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImageReader>
#include <QMutex>

#include <cmath>
#include <dlfcn.h>

#ifdef VELM_HAVE_LIBRAW_HEADERS
#include <libraw/libraw.h>
#endif

#ifdef VELM_HAVE_LIBRAW_HEADERS

struct LibRawLibrary::Table
{
    void* handle = nullptr;
    bool threadSafe = false; // libraw_r: handles may be used on several threads at once
    QMutex mutex;            // serialises the plain library

    int (*versionNumber)() = nullptr;
    libraw_data_t* (*init)(unsigned) = nullptr;
    int (*openFile)(libraw_data_t*, const char*) = nullptr;
    void (*close)(libraw_data_t*) = nullptr;
    int (*unpackThumb)(libraw_data_t*) = nullptr;
    int (*unpack)(libraw_data_t*) = nullptr;
    int (*dcrawProcess)(libraw_data_t*) = nullptr;
    libraw_processed_image_t* (*makeMemThumb)(libraw_data_t*, int*) = nullptr;
    libraw_processed_image_t* (*makeMemImage)(libraw_data_t*, int*) = nullptr;
    void (*clearMem)(libraw_processed_image_t*) = nullptr;
};

namespace {

template<typename F>
bool resolve(void* handle, const char* name, F& function)
{
    function = reinterpret_cast<F>(dlsym(handle, name));
    return function != nullptr;
}

// "%0.1f" when the value has a fraction worth showing, else whole.
QString oneDecimal(float value, const char* fractionFormat, const char* wholeFormat)
{
    if (value - std::floor(value) > 0.05f)
        return QString::asprintf(fractionFormat, double(value));
    return QString::asprintf(wholeFormat, double(value));
}

void cameraFields(const libraw_data_t* raw, QVariantMap& exif)
{
    const QString make = QString::fromLatin1(raw->idata.make, int(qstrnlen(raw->idata.make, sizeof raw->idata.make)));
    const QString model
        = QString::fromLatin1(raw->idata.model, int(qstrnlen(raw->idata.model, sizeof raw->idata.model)));
    if (!make.isEmpty())
        exif.insert(QStringLiteral("Make"), make);
    if (!model.isEmpty())
        exif.insert(QStringLiteral("Model"), model);
    const char* lens = raw->lens.Lens[0] ? raw->lens.Lens : raw->lens.makernotes.Lens;
    if (lens[0])
        exif.insert(QStringLiteral("Lens"), QString::fromLatin1(lens, int(qstrnlen(lens, 128))));
    if (raw->lens.MinFocal > 0)
        exif.insert(QStringLiteral("MinFocal"), QStringLiteral("%1").arg(double(raw->lens.MinFocal), 0, 'g', -1));
    if (raw->lens.MaxFocal > 0)
        exif.insert(QStringLiteral("MaxFocal"), QStringLiteral("%1").arg(double(raw->lens.MaxFocal), 0, 'g', -1));
    const libraw_imgother_t& other = raw->other;
    if (other.aperture > 0)
        exif.insert(QStringLiteral("FNumber"),
                    oneDecimal(other.aperture, "\xf0\x9d\x91\x93/%0.1f", "\xf0\x9d\x91\x93/%0.0f"));
    if (other.focal_len > 0) {
        if (other.focal_len - std::floor(other.focal_len) > 0.05f)
            exif.insert(QStringLiteral("FocalLength"), QString::asprintf("%0.1f mm", double(other.focal_len)));
        else
            exif.insert(QStringLiteral("FocalLength"), QString::asprintf("%d mm", int(other.focal_len)));
    }
    if (other.iso_speed > 0)
        exif.insert(QStringLiteral("ISO"), QStringLiteral("%1").arg(double(other.iso_speed), 0, 'g', -1));
    if (other.shutter > 0 && other.shutter < 1)
        exif.insert(QStringLiteral("ExposureTime"), QString::asprintf("1/%d", int(1.0f / other.shutter)));
    else if (other.shutter >= 1)
        exif.insert(QStringLiteral("ExposureTime"), QString::asprintf("%0.1f sec", double(other.shutter)));
    if (other.timestamp >= 1) {
        const QDateTime taken = QDateTime::fromSecsSinceEpoch(qint64(other.timestamp));
        ExifReader::insertTaken(taken, exif);
    }
    // LibRaw's flip (0, 3, 5 or 6) as the EXIF orientation code it stands for.
    static const int orientationOfFlip[] = { 1, 0, 0, 3, 0, 8, 6 };
    const int flip = raw->sizes.flip;
    if (flip >= 0 && flip < int(sizeof orientationOfFlip / sizeof *orientationOfFlip))
        ExifReader::insertRotation(orientationOfFlip[flip], exif);
}

// A processed image of LibRaw as a QImage; checks the sizes it declares
// against the bytes it holds.
QImage toImage(const libraw_processed_image_t* processed)
{
    const int bytesPerSample = processed->bits / 8;
    const int colors = processed->colors;
    const QSize size(processed->width, processed->height);
    if (bytesPerSample < 1 || colors < 1 || size.isEmpty() || !ImageCap::fits(size))
        return QImage();
    const quint64 needed = quint64(size.width()) * quint64(size.height()) * quint64(colors) * quint64(bytesPerSample);
    if (needed > processed->data_size)
        return QImage();
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    const unsigned char* src = processed->data;
    const int step = colors * bytesPerSample;
    for (int y = 0; y < size.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x, src += step) {
            if (colors == 3)
                line[x] = qRgb(src[0], src[bytesPerSample], src[2 * bytesPerSample]);
            else
                line[x] = qRgb(src[0], src[0], src[0]);
        }
    }
    return image;
}

} // namespace

LibRawLibrary::LibRawLibrary() : m_table(new Table)
{
    if (qEnvironmentVariableIntValue(HideVariable) == 1) {
        m_error = QStringLiteral("hidden by %1").arg(QLatin1String(HideVariable));
        return;
    }
    QStringList errors;
    // Kept mapped after dlclose: its static data outlives its last user, and
    // a library unloaded under a running process's feet helps nobody.
    for (const QString& name : candidateNames()) {
        m_table->handle = dlopen(name.toLocal8Bit().constData(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE);
        if (m_table->handle) {
            m_table->threadSafe = name.startsWith(QLatin1String("libraw_r"));
            break;
        }
        errors << QString::fromLocal8Bit(dlerror());
    }
    if (!m_table->handle) {
        m_error = errors.join(QLatin1String("; "));
        Logger::log(Logger::NFO1, "failed to load libraw: %s", qUtf8Printable(m_error));
        return;
    }
    Table& t = *m_table;
    const bool all = resolve(t.handle, "libraw_versionNumber", t.versionNumber)
                     && resolve(t.handle, "libraw_init", t.init)
                     && resolve(t.handle, "libraw_open_file", t.openFile)
                     && resolve(t.handle, "libraw_close", t.close)
                     && resolve(t.handle, "libraw_unpack_thumb", t.unpackThumb)
                     && resolve(t.handle, "libraw_unpack", t.unpack)
                     && resolve(t.handle, "libraw_dcraw_process", t.dcrawProcess)
                     && resolve(t.handle, "libraw_dcraw_make_mem_thumb", t.makeMemThumb)
                     && resolve(t.handle, "libraw_dcraw_make_mem_image", t.makeMemImage)
                     && resolve(t.handle, "libraw_dcraw_clear_mem", t.clearMem);
    if (!all) {
        m_error = QStringLiteral("libraw lacks an entry point");
    } else {
        const int version = t.versionNumber();
        Logger::log(Logger::NFO1, "libraw version: %d", version);
        // The data structures change with the minor version; the patch
        // level keeps them.
        if ((version & 0xffff00) != (LIBRAW_VERSION & 0xffff00))
            m_error = QStringLiteral("libraw version %1.%2 found, this build reads %3.%4")
                          .arg(version >> 16)
                          .arg((version >> 8) & 0xff)
                          .arg(LIBRAW_MAJOR_VERSION)
                          .arg(LIBRAW_MINOR_VERSION);
    }
    if (!m_error.isEmpty()) {
        Logger::log(Logger::NFO1, "failed to load libraw: %s", qUtf8Printable(m_error));
        dlclose(t.handle);
        delete m_table;
        m_table = new Table;
    }
}

LibRawLibrary::~LibRawLibrary()
{
    if (m_table->handle)
        dlclose(m_table->handle);
    delete m_table;
}

bool LibRawLibrary::loaded() const
{
    return m_table->handle != nullptr;
}

QStringList LibRawLibrary::candidateNames()
{
    // The thread-safe build first: the loader runs on several pool threads.
    const QString version = QString::number(LIBRAW_SHLIB_CURRENT);
    return {QStringLiteral("libraw_r.so.") + version, QStringLiteral("libraw.so.") + version,
            QStringLiteral("libraw_r.so"), QStringLiteral("libraw.so")};
}

LibRawLibrary::RawImage LibRawLibrary::read(const QString& path, QVariantMap& exif) const
{
    RawImage result;
    if (!loaded())
        return result;
    const Table& t = *m_table;
    QMutexLocker lock(t.threadSafe ? nullptr : &m_table->mutex);
    libraw_data_t* raw = t.init(0);
    if (!raw)
        return result;
    const int status = t.openFile(raw, path.toLocal8Bit().constData());
    if (status != 0) {
        Logger::log(Logger::NFO1, "libraw open file failed status: %d", status);
        t.close(raw);
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    int ret = t.unpackThumb(raw);
    if (ret == 0) {
        Logger::log(Logger::NFO2, "unpacked thumbnail, %dx%d (orig: %dx%d), format: %d, dt: %d",
                    raw->thumbnail.twidth, raw->thumbnail.theight, raw->sizes.width, raw->sizes.height,
                    int(raw->thumbnail.tformat), int(timer.elapsed()));
        int err = 0;
        if (libraw_processed_image_t* thumb = t.makeMemThumb(raw, &err)) {
            if (thumb->type == LIBRAW_IMAGE_JPEG) {
                ExifReader::readData(thumb->data, thumb->data_size, exif);
                QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(thumb->data),
                                                           int(std::min<unsigned>(thumb->data_size, INT_MAX)));
                QBuffer buffer(&bytes);
                buffer.open(QIODevice::ReadOnly);
                QImageReader reader(&buffer);
                result.image = ImageCap::read(reader);
            } else if (thumb->type == LIBRAW_IMAGE_BITMAP) {
                result.image = toImage(thumb);
            }
            if (!result.image.isNull())
                Logger::log(Logger::NFO2, "put thumbnail in QImage, %dx%d, format: %d, dt: %d",
                            result.image.width(), result.image.height(), int(result.image.format()),
                            int(timer.elapsed()));
            t.clearMem(thumb);
        }
    }
    if (result.image.isNull()) {
        Logger::log(Logger::NFO1, "failed to unpack thumbnail, ret: %d", ret);
        // A sensor beyond the size limit is developed at half size.
        if (qint64(raw->sizes.width) * raw->sizes.height > ImageCap::MaxPixels)
            raw->params.half_size = 1;
        timer.restart();
        ret = t.unpack(raw);
        if (ret != 0) {
            Logger::log(Logger::NFO1, "failed to unpack raw, status: %d", ret);
            t.close(raw);
            return result;
        }
        Logger::log(Logger::NFO2, "unpacked raw, dt: %d", int(timer.restart()));
        ret = t.dcrawProcess(raw);
        if (ret != 0) {
            Logger::log(Logger::NFO1, "failed to dcraw_process raw, status: %d", ret);
            t.close(raw);
            return result;
        }
        Logger::log(Logger::NFO2, "dcraw process, dt: %d", int(timer.restart()));
        int err = 0;
        libraw_processed_image_t* processed = t.makeMemImage(raw, &err);
        Logger::log(Logger::NFO2, "dcraw make mem image, dt: %d", int(timer.restart()));
        if (processed && err == 0) {
            result.image = toImage(processed);
            result.oriented = true; // LibRaw turns the developed image itself
            Logger::log(Logger::NFO2, "copy into QImage, dt: %d", int(timer.restart()));
        }
        if (processed)
            t.clearMem(processed);
    }
    cameraFields(raw, exif);
    t.close(raw);
    return result;
}

#else // no LibRaw headers

struct LibRawLibrary::Table
{
    void* handle = nullptr;
};

LibRawLibrary::LibRawLibrary() : m_table(new Table), m_error(QStringLiteral("built without LibRaw headers")) {}

LibRawLibrary::~LibRawLibrary()
{
    delete m_table;
}

bool LibRawLibrary::loaded() const
{
    return false;
}

QStringList LibRawLibrary::candidateNames()
{
    return {};
}

LibRawLibrary::RawImage LibRawLibrary::read(const QString&, QVariantMap&) const
{
    return RawImage();
}

#endif

QString LibRawLibrary::error() const
{
    return m_error;
}
