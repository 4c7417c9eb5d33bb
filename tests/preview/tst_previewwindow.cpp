#include "imagingtestutil.h"
#include "imaging/imagecap.h"
#include "peer/peervelm.h"
#include "preview/previewimagejob.h"
#include "preview/previewimageresponse.h"
#include "preview/previewurl.h"
#include "preview/previewwindow.h"
#include "quick/themeloader.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPdfWriter>
#include <QPainter>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QTemporaryDir>
#include <QtTest>

using namespace imagingtest;

namespace {

// Every warning of the QML engine while a test runs.
QStringList s_qmlWarnings;
QtMessageHandler s_previousHandler = nullptr;

void captureWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtDebugMsg && type != QtInfoMsg
        && (QByteArray(context.category ? context.category : "").startsWith("qml")
            || message.contains(QLatin1String(".qml:"))))
        s_qmlWarnings << message;
    s_previousHandler(type, context, message);
}

// A PDF of three pages of 200 x 100 points, each filled with its own colour.
const QColor kPageColours[] = {Qt::red, Qt::green, Qt::blue};

bool writePdf(const QString& path, const QSizeF& points, int pages)
{
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(points, QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(72);
    QPainter painter(&writer);
    for (int i = 0; i < pages; ++i) {
        if (i > 0)
            writer.newPage();
        painter.fillRect(QRectF(QPointF(0, 0), points), kPageColours[i % 3]);
    }
    return painter.end();
}

QString svgText(const QString& declared)
{
    return QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' %1 viewBox='0 0 2 1'>"
                          "<rect width='2' height='1' fill='red'/></svg>")
        .arg(declared);
}

QString idOf(const QString& url)
{
    // As the engine hands it to the provider.
    return QUrl(url).toString(QUrl::RemoveScheme | QUrl::RemoveAuthority).mid(1);
}

} // namespace

class TestPreviewWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void pdfPages();
    void pdfPageOverTheCap();
    void svgScale_data();
    void svgScale();
    void adjustedGeometry_data();
    void adjustedGeometry();
    void urlTable_data();
    void urlTable();
    void showsPhotoWithDetails();
    void pdfPageInTheWindow();
    void escapeHidesAndForgets();
    void staleResultDropped();
    void refusedFiles_data();
    void refusedFiles();
    void failedFileEndsInError();
    void switchingSourcesWhileJobsRun();
    void droppedResponsesGetNothing();
    void largePhotoTime();

private:
    QString file(const QString& name) const { return m_dir->filePath(name); }
    QQuickItem* root() const { return m_window->page(); }
    QQuickItem* imageItem() const { return root()->findChild<QQuickItem*>("image"); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QQmlEngine> m_engine;
    QObject* m_theme = nullptr;
    std::unique_ptr<PreviewWindow> m_window;
};

void TestPreviewWindow::initTestCase()
{
    s_previousHandler = qInstallMessageHandler(captureWarnings);
    ThemeLoader::initResources();
}

void TestPreviewWindow::init()
{
    s_qmlWarnings.clear();
    m_dir.reset(new QTemporaryDir);
    m_engine.reset(new QQmlEngine);
    m_theme = ThemeLoader::create(m_engine.get(), ThemeLoader::builtInThemeUrl());
    QVERIFY(m_theme);
    m_theme->setParent(m_engine.get());
    m_engine->rootContext()->setContextProperty("Theme", m_theme);
    m_window.reset(new PreviewWindow(m_engine.get(), nullptr));
    QVERIFY(root());
    QVERIFY(!m_window->isVisible());
}

void TestPreviewWindow::cleanup()
{
    // The picture goes while the scene graph is still there to free its texture.
    if (m_window && root() && m_window->isVisible()) {
        QSignalSpy frames(m_window.get(), &QQuickWindow::frameSwapped);
        root()->setProperty("img", QString());
        QTRY_COMPARE_WITH_TIMEOUT(imageItem()->property("status").toInt(), 0, 30000); // Image.Null
        m_window->update();
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() > 0, 30000);
        m_window->hide();
    }
    m_window.reset();
    m_engine.reset();
    // The scene graph hands its textures to deleteLater(); the last test's
    // would otherwise outlive the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_dir.reset();
    QVERIFY2(s_qmlWarnings.isEmpty(), qPrintable(s_qmlWarnings.join('\n')));
}

void TestPreviewWindow::pdfPages()
{
    const QString path = file("three.pdf");
    QVERIFY(writePdf(path, QSizeF(200, 100), 3));
    const QString url = PreviewUrl::make(ownPeerUuid(), path, "page=2");
    const Preview::GetImageResult result = PreviewImageJob::load(idOf(url), QSize(-1, -1), nullptr);
    QCOMPARE(result.path, path);
    QCOMPARE(result.images.size(), size_t(1));
    QCOMPARE(result.images[0].size(), QSize(600, 300));
    QCOMPARE(result.exif.value("Page").toString(), QString("2"));
    QCOMPARE(result.exif.value("PageCount").toString(), QString("3"));
    const QColor middle = result.images[0].pixelColor(300, 150);
    QVERIFY2(middle.blue() > 200 && middle.red() < 60, qPrintable(middle.name()));

    // A page without a value is the first; pages past the end the last.
    Preview::GetImageResult first = PreviewImageJob::load(idOf(PreviewUrl::make(ownPeerUuid(), path, "page")),
                                                          QSize(-1, -1), nullptr);
    QCOMPARE(first.exif.value("Page").toString(), QString("0"));
    Preview::GetImageResult last = PreviewImageJob::load(idOf(PreviewUrl::make(ownPeerUuid(), path, "page=9")),
                                                         QSize(100, 50), nullptr);
    QCOMPARE(last.exif.value("Page").toString(), QString("2"));
    QCOMPARE(last.images[0].size(), QSize(100, 50));
}

void TestPreviewWindow::pdfPageOverTheCap()
{
    const QString path = file("poster.pdf");
    QVERIFY(writePdf(path, QSizeF(14400, 14400), 1));
    const Preview::GetImageResult result
        = PreviewImageJob::load(idOf(PreviewUrl::make(ownPeerUuid(), path, "page=0")), QSize(-1, -1), nullptr);
    QCOMPARE(result.images.size(), size_t(1));
    QCOMPARE(result.images[0].size(), ImageCap::capped(QSize(43200, 43200)));
    QVERIFY(ImageCap::fits(result.images[0].size()));
}

void TestPreviewWindow::svgScale_data()
{
    QTest::addColumn<QString>("declared");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<QSize>("size");
    const QString small = "width='200' height='100'";
    QTest::newRow("fitted") << small << "" << QSize(100, 100) << QSize(100, 50);
    QTest::newRow("scale 200") << small << "scale=200" << QSize(100, 100) << QSize(200, 100);
    QTest::newRow("scale 50 ignored") << small << "scale=50" << QSize(100, 100) << QSize(100, 50);
    QTest::newRow("scale 100 ignored") << small << "scale=100" << QSize(100, 100) << QSize(100, 50);
    QTest::newRow("own size") << small << "" << QSize(-1, -1) << QSize(200, 100);
    QTest::newRow("a million pixels") << "width='1000000' height='500000'" << "" << QSize(-1, -1)
                                      << ImageCap::capped(QSize(1000000, 500000));
    QTest::newRow("scaled past the cap") << small << "scale=100000000" << QSize(-1, -1)
                                         << ImageCap::capped(QSize(200000000, 100000000));
}

void TestPreviewWindow::svgScale()
{
    QFETCH(QString, declared);
    QFETCH(QString, query);
    QFETCH(QSize, requested);
    QFETCH(QSize, size);
    const QString path = file("d.svg");
    QVERIFY(writeFile(path, svgText(declared).toUtf8()));
    const Preview::GetImageResult result
        = PreviewImageJob::load(idOf(PreviewUrl::make(ownPeerUuid(), path, query)), requested, nullptr);
    QCOMPARE(result.images.size(), size_t(1));
    QCOMPARE(result.images[0].size(), size);
    QVERIFY(ImageCap::fits(result.images[0].size()));
}

void TestPreviewWindow::adjustedGeometry_data()
{
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QRect>("current");
    QTest::addColumn<QSize>("available");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("large photo") << QSize(3000, 2000) << QRect(1000, 100, 600, 500) << QSize(1920, 1050)
                                 << QRect(216, 100, 1488, 931);
    QTest::newRow("large photo, room left") << QSize(3000, 2000) << QRect(100, 50, 600, 500) << QSize(1920, 1050)
                                            << QRect(100, 50, 1488, 931);
    QTest::newRow("small image keeps the window") << QSize(300, 200) << QRect(10, 10, 600, 500)
                                                  << QSize(1920, 1050) << QRect(10, 10, 600, 500);
    QTest::newRow("low on the screen") << QSize(3000, 2000) << QRect(100, 400, 600, 500) << QSize(1920, 1050)
                                       << QRect(100, 59, 1488, 931);
    QTest::newRow("medium image") << QSize(800, 600) << QRect(10, 10, 600, 500) << QSize(1920, 1050)
                                  << QRect(10, 10, 848, 744);
}

void TestPreviewWindow::adjustedGeometry()
{
    QFETCH(QSize, image);
    QFETCH(QRect, current);
    QFETCH(QSize, available);
    QFETCH(QRect, expected);
    QCOMPARE(PreviewWindow::adjustedGeometry(image, current, available), expected);
}

void TestPreviewWindow::urlTable_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("decoy"); // what a wrong decoding would open
    QTest::newRow("hash") << "a#b.png" << "a";
    QTest::newRow("question mark") << "c?d.png" << "c";
    QTest::newRow("percent 25") << "100%25.png" << "100%.png";
    QTest::newRow("umlaut and blank") << QString::fromUtf8("ü x.png") << "u x.png";
    QTest::newRow("braces and plus") << "{a}+b.png" << "{a} b.png";
}

void TestPreviewWindow::urlTable()
{
    QFETCH(QString, name);
    QFETCH(QString, decoy);
    QVERIFY(twoColours(37, 23).save(file(name), "png"));
    QVERIFY(twoColours(11, 7).save(file(decoy), "png"));
    QVERIFY(m_window->loadFile(ownPeerUuid(), file(name)));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 30000);
    QCOMPARE(m_window->path(), file(name));
    QCOMPARE(m_window->image().size(), QSize(37, 23));
    QTRY_COMPARE_WITH_TIMEOUT(imageItem()->property("status").toInt(), 1, 30000); // Image.Ready
    QCOMPARE(root()->property("imgWidth").toInt(), 37);
    QCOMPARE(root()->property("fileName").toString(), name);
}

void TestPreviewWindow::showsPhotoWithDetails()
{
    ExifFields fields;
    fields.order = EXIF_BYTE_ORDER_MOTOROLA;
    fields.make = "Tarnwick";
    fields.fNumber = true;
    fields.fNumberValue = {56, 10};
    fields.focalLength = true;
    fields.focalLengthValue = {35, 0}; // not divided: left out
    fields.taken = "2025:07:01 09:30:00";
    const QString path = file("holiday.jpg");
    QVERIFY(writeFile(path, jpegWithExif(twoColours(400, 300), fields)));
    QVERIFY(m_window->loadFile(ownPeerUuid(), path));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 30000);
    QQuickItem* exif = root()->findChild<QQuickItem*>("previewExif");
    QVERIFY(exif);
    QVERIFY(exif->isVisible());
    QCOMPARE(exif->parentItem(), root());
    QCOMPARE(exif->property("make").toString(), QString("Tarnwick"));
    QCOMPARE(exif->property("fNumber").toString(), QString::fromUtf8("\xf0\x9d\x91\x93/5.6"));
    QCOMPARE(exif->property("focalLength").toString(), QString());
    QVERIFY(exif->property("date").toString().contains("2025"));
    QCOMPARE(m_window->image().size(), QSize(400, 300));

    // Copy puts the picture on the clipboard.
    QGuiApplication::clipboard()->clear();
    QMetaObject::invokeMethod(root(), "copy");
    QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(400, 300));
    QGuiApplication::clipboard()->clear(); // the offscreen clipboard is never freed
}

void TestPreviewWindow::pdfPageInTheWindow()
{
    const QString path = file("three.pdf");
    QVERIFY(writePdf(path, QSizeF(200, 100), 3));
    QVERIFY(m_window->loadFile(ownPeerUuid(), path));
    QVERIFY(root()->property("img").toString().endsWith("?page=0"));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(root()->property("pageCount").toInt(), 3, 30000);
    root()->setProperty("page", 2);
    QTRY_VERIFY_WITH_TIMEOUT(imageItem()->property("source").toUrl().toString().endsWith("?page=2"), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->image().pixelColor(10, 10), QColor(Qt::blue), 30000);
    QCOMPARE(root()->property("page").toInt(), 2);
}

void TestPreviewWindow::escapeHidesAndForgets()
{
    const QString path = file("p.png");
    QVERIFY(twoColours(40, 30).save(path));
    QVERIFY(m_window->loadFile(ownPeerUuid(), path));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 30000);
    QVERIFY(!m_window->image().isNull());
    QSignalSpy closed(m_window.get(), &PreviewWindow::requestClose);
    QTest::keyClick(m_window.get(), Qt::Key_Escape);
    QCOMPARE(closed.count(), 1);
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->image().isNull());
    QVERIFY(m_window->path().isEmpty());
    QCOMPARE(root()->property("img").toString(), QString());
    QCOMPARE(m_window->size(), QSize(600, 500));

    QGuiApplication::clipboard()->setText("before");
    QMetaObject::invokeMethod(root(), "copy");
    QCOMPARE(QGuiApplication::clipboard()->text(), QString("before"));
    QVERIFY(QGuiApplication::clipboard()->image().isNull());
    QGuiApplication::clipboard()->clear();
}

void TestPreviewWindow::staleResultDropped()
{
    const QString first = file("first.png");
    const QString second = file("second.png");
    QVERIFY(twoColours(40, 30).save(first));
    QVERIFY(twoColours(50, 30).save(second));
    QVERIFY(m_window->loadFile(ownPeerUuid(), second));
    Preview::GetImageResult stale;
    stale.path = first;
    stale.images.push_back(twoColours(40, 30));
    m_window->onImageResult(stale);
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->image().isNull());
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 30000);
    QCOMPARE(m_window->image().size(), QSize(50, 30));
    m_window->onImageResult(stale);
    QCOMPARE(m_window->image().size(), QSize(50, 30));
}

void TestPreviewWindow::refusedFiles_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("name");
    QTest::newRow("another machine") << "{0000abcd-0000-4000-8000-000000000001}" << "p.png";
    QTest::newRow("missing") << ownPeerUuid() << "missing.png";
    QTest::newRow("not previewable") << ownPeerUuid() << "notes.txt";
}

void TestPreviewWindow::refusedFiles()
{
    QFETCH(QString, uuid);
    QFETCH(QString, name);
    QVERIFY(twoColours(40, 30).save(file("p.png")));
    QVERIFY(writeFile(file("notes.txt"), "text"));
    QQuickItem* exif = root()->findChild<QQuickItem*>("previewExif");
    exif->setVisible(true);
    QVERIFY(!m_window->loadFile(uuid, file(name)));
    QVERIFY(!exif->isVisible());
    QVERIFY(m_window->path().isEmpty());
}

void TestPreviewWindow::failedFileEndsInError()
{
    const QString path = file("broken.png");
    QVERIFY(writeFile(path, "not a picture at all"));
    QVERIFY(m_window->loadFile(ownPeerUuid(), path));
    QTRY_COMPARE_WITH_TIMEOUT(imageItem()->property("status").toInt(), 3, 30000); // Image.Error
    QVERIFY(m_window->image().isNull());
    s_qmlWarnings.clear(); // the engine reports the failed image; that is the point here
}

void TestPreviewWindow::switchingSourcesWhileJobsRun()
{
    QStringList paths;
    for (int i = 0; i < 5; ++i) {
        paths << file(QStringLiteral("s%1.jpg").arg(i));
        QVERIFY(writeFile(paths.last(), jpegBytes(twoColours(800 + i * 10, 600))));
    }
    paths << file("gone.jpg");
    for (int i = 0; i < 50; ++i) {
        const QString path = paths.at(i % paths.size());
        root()->setProperty("img", PreviewUrl::make(ownPeerUuid(), path));
        QCoreApplication::processEvents();
    }
    QVERIFY(m_window->loadFile(ownPeerUuid(), paths.at(2)));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->image().size(), QSize(820, 600), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(imageItem()->property("status").toInt(), 1, 30000);
    s_qmlWarnings.clear(); // the missing file's failures
}

// Responses dropped before their job starts, while it runs, and after its
// result is posted but not yet taken: the kept ones finish with their
// picture; the dropped ones are never touched again (the sanitizers watch
// both, and nothing of a handover may outlive it).
void TestPreviewWindow::droppedResponsesGetNothing()
{
    const QString path = file("small.svg");
    QVERIFY(writeFile(path, "<svg xmlns='http://www.w3.org/2000/svg' width='20' height='10'>"
                            "<rect width='20' height='10' fill='red'/></svg>"));
    const QString id = idOf(PreviewUrl::make(ownPeerUuid(), path));
    QThreadPool pool;
    pool.setMaxThreadCount(4);
    std::vector<std::unique_ptr<PreviewImageResponse>> kept;
    std::vector<std::unique_ptr<QSignalSpy>> finished;
    std::vector<std::unique_ptr<PreviewImageResponse>> droppedLate;
    for (int i = 0; i < 60; ++i) {
        auto response = std::make_unique<PreviewImageResponse>(id, QSize(-1, -1), nullptr, &pool);
        switch (i % 3) {
        case 0:
            response.reset();
            break;
        case 1:
            droppedLate.push_back(std::move(response));
            break;
        default:
            finished.push_back(std::make_unique<QSignalSpy>(response.get(), &QQuickImageResponse::finished));
            kept.push_back(std::move(response));
        }
    }
    pool.waitForDone();
    droppedLate.clear(); // their results wait among the posted events
    for (std::size_t i = 0; i < kept.size(); ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(finished[i]->count(), 1, 30000);
        QCOMPARE(kept[i]->image().size(), QSize(20, 10));
    }
    QCoreApplication::processEvents();
}

void TestPreviewWindow::largePhotoTime()
{
    const QString path = file("24mp.jpg");
    QVERIFY(writeFile(path, jpegBytes(twoColours(6000, 4000), 90)));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(m_window->loadFile(ownPeerUuid(), path));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->isVisible(), 60000);
    const qint64 shown = timer.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(imageItem()->property("status").toInt(), 1, 60000);
    qInfo("24-megapixel JPEG: window shown after %lld ms, image ready after %lld ms (target: 1000 ms)",
          static_cast<long long>(shown), static_cast<long long>(timer.elapsed()));
}

QTEST_MAIN(TestPreviewWindow)
#include "tst_previewwindow.moc"
