#include "peer/peervelm.h"
#include "models/preview.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

class TestPreview : public QObject
{
    Q_OBJECT
private slots:
    void canPreview_data();
    void canPreview();
    void imagesAtTheAskedSizes();
    void nothingToLoad_data();
    void nothingToLoad();
    void instance();
};

void TestPreview::canPreview_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ok");
    const QString own = ownPeerUuid();
    QTest::newRow("photo") << own << "/home/u/a.jpg" << true;
    QTest::newRow("suffix in capitals") << own << "/home/u/A.JPG" << true;
    QTest::newRow("raw in lower case") << own << "/home/u/img.cr2" << true;
    QTest::newRow("pdf") << own << "/doc/x.pdf" << true;
    QTest::newRow("suffix in the middle") << own << "/home/u/a.jpg.bak" << true;
    QTest::newRow("text") << own << "/home/u/a.txt" << false;
    QTest::newRow("empty path") << own << "" << false;
    QTest::newRow("own uuid in capitals without braces") << "00000000-0000-0000-0000-000000000000"
                                                         << "/a.png" << true;
    QTest::newRow("other peer starting with zeros") << "{0000abcd-0000-4000-8000-000000000001}" << "/a.png"
                                                    << false;
    QTest::newRow("other peer") << "{5a1e0000-0000-4000-8000-0000000000b1}" << "/a.png" << false;
    QTest::newRow("no uuid") << "" << "/a.png" << false;
    QTest::newRow("not a uuid") << "{0000" << "/a.png" << false;
}

void TestPreview::canPreview()
{
    QFETCH(QString, uuid);
    QFETCH(QString, path);
    QFETCH(bool, ok);
    QCOMPARE(Preview::canPreview(uuid, path), ok);
}

void TestPreview::imagesAtTheAskedSizes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("wide.png");
    QImage image(100, 50, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(path));

    Preview preview;
    Preview::GetImageRequest request;
    request.peerUuid = ownPeerUuid();
    request.path = path;
    request.bounds = {QSize(20, 20), QSize(256, 256), QSize(40, 10)};
    QFuture<Preview::GetImageResult> future = Preview::getImageAsync(&preview, request);
    future.waitForFinished();
    const Preview::GetImageResult result = future.result();
    QCOMPARE(result.path, path);
    QCOMPARE(result.size, QSize(256, 256));
    QCOMPARE(result.images.size(), size_t(3));
    QCOMPARE(result.images[0].size(), QSize(20, 10));
    QCOMPARE(result.images[1].size(), QSize(100, 50)); // never enlarged
    QCOMPARE(result.images[2].size(), QSize(20, 10));
}

void TestPreview::nothingToLoad_data()
{
    QTest::addColumn<bool>("withPreview");
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("name");
    QTest::newRow("no preview service") << false << ownPeerUuid() << "a.png";
    QTest::newRow("another peer's file") << true << "{0000abcd-0000-4000-8000-000000000001}" << "a.png";
    QTest::newRow("missing file") << true << ownPeerUuid() << "missing.png";
    QTest::newRow("not an image") << true << ownPeerUuid() << "b.png";
}

void TestPreview::nothingToLoad()
{
    QFETCH(bool, withPreview);
    QFETCH(QString, uuid);
    QFETCH(QString, name);
    QTemporaryDir dir;
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::green);
    QVERIFY(image.save(dir.filePath("a.png")));
    QFile text(dir.filePath("b.png"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("no picture") > 0);
    text.close();

    Preview preview;
    Preview::GetImageRequest request;
    request.peerUuid = uuid;
    request.path = dir.filePath(name);
    request.bounds = {QSize(32, 32)};
    QFuture<Preview::GetImageResult> future = Preview::getImageAsync(withPreview ? &preview : nullptr, request);
    future.waitForFinished();
    QCOMPARE(future.result().path, request.path);
    QVERIFY(future.result().images.empty());
}

void TestPreview::instance()
{
    QVERIFY(!Preview::instance());
    {
        Preview first;
        QCOMPARE(Preview::instance(), &first);
        {
            Preview second;
            QCOMPARE(Preview::instance(), &first);
        }
        QCOMPARE(Preview::instance(), &first);
    }
    QVERIFY(!Preview::instance());
}

QTEST_GUILESS_MAIN(TestPreview)
#include "tst_preview.moc"
