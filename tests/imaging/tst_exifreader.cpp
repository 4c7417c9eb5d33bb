#include "imaging/exifreader.h"
#include "imagingtestutil.h"

#include <QDateTime>
#include <QtTest>

using namespace imagingtest;

// The details read from EXIF blocks in both byte orders.
class TestExifReader : public QObject
{
    Q_OBJECT
private slots:
    void rotation_data();
    void rotation();
    void rationals_data();
    void rationals();
    void dateAndMake();
    void fileWithoutExif();
    void brokenBlocks_data();
    void brokenBlocks();
};

void TestExifReader::rotation_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QString>("rotation"); // empty: absent
    const struct {
        const char* name;
        ExifByteOrder order;
    } orders[] = {{"Intel", EXIF_BYTE_ORDER_INTEL}, {"Motorola", EXIF_BYTE_ORDER_MOTOROLA}};
    for (const auto& o : orders) {
        QTest::addRow("%s 1", o.name) << int(o.order) << 1 << "0";
        QTest::addRow("%s 3", o.name) << int(o.order) << 3 << "-180";
        QTest::addRow("%s 6", o.name) << int(o.order) << 6 << "90";
        QTest::addRow("%s 8", o.name) << int(o.order) << 8 << "-90";
        QTest::addRow("%s 2 (mirrored)", o.name) << int(o.order) << 2 << "";
        QTest::addRow("%s 256", o.name) << int(o.order) << 256 << "";
    }
}

void TestExifReader::rotation()
{
    QFETCH(int, order);
    QFETCH(int, orientation);
    QFETCH(QString, rotation);
    ExifFields fields;
    fields.order = ExifByteOrder(order);
    fields.orientation = orientation;
    const QByteArray block = exifBlock(fields);
    QVariantMap exif;
    ExifReader::readData(reinterpret_cast<const unsigned char*>(block.constData()), unsigned(block.size()), exif);
    QCOMPARE(exif.contains("Rotation"), !rotation.isEmpty());
    if (!rotation.isEmpty())
        QCOMPARE(exif.value("Rotation").toString(), rotation);
}

void TestExifReader::rationals_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<quint32>("fn");
    QTest::addColumn<quint32>("fd");
    QTest::addColumn<quint32>("ln");
    QTest::addColumn<quint32>("ld");
    QTest::addColumn<QString>("fNumber");
    QTest::addColumn<QString>("focalLength");
    const QString f = QString::fromUtf8("\xf0\x9d\x91\x93/");
    for (int order : {int(EXIF_BYTE_ORDER_INTEL), int(EXIF_BYTE_ORDER_MOTOROLA)}) {
        const char* o = order == EXIF_BYTE_ORDER_INTEL ? "Intel" : "Motorola";
        QTest::addRow("%s fractions", o) << order << 28u << 10u << 355u << 10u << f + "2.8" << "35.5 mm";
        QTest::addRow("%s whole", o) << order << 8u << 1u << 100u << 2u << f + "8" << "50 mm";
        QTest::addRow("%s zero denominators", o) << order << 28u << 0u << 50u << 0u << "" << "";
        QTest::addRow("%s zero over zero", o) << order << 0u << 0u << 0u << 0u << "" << "";
    }
}

void TestExifReader::rationals()
{
    QFETCH(int, order);
    QFETCH(quint32, fn);
    QFETCH(quint32, fd);
    QFETCH(quint32, ln);
    QFETCH(quint32, ld);
    QFETCH(QString, fNumber);
    QFETCH(QString, focalLength);
    ExifFields fields;
    fields.order = ExifByteOrder(order);
    fields.fNumber = true;
    fields.fNumberValue = {fn, fd};
    fields.focalLength = true;
    fields.focalLengthValue = {ln, ld};
    const QByteArray block = exifBlock(fields);
    QVariantMap exif;
    ExifReader::readData(reinterpret_cast<const unsigned char*>(block.constData()), unsigned(block.size()), exif);
    QCOMPARE(exif.contains("FNumber"), !fNumber.isEmpty());
    QCOMPARE(exif.value("FNumber").toString(), fNumber);
    QCOMPARE(exif.contains("FocalLength"), !focalLength.isEmpty());
    QCOMPARE(exif.value("FocalLength").toString(), focalLength);
    for (const QVariant& value : exif)
        QVERIFY2(!value.toString().contains("inf") && !value.toString().contains("nan"), qPrintable(value.toString()));
}

void TestExifReader::dateAndMake()
{
    QTemporaryDir dir;
    ExifFields fields;
    fields.order = EXIF_BYTE_ORDER_MOTOROLA;
    fields.make = "Tarnwick Optics";
    fields.taken = "2024:02:29 13:45:10";
    const QString path = dir.filePath("taken.jpg");
    QVERIFY(writeFile(path, jpegWithExif(twoColours(16, 8), fields)));
    QVariantMap exif;
    ExifReader::readFile(path, exif);
    QCOMPARE(exif.value("Make").toString(), QString("Tarnwick Optics"));
    const QDateTime taken(QDate(2024, 2, 29), QTime(13, 45, 10));
    QCOMPARE(exif.value("Date").toString(), ExifReader::dateText(taken));
    QCOMPARE(exif.value("Time").toString(), ExifReader::timeText(taken));
    QVERIFY(exif.value("Date").toString().contains("2024"));

    fields.taken = "not a date";
    QVERIFY(writeFile(path, jpegWithExif(twoColours(16, 8), fields)));
    exif.clear();
    ExifReader::readFile(path, exif);
    QVERIFY(!exif.contains("Date"));
    QVERIFY(!exif.contains("Time"));
}

void TestExifReader::fileWithoutExif()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("plain.jpg");
    QVERIFY(writeFile(path, jpegBytes(twoColours(16, 8))));
    QVariantMap exif;
    ExifReader::readFile(path, exif);
    QVERIFY(exif.isEmpty());
    ExifReader::readFile(dir.filePath("missing.jpg"), exif);
    QVERIFY(exif.isEmpty());
}

void TestExifReader::brokenBlocks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    ExifFields fields;
    fields.orientation = 6;
    fields.fNumber = true;
    fields.make = "Make";
    const QByteArray block = exifBlock(fields);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("header only") << QByteArray("Exif\0\0", 6);
    QTest::newRow("cut in the IFD") << block.left(block.size() / 2);
    QTest::newRow("cut in the header") << block.left(9);
    QByteArray wrongCount = block;
    wrongCount[6 + 8] = char(0xff); // entry count of IFD 0
    wrongCount[6 + 9] = char(0xff);
    QTest::newRow("entry count too high") << wrongCount;
    QTest::newRow("noise") << QByteArray(300, '\xff');
}

void TestExifReader::brokenBlocks()
{
    QFETCH(QByteArray, bytes);
    QVariantMap exif;
    ExifReader::readData(reinterpret_cast<const unsigned char*>(bytes.constData()), unsigned(bytes.size()), exif);
    // Whatever it makes of it: no crash, no sanitizer report, and no field
    // out of the table.
    for (auto it = exif.cbegin(); it != exif.cend(); ++it)
        QVERIFY(!it.value().toString().isEmpty());
}

QTEST_GUILESS_MAIN(TestExifReader)
#include "tst_exifreader.moc"
