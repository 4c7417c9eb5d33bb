#include "imaging/imageloader.h"
#include "imaging/librawlibrary.h"
#include "imagingtestutil.h"
#include "peer/peervelm.h"

#include <QtEndian>
#include <QtTest>

using namespace imagingtest;

namespace {

QByteArray shorts(std::initializer_list<quint16> v)
{
    QByteArray b;
    for (quint16 x : v)
        b.append(char(x & 0xff)).append(char(x >> 8));
    return b;
}

QByteArray longs(std::initializer_list<quint32> v)
{
    QByteArray b;
    for (quint32 x : v) {
        for (int i = 0; i < 4; ++i)
            b.append(char((x >> (8 * i)) & 0xff));
    }
    return b;
}

QByteArray ascii(const char* s)
{
    return QByteArray(s, int(strlen(s)) + 1);
}

// A little-endian TIFF file built from directories whose LONG values may
// name the position of another directory or of a data block.
class TiffWriter
{
public:
    struct Entry
    {
        quint16 tag;
        quint16 type;
        quint32 count;
        QByteArray data; // little-endian value bytes
        int ifdRef = -1;  // the value is the offset of that directory
        int blobRef = -1; // the value is the offset of that block
    };

    int addIfd(std::vector<Entry> entries)
    {
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
        m_ifds.push_back(std::move(entries));
        return int(m_ifds.size()) - 1;
    }
    int addBlob(const QByteArray& bytes)
    {
        m_blobs.push_back(bytes);
        return int(m_blobs.size()) - 1;
    }

    QByteArray bytes() const
    {
        // Each directory is followed by its long values; the blocks come last.
        std::vector<quint32> ifdAt, blobAt;
        quint32 at = 8;
        for (const auto& ifd : m_ifds) {
            ifdAt.push_back(at);
            at += 2 + 12 * quint32(ifd.size()) + 4;
            for (const Entry& e : ifd)
                at += e.data.size() > 4 ? quint32(e.data.size() + e.data.size() % 2) : 0;
        }
        for (const QByteArray& blob : m_blobs) {
            blobAt.push_back(at);
            at += quint32(blob.size());
        }
        QByteArray out("II\x2a\x00", 4);
        out += longs({ifdAt.front()});
        for (size_t i = 0; i < m_ifds.size(); ++i) {
            const auto& ifd = m_ifds[i];
            quint32 valuesAt = ifdAt[i] + 2 + 12 * quint32(ifd.size()) + 4;
            QByteArray values;
            out += shorts({quint16(ifd.size())});
            for (Entry e : ifd) {
                if (e.ifdRef >= 0)
                    e.data = longs({ifdAt[size_t(e.ifdRef)]});
                if (e.blobRef >= 0)
                    e.data = longs({blobAt[size_t(e.blobRef)]});
                out += shorts({e.tag, e.type}) + longs({e.count});
                if (e.data.size() > 4) {
                    out += longs({valuesAt + quint32(values.size())});
                    values += e.data;
                    if (e.data.size() % 2)
                        values.append('\0');
                } else {
                    out += e.data + QByteArray(4 - e.data.size(), '\0');
                }
            }
            out += longs({0});
            out += values;
        }
        for (const QByteArray& blob : m_blobs)
            out += blob;
        return out;
    }

private:
    std::vector<std::vector<Entry>> m_ifds;
    std::vector<QByteArray> m_blobs;
};

// A minimal DNG: one linear (demosaiced) RGB image of 16-bit samples,
// uncompressed, left half reddish and right half bluish, with make, model
// and ISO; with a thumbnail, the first directory is a JPEG preview and the
// image sits in a sub-directory, as cameras write them.
QByteArray minimalDng(const QSize& size, const QByteArray& thumbnail, const QSize& thumbnailSize = QSize(),
                      quint16 orientation = 1)
{
    using E = TiffWriter::Entry;
    TiffWriter tiff;
    const int w = size.width(), h = size.height();
    QByteArray pixels;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            pixels += shorts({quint16(x < w / 2 ? 60000 : 2000), 8000, quint16(x < w / 2 ? 2000 : 60000)});
    }
    const int pixelBlob = tiff.addBlob(pixels);
    const int thumbBlob = thumbnail.isEmpty() ? -1 : tiff.addBlob(thumbnail);
    // Directories by position: the first, the EXIF one, the image's own.
    const int exifIfd = 1;
    const int rawIfd = thumbnail.isEmpty() ? -1 : 2;
    std::vector<E> raw = {
        {254, 4, 1, longs({0})},
        {256, 4, 1, longs({quint32(w)})},
        {257, 4, 1, longs({quint32(h)})},
        {258, 3, 3, shorts({16, 16, 16})},
        {259, 3, 1, shorts({1})},
        {262, 3, 1, shorts({34892})},
        {273, 4, 1, {}, -1, pixelBlob},
        {277, 3, 1, shorts({3})},
        {278, 4, 1, longs({quint32(h)})},
        {279, 4, 1, longs({quint32(pixels.size())})},
        {284, 3, 1, shorts({1})},
        {50717, 4, 3, longs({65535, 65535, 65535})},
    };
    std::vector<E> camera = {
        {271, 2, 9, ascii("Tarnwick")},
        {272, 2, 3, ascii("T1")},
        {274, 3, 1, shorts({orientation})},
        {50706, 1, 4, QByteArray("\x01\x04\x00\x00", 4)},
        {50708, 2, 12, ascii("Tarnwick T1")},
        {50721, 10, 9, longs({1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1})},
        {50728, 5, 3, longs({1, 1, 1, 1, 1, 1})},
        {50778, 3, 1, shorts({21})},
    };
    std::vector<E> first;
    if (thumbnail.isEmpty()) {
        first = raw;
    } else {
        first = {
            {254, 4, 1, longs({1})},
            {256, 4, 1, longs({quint32(thumbnailSize.width())})},
            {257, 4, 1, longs({quint32(thumbnailSize.height())})},
            {258, 3, 3, shorts({8, 8, 8})},
            {259, 3, 1, shorts({7})},
            {262, 3, 1, shorts({6})},
            {273, 4, 1, {}, -1, thumbBlob},
            {277, 3, 1, shorts({3})},
            {278, 4, 1, longs({quint32(thumbnailSize.height())})},
            {279, 4, 1, longs({quint32(thumbnail.size())})},
            {284, 3, 1, shorts({1})},
        };
    }
    first.insert(first.end(), camera.begin(), camera.end());
    first.push_back({34665, 4, 1, {}, exifIfd});
    if (rawIfd >= 0)
        first.push_back({330, 4, 1, {}, rawIfd});
    tiff.addIfd(first);
    tiff.addIfd({{34855, 3, 1, shorts({400})}, {33434, 5, 1, longs({1, 250})}});
    if (rawIfd >= 0)
        tiff.addIfd(raw);
    return tiff.bytes();
}

} // namespace

// RAW photographs through the LibRaw of the system, opened at run time.
class TestLibRawLibrary : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void developedWithoutThumbnail();
    void thumbnailWithoutDevelopment();
    void notARaw();
    void turnedOnce_data();
    void turnedOnce();

private:
    QTemporaryDir m_dir;
};

void TestLibRawLibrary::initTestCase()
{
    LibRawLibrary library;
    if (!library.loaded())
        QSKIP(qPrintable("LibRaw not usable here: " + library.error()));
}

void TestLibRawLibrary::developedWithoutThumbnail()
{
    const QString path = m_dir.filePath("plain.DNG");
    QVERIFY(writeFile(path, minimalDng(QSize(32, 24), QByteArray())));
    LibRawLibrary library;
    QVariantMap exif;
    const LibRawLibrary::RawImage raw = library.read(path, exif);
    QVERIFY(!raw.image.isNull());
    QVERIFY(raw.oriented);
    QCOMPARE(raw.image.size(), QSize(32, 24));
    QCOMPARE(exif.value("Make").toString(), QString("Tarnwick"));
    QCOMPARE(exif.value("Model").toString(), QString("T1"));
    QCOMPARE(exif.value("ISO").toString(), QString("400"));
    // Left half reddish, right half bluish, as written.
    const QColor left = raw.image.pixelColor(4, 12);
    const QColor right = raw.image.pixelColor(28, 12);
    QVERIFY2(left.red() > left.blue() && right.blue() > right.red(),
             qPrintable(left.name() + " " + right.name()));

    ImageLoader loader;
    const Preview::GetImageResult result = loader.getImage([&] {
        Preview::GetImageRequest r;
        r.path = path;
        r.bounds = {QSize(16, 16)};
        return r;
    }());
    QCOMPARE(result.images.size(), size_t(1));
    QCOMPARE(result.images[0].size(), QSize(16, 12));
    QCOMPARE(result.exif.value("Make").toString(), QString("Tarnwick"));
}

void TestLibRawLibrary::thumbnailWithoutDevelopment()
{
    const QString path = m_dir.filePath("thumb.DNG");
    QVERIFY(writeFile(path, minimalDng(QSize(32, 24), jpegBytes(twoColours(40, 30)), QSize(40, 30))));
    LibRawLibrary library;
    QVariantMap exif;
    const LibRawLibrary::RawImage raw = library.read(path, exif);
    QCOMPARE(raw.image.size(), QSize(40, 30)); // the thumbnail, not the 32 x 24 development
    QVERIFY(!raw.oriented);
    QCOMPARE(exif.value("Make").toString(), QString("Tarnwick"));
}

void TestLibRawLibrary::notARaw()
{
    const QString path = m_dir.filePath("text.NEF");
    QVERIFY(writeFile(path, "hello, this is no photograph at all"));
    LibRawLibrary library;
    QVariantMap exif;
    QVERIFY(library.read(path, exif).image.isNull());
    QVERIFY(exif.isEmpty());
    ImageLoader loader;
    Preview::GetImageRequest r;
    r.path = path;
    QVERIFY(loader.getImage(r).images.empty());
}

void TestLibRawLibrary::turnedOnce_data()
{
    QTest::addColumn<bool>("withThumbnail");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("rotation"); // the details' "Rotation"
    // LibRaw turns what it develops; a thumbnail is turned by the loader.
    QTest::newRow("developed, upright") << false << 1 << QSize(32, 24) << "0";
    QTest::newRow("developed, 6") << false << 6 << QSize(24, 32) << "90";
    QTest::newRow("developed, 8") << false << 8 << QSize(24, 32) << "-90";
    QTest::newRow("thumbnail, upright") << true << 1 << QSize(40, 30) << "0";
    QTest::newRow("thumbnail, 6") << true << 6 << QSize(30, 40) << "90";
    QTest::newRow("thumbnail, 3") << true << 3 << QSize(40, 30) << "-180";
}

void TestLibRawLibrary::turnedOnce()
{
    QFETCH(bool, withThumbnail);
    QFETCH(int, orientation);
    QFETCH(QSize, size);
    QFETCH(QString, rotation);
    const QString path = m_dir.filePath("turned.DNG");
    QVERIFY(writeFile(path, withThumbnail ? minimalDng(QSize(32, 24), jpegBytes(twoColours(40, 30)), QSize(40, 30),
                                                       quint16(orientation))
                                          : minimalDng(QSize(32, 24), QByteArray(), QSize(), quint16(orientation))));
    ImageLoader loader;
    Preview::GetImageRequest request;
    request.path = path;
    const Preview::GetImageResult result = loader.getImage(request);
    QCOMPARE(result.images.size(), size_t(1));
    QCOMPARE(result.images[0].size(), size);
    QCOMPARE(result.exif.value("Rotation").toString(), rotation);
    if (withThumbnail && orientation == 6) {
        // Red was left; turned clockwise it is on top.
        QVERIFY(isRed(result.images[0].pixel(15, 5)));
        QVERIFY(isBlue(result.images[0].pixel(15, 35)));
    }
    if (withThumbnail && orientation == 3) {
        QVERIFY(isRed(result.images[0].pixel(35, 15)));
        QVERIFY(isBlue(result.images[0].pixel(5, 15)));
    }
}

QTEST_MAIN(TestLibRawLibrary)
#include "tst_librawlibrary.moc"
