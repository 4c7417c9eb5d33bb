#include "core/databasesqlite.h"
#include "imaging/ghostscript.h"
#include "imaging/imagecap.h"
#include "imaging/imageloader.h"
#include "imaging/jpegscan.h"
#include "imaging/librawlibrary.h"
#include "imagingtestutil.h"
#include "peer/peervelm.h"

#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

using namespace imagingtest;

namespace {

const std::vector<QSize> kThumbBounds = {QSize(20, 20), QSize(24, 24), QSize(32, 32), QSize(48, 48),
                                         QSize(256, 256)};

Preview::GetImageRequest request(const QString& path, std::vector<QSize> bounds = {}, qint64 mtime = 0)
{
    Preview::GetImageRequest r;
    r.peerUuid = ownPeerUuid();
    r.path = path;
    r.bounds = std::move(bounds);
    r.mtime = mtime;
    return r;
}

qint64 mtimeOf(const QString& path)
{
    return QFileInfo(path).lastModified().toMSecsSinceEpoch();
}

// Keeps LibRaw from being opened by the loaders made while it lives.
struct LibRawHidden
{
    LibRawHidden() { qputenv(LibRawLibrary::HideVariable, "1"); }
    ~LibRawHidden() { qunsetenv(LibRawLibrary::HideVariable); }
};

// Puts a directory first on PATH while it lives.
struct PathFirst
{
    QByteArray old = qgetenv("PATH");
    explicit PathFirst(const QString& dir, bool only = false)
    {
        qputenv("PATH", only ? dir.toLocal8Bit() : dir.toLocal8Bit() + ':' + old);
    }
    ~PathFirst() { qputenv("PATH", old); }
};

bool writeScript(const QString& path, const QByteArray& text)
{
    return writeFile(path, text)
           && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

QStringList logLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestImageLoader : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void qtReaderPaths_data();
    void qtReaderPaths();
    void transparencyKept();
    void rotatedOnce_data();
    void rotatedOnce();
    void boundsAndCache();
    void cacheOff();
    void callerMtimeKeysTheCache();
    void embeddedJpegs_data();
    void embeddedJpegs();
    void jpegScanBounds_data();
    void jpegScanBounds();
    void ghostscriptArguments_data();
    void ghostscriptArguments();
    void ghostscriptStandIn();
    void ghostscriptMissing();
    void svgWithinLimits_data();
    void svgWithinLimits();
    void capSizes_data();
    void capSizes();
    void libRawNames();

private:
    QString file(const QString& name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DatabaseSqlite> m_db;
};

void TestImageLoader::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_db.reset(new DatabaseSqlite(file("velm.db")));
    // Cache rows belong to a stored peer.
    PeerDto own;
    own.uuid = ownPeerUuid();
    own.type = QStringLiteral("velm");
    own.timestamp = QDateTime::currentDateTime();
    QVERIFY(m_db->putPeer(own));
}

void TestImageLoader::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

void TestImageLoader::qtReaderPaths_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("write");
    QTest::addColumn<bool>("images");
    QTest::addColumn<bool>("exif");
    QTest::newRow(".jpg reads EXIF") << "photo.jpg" << true << true << true;
    QTest::newRow(".JPG in capitals") << "PHOTO.JPG" << true << true << true;
    QTest::newRow(".jpeg reads no EXIF") << "photo.jpeg" << true << true << false;
    QTest::newRow("directory named x.png") << "x.png/photo" << true << true << false;
    QTest::newRow("missing file") << "missing.jpg" << false << false << false;
    QTest::newRow("no dot") << "photo" << true << false << false;
}

void TestImageLoader::qtReaderPaths()
{
    QFETCH(QString, name);
    QFETCH(bool, write);
    QFETCH(bool, images);
    QFETCH(bool, exif);
    const QString path = file(name);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    ExifFields fields;
    fields.make = "Tarnwick";
    if (write)
        QVERIFY(writeFile(path, jpegWithExif(twoColours(64, 48), fields)));
    ImageLoader loader;
    const Preview::GetImageResult result = loader.getImage(request(path, {QSize(32, 32)}));
    QCOMPARE(result.path, path);
    QCOMPARE(!result.images.empty(), images);
    QCOMPARE(result.exif.value("Make").toString() == "Tarnwick", exif);
    if (images) {
        QCOMPARE(result.images.size(), size_t(1));
        QCOMPARE(result.images[0].size(), QSize(32, 24));
        QCOMPARE(result.size, QSize(32, 24)); // read scaled down to the bound
    } else {
        QCOMPARE(result.size, QSize(-1, -1));
    }
}

// A PNG with transparency stays transparent through the fitting and the
// cache; an opaque photograph stays opaque.
void TestImageLoader::transparencyKept()
{
    QImage clear(200, 100, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    QPainter(&clear).fillRect(50, 25, 100, 50, Qt::red);
    const QString png = file("clear.png");
    QVERIFY(clear.save(png));
    const QString jpg = file("opaque.jpg");
    QVERIFY(writeFile(jpg, jpegBytes(twoColours(200, 100))));
    ImageLoader loader(m_db.get());
    for (int pass = 0; pass < 2; ++pass) { // read, then from the cache
        const Preview::GetImageResult a = loader.getImage(request(png, kThumbBounds, mtimeOf(png)));
        QCOMPARE(a.images.size(), size_t(5));
        for (const QImage& image : a.images) {
            QVERIFY(image.hasAlphaChannel());
            QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
            QCOMPARE(qAlpha(image.pixel(image.width() / 2, image.height() / 2)), 255);
        }
        const Preview::GetImageResult b = loader.getImage(request(jpg, kThumbBounds, mtimeOf(jpg)));
        QCOMPARE(b.images.size(), size_t(5));
        for (const QImage& image : b.images)
            QCOMPARE(qAlpha(image.pixel(0, 0)), 255);
    }
}

void TestImageLoader::rotatedOnce_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("redAt");  // a point inside the red half after turning
    QTest::addColumn<QPoint>("blueAt");
    for (int order : {int(EXIF_BYTE_ORDER_INTEL), int(EXIF_BYTE_ORDER_MOTOROLA)}) {
        const char* o = order == EXIF_BYTE_ORDER_INTEL ? "Intel" : "Motorola";
        // The stored image is 80 x 40, red left, blue right.
        QTest::addRow("%s 1 upright", o) << order << 1 << QSize(80, 40) << QPoint(10, 20) << QPoint(70, 20);
        QTest::addRow("%s 6 clockwise", o) << order << 6 << QSize(40, 80) << QPoint(20, 10) << QPoint(20, 70);
        QTest::addRow("%s 3 upside down", o) << order << 3 << QSize(80, 40) << QPoint(70, 20) << QPoint(10, 20);
        QTest::addRow("%s 8 counter-clockwise", o) << order << 8 << QSize(40, 80) << QPoint(20, 70) << QPoint(20, 10);
    }
}

void TestImageLoader::rotatedOnce()
{
    QFETCH(int, order);
    QFETCH(int, orientation);
    QFETCH(QSize, size);
    QFETCH(QPoint, redAt);
    QFETCH(QPoint, blueAt);
    ExifFields fields;
    fields.order = ExifByteOrder(order);
    fields.orientation = orientation;
    const QString path = file("turned.jpg");
    QVERIFY(writeFile(path, jpegWithExif(twoColours(80, 40), fields)));
    ImageLoader loader;
    for (const std::vector<QSize>& bounds : {std::vector<QSize>{}, std::vector<QSize>{QSize(256, 256)}}) {
        const Preview::GetImageResult result = loader.getImage(request(path, bounds));
        QCOMPARE(result.images.size(), size_t(1));
        const QImage& image = result.images[0];
        QCOMPARE(image.size(), size);
        QVERIFY2(isRed(image.pixel(redAt)), qPrintable(QColor(image.pixel(redAt)).name()));
        QVERIFY2(isBlue(image.pixel(blueAt)), qPrintable(QColor(image.pixel(blueAt)).name()));
    }
}

void TestImageLoader::boundsAndCache()
{
    const QString path = file("big.jpg");
    QVERIFY(writeFile(path, jpegBytes(twoColours(4000, 3000), 80)));
    const qint64 mtime = mtimeOf(path);
    ImageLoader loader(m_db.get());
    Preview::GetImageResult result = loader.getImage(request(path, kThumbBounds, mtime));
    QCOMPARE(result.size, QSize(256, 192));
    const std::vector<QSize> expected = {QSize(20, 15), QSize(24, 18), QSize(32, 24), QSize(48, 36), QSize(256, 192)};
    QCOMPARE(result.images.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        QCOMPARE(result.images[i].size(), expected[i]);
    QCOMPARE(m_db->getImages(ownPeerUuid(), path, mtime, 100000).size(), size_t(5));

    // The next request is answered from the cache: the file is not read.
    QVERIFY(QFile::remove(path));
    result = loader.getImage(request(path, kThumbBounds, mtime));
    QCOMPARE(result.images.size(), size_t(5));
    QCOMPARE(result.size, QSize(256, 192));
    QCOMPARE(m_db->getImages(ownPeerUuid(), path, mtime, 100000).size(), size_t(5));

    // Another mtime is another version of the file.
    result = loader.getImage(request(path, kThumbBounds, mtime + 1000));
    QVERIFY(result.images.empty());
    // No peer, no cache.
    Preview::GetImageRequest anonymous = request(path, kThumbBounds, mtime);
    anonymous.peerUuid.clear();
    QVERIFY(loader.getImage(anonymous).images.empty());
}

void TestImageLoader::cacheOff()
{
    const QString path = file("photo.jpg");
    QVERIFY(writeFile(path, jpegBytes(twoColours(400, 300))));
    const qint64 mtime = mtimeOf(path);
    {
        ImageLoader off(m_db.get(), false);
        QCOMPARE(off.getImage(request(path, kThumbBounds, mtime)).images.size(), size_t(5));
        QVERIFY(m_db->getImages(ownPeerUuid(), path, mtime, 100000).empty());
    }
    {
        ImageLoader on(m_db.get(), true);
        QCOMPARE(on.getImage(request(path, kThumbBounds, mtime)).images.size(), size_t(5));
        QCOMPARE(m_db->getImages(ownPeerUuid(), path, mtime, 100000).size(), size_t(5));
    }
    QVERIFY(QFile::remove(path));
    ImageLoader off(m_db.get(), false);
    QVERIFY(off.getImage(request(path, kThumbBounds, mtime)).images.empty()); // rows there, not read
}

void TestImageLoader::callerMtimeKeysTheCache()
{
    const QString path = file("listed.jpg");
    QVERIFY(writeFile(path, jpegBytes(twoColours(400, 300))));
    // The listing's time differs from the file's own (rounded, or a moment old).
    const qint64 callerMtime = mtimeOf(path) - 1500;
    ImageLoader loader(m_db.get());
    for (int i = 0; i < 10; ++i) {
        QFuture<Preview::GetImageResult> future = Preview::getImageAsync(&loader, request(path, kThumbBounds, callerMtime));
        future.waitForFinished();
        QCOMPARE(future.result().images.size(), size_t(5));
        if (i == 0)
            QVERIFY(QFile::remove(path)); // from now on only the cache can answer
    }
    QCOMPARE(m_db->getImages(ownPeerUuid(), path, callerMtime, 100000).size(), size_t(5));
    QVERIFY(m_db->getImages(ownPeerUuid(), path, callerMtime + 1500, 100000).empty());
}

void TestImageLoader::embeddedJpegs_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QSize>>("sizes");
    const QByteArray first = jpegBytes(twoColours(40, 30));
    const QByteArray second = jpegBytes(twoColours(160, 120));
    const QByteArray noise(37, '\x11');
    const QByteArray twoStreams = noise + first + noise + "\xFF\xD8\xFF" + noise + second + QByteArray(20, '\0');
    // "\xFF\xD8\xFF" + noise: a start that never decodes, ended by the FF D9 of the second.
    QTest::newRow(".ARW with two streams") << "shot.ARW" << (noise + first + noise + second + QByteArray(20, '\0'))
                                           << QList<QSize>{QSize(40, 30), QSize(160, 120)};
    QTest::newRow(".arw in lower case") << "shot.arw" << (noise + first + noise + second + QByteArray(20, '\0'))
                                        << QList<QSize>{QSize(40, 30), QSize(160, 120)};
    QTest::newRow(".psd keeps the first") << "layers.psd" << (noise + first + noise + second + QByteArray(20, '\0'))
                                          << QList<QSize>{QSize(40, 30)};
    QTest::newRow("a false start") << "odd.NEF" << twoStreams << QList<QSize>{QSize(40, 30)};
    QTest::newRow("5 bytes") << "tiny.ARW" << QByteArray("\xFF\xD8\xFF\xD9\0", 5) << QList<QSize>{};
    QTest::newRow("empty") << "empty.ARW" << QByteArray() << QList<QSize>{};
    QTest::newRow("stream in the last bytes") << "late.CR2" << (noise + first) << QList<QSize>{};
}

void TestImageLoader::embeddedJpegs()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QSize>, sizes);
    LibRawHidden hidden;
    const QString path = file(name);
    QVERIFY(writeFile(path, bytes));
    ImageLoader loader;
    QVERIFY(!loader.libRawLoaded());
    const Preview::GetImageResult result = loader.getImage(request(path));
    QCOMPARE(int(result.images.size()), sizes.size());
    for (int i = 0; i < sizes.size(); ++i)
        QCOMPARE(result.images[size_t(i)].size(), sizes[i]);
    QCOMPARE(result.size, sizes.isEmpty() ? QSize(-1, -1) : sizes.last());
}

void TestImageLoader::jpegScanBounds_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("streams");
    const QByteArray tail(10, '\0');
    QTest::newRow("nothing") << QByteArray() << 0;
    QTest::newRow("one byte") << QByteArray("\xFF", 1) << 0;
    QTest::newRow("nine bytes") << QByteArray("\xFF\xD8\xFF\x00\xFF\xD9\0\0\0", 9) << 0;
    QTest::newRow("ten bytes") << QByteArray("\xFF\xD8\xFF\x00\xFF\xD9\0\0\0\0", 10) << 0;
    QTest::newRow("one stream before the tail") << QByteArray("\xFF\xD8\xFF\x00\xFF\xD9", 6) + tail << 1;
    QTest::newRow("end marker in the tail") << QByteArray("\xFF\xD8\xFF\x00\x01", 5) + QByteArray("\xFF\xD9", 2) + QByteArray(8, 0)
                                            << 0;
    QTest::newRow("back to back") << QByteArray("\xFF\xD8\xFF\x00\xFF\xD9\xFF\xD8\xFF\x00\xFF\xD9", 12) + tail << 2;
    QTest::newRow("start only") << QByteArray("\xFF\xD8\xFF", 3) + QByteArray(100, '\xFF') << 0;
}

void TestImageLoader::jpegScanBounds()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, streams);
    const std::vector<JpegScan::Span> spans = JpegScan::streams(bytes);
    QCOMPARE(int(spans.size()), streams);
    for (const JpegScan::Span& span : spans) {
        QVERIFY(span.start >= 0 && span.length > 0 && span.start + span.length <= bytes.size());
        QCOMPARE(bytes.mid(span.start, 3), QByteArray("\xFF\xD8\xFF", 3));
        QCOMPARE(bytes.mid(span.start + span.length - 2, 2), QByteArray("\xFF\xD9", 2));
    }
    QVERIFY(JpegScan::images(bytes).empty()); // none of these is a real JPEG
}

void TestImageLoader::ghostscriptArguments_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QList<QSize>>("bounds");
    QTest::addColumn<double>("dpi");
    QTest::addColumn<QStringList>("tail");
    QTest::newRow("EPS thumbnail, 96 dpi") << "/d/a.eps" << QList<QSize>{QSize(48, 48)} << 96.0
                                           << QStringList{"-dEPSCrop", "-r40", "-dDownScaleFactor=1", "/d/a.eps"};
    QTest::newRow("AI at 256, 160 dpi") << "/d/a.AI" << QList<QSize>{QSize(256, 256)} << 160.0
                                        << QStringList{"-dEPSCrop", "-r48", "-dDownScaleFactor=1", "/d/a.AI"};
    QTest::newRow("PS large, 300 dpi capped") << "/d/a.ps" << QList<QSize>{QSize(1024, 1024)} << 300.0
                                              << QStringList{"-dEPSCrop", "-r300", "-dDownScaleFactor=2", "/d/a.ps"};
    QTest::newRow("EPS with five bounds") << "/d/a.eps" << QList<QSize>{QSize(20, 20), QSize(256, 256)} << 96.0
                                          << QStringList{"-dEPSCrop", "-r200", "-dDownScaleFactor=2", "/d/a.eps"};
    QTest::newRow("PDF") << "/d/a.pdf" << QList<QSize>{QSize(48, 48)} << 96.0
                         << QStringList{"-sPageList=1", "-r300", "-dDownScaleFactor=2", "/d/a.pdf"};
    QTest::newRow("relative name starting with -") << "-x.eps" << QList<QSize>{} << 96.0
                                                  << QStringList{"-dEPSCrop", "-r200", "-dDownScaleFactor=2", "./-x.eps"};
}

void TestImageLoader::ghostscriptArguments()
{
    QFETCH(QString, path);
    QFETCH(QList<QSize>, bounds);
    QFETCH(double, dpi);
    QFETCH(QStringList, tail);
    const QStringList args = Ghostscript::arguments(path, std::vector<QSize>(bounds.begin(), bounds.end()), dpi);
    const QStringList head{"-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=png16m", "-dGraphicsAlphaBits=4",
                           "-dTextAlphaBits=4", "-q", "-o", "-"};
    QCOMPARE(args.mid(0, head.size()), head);
    QCOMPARE(args.mid(head.size()), tail);
}

void TestImageLoader::ghostscriptStandIn()
{
    const QString bin = file("bin");
    QVERIFY(QDir().mkpath(bin));
    const QString png = file("out.png");
    QVERIFY(twoColours(60, 40).save(png));
    const QString gsLog = file("gs.log");
    const QString whichLog = file("which.log");
    // Checks the output goes to standard output and the file exists; counts
    // the renders running at once.
    QVERIFY(writeScript(bin + "/gs", QStringLiteral("#!/bin/sh\n"
                                                    "eval last=\\${$#}\n"
                                                    "case \" $* \" in *\" -o - \"*) ;; *) exit 3;; esac\n"
                                                    "[ -f \"$last\" ] || exit 4\n"
                                                    "touch %1/run.$$\n"
                                                    "echo \"$(ls %1 | grep -c '^run\\.') $*\" >> %2\n"
                                                    "sleep 0.2\n"
                                                    "rm %1/run.$$\n"
                                                    "cat %3\n")
                                         .arg(bin, gsLog, png)
                                         .toLocal8Bit()));
    QVERIFY(writeScript(bin + "/which", QStringLiteral("#!/bin/sh\necho \"$*\" >> %1\nexec /usr/bin/which \"$@\"\n")
                                            .arg(whichLog)
                                            .toLocal8Bit()));
    QStringList files;
    for (int i = 0; i < 6; ++i) {
        files << file(QStringLiteral("doc%1.eps").arg(i));
        QVERIFY(writeFile(files.last(), "%!PS-Adobe-3.0 EPSF-3.0\n"));
    }
    PathFirst path(bin);
    ImageLoader loader;
    loader.setPhysicalDpi(96);
    QList<QFuture<Preview::GetImageResult>> futures;
    for (const QString& f : files)
        futures << Preview::getImageAsync(&loader, request(f, {QSize(48, 48)}));
    for (QFuture<Preview::GetImageResult>& future : futures) {
        future.waitForFinished();
        QCOMPARE(future.result().images.size(), size_t(1));
        QCOMPARE(future.result().images[0].size(), QSize(48, 32));
        QCOMPARE(future.result().size, QSize(60, 40));
    }
    const QStringList runs = logLines(gsLog);
    QCOMPARE(runs.size(), files.size());
    for (const QString& run : runs) {
        QVERIFY2(run.section(' ', 0, 0).toInt() <= Ghostscript::MaxRunning, qPrintable(run));
        QVERIFY2(run.contains(" -r40 -dDownScaleFactor=1 "), qPrintable(run));
    }
    QCOMPARE(logLines(whichLog), QStringList{"gs"}); // asked once
}

void TestImageLoader::ghostscriptMissing()
{
    const QString bin = file("bin");
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::link("/usr/bin/which", bin + "/which"));
    const QString path = file("doc.eps");
    QVERIFY(writeFile(path, "%!PS-Adobe-3.0 EPSF-3.0\n"));
    PathFirst only(bin, true);
    ImageLoader loader;
    const Preview::GetImageResult result = loader.getImage(request(path, {QSize(48, 48)}));
    QVERIFY(result.images.empty());
    QCOMPARE(result.size, QSize(-1, -1));
}

void TestImageLoader::svgWithinLimits_data()
{
    QTest::addColumn<QString>("declared");
    QTest::addColumn<QList<QSize>>("bounds");
    QTest::addColumn<QList<QSize>>("sizes");
    QTest::newRow("thumbnails") << "width='200' height='100'" << QList<QSize>{QSize(32, 32), QSize(256, 256)}
                                << QList<QSize>{QSize(32, 16), QSize(256, 128)};
    QTest::newRow("own size") << "width='200' height='100'" << QList<QSize>{} << QList<QSize>{QSize(200, 100)};
    QTest::newRow("a million pixels a side") << "width='1000000' height='1000000'" << QList<QSize>{}
                                              << QList<QSize>{ImageCap::capped(QSize(1000000, 1000000))};
    QTest::newRow("a million, fitted") << "width='1000000' height='1000000'" << QList<QSize>{QSize(48, 48)}
                                       << QList<QSize>{QSize(48, 48)};
}

void TestImageLoader::svgWithinLimits()
{
    QFETCH(QString, declared);
    QFETCH(QList<QSize>, bounds);
    QFETCH(QList<QSize>, sizes);
    const QString path = file("drawing.svg");
    QVERIFY(writeFile(path, QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' %1 viewBox='0 0 2 1'>"
                                           "<rect width='1' height='1' fill='red'/></svg>")
                                .arg(declared)
                                .toUtf8()));
    ImageLoader loader;
    const Preview::GetImageResult result
        = loader.getImage(request(path, std::vector<QSize>(bounds.begin(), bounds.end())));
    QCOMPARE(int(result.images.size()), sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        QCOMPARE(result.images[size_t(i)].size(), sizes[i]);
        QVERIFY(ImageCap::fits(result.images[size_t(i)].size()));
    }
}

void TestImageLoader::capSizes_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("capped");
    QTest::newRow("small") << QSize(4000, 3000) << QSize(4000, 3000);
    QTest::newRow("24 MP") << QSize(6000, 4000) << QSize(6000, 4000);
    QTest::newRow("wide") << QSize(40000, 100) << QSize(16384, 40);
    QTest::newRow("tall") << QSize(100, 40000) << QSize(40, 16384);
    QTest::newRow("square million") << QSize(1000000, 1000000) << QSize(7071, 7071);
    QTest::newRow("invalid") << QSize(-1, -1) << QSize(-1, -1);
}

void TestImageLoader::capSizes()
{
    QFETCH(QSize, size);
    QFETCH(QSize, capped);
    QCOMPARE(ImageCap::capped(size), capped);
    if (capped.isValid())
        QVERIFY(ImageCap::fits(capped));
}

void TestImageLoader::libRawNames()
{
    const QStringList names = LibRawLibrary::candidateNames();
    if (names.isEmpty())
        QSKIP("built without LibRaw headers");
    QVERIFY(names.first().startsWith("libraw_r.so."));
    QVERIFY(names.indexOf("libraw.so") == names.size() - 1); // the development link last
    {
        LibRawHidden hidden;
        LibRawLibrary library;
        QVERIFY(!library.loaded());
        QVERIFY(!library.error().isEmpty());
    }
    LibRawLibrary library;
    if (!library.loaded())
        QSKIP(qPrintable("LibRaw not usable here: " + library.error()));
    QVERIFY(library.error().isEmpty());
    QVariantMap exif;
    QVERIFY(library.read(file("missing.DNG"), exif).image.isNull());
}

QTEST_MAIN(TestImageLoader)
#include "tst_imageloader.moc"
