#include "quick/themeimageprovider.h"
#include "quick/themeloader.h"

#include <QFileIconProvider>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QUrl>
#include <QtTest>

#include <memory>

// The test's square (":/icons/testsquare.svg") has one flat colour per
// drawing: blue at 16 px, red at 24 px, black in the main 32 px one.
class TestThemeImageProvider : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void sizes_data();
    void sizes();
    void recolouring_data();
    void recolouring();
    void fileAndMimeBranches();
    void missingIconGivesPlaceholder();
    void fileIdsDecodeOnce_data();
    void fileIdsDecodeOnce();
    void instanceFollowsLifetime();

private:
    QImage request(const QString& id, int width, QSize* size = nullptr);

    QQmlEngine m_engine;
    std::unique_ptr<QObject> m_theme;
    std::unique_ptr<ThemeImageProvider> m_provider;
};

void TestThemeImageProvider::initTestCase()
{
    ThemeLoader::initResources();
    QQmlComponent component(&m_engine);
    component.setData("import QtQuick 2.12\n"
                      "QtObject {\n"
                      "  property QtObject icon: QtObject {\n"
                      "    property string name: \"#000000\"\n"
                      "    property var two: [\"#000000\", \"#00ff00\"]\n"
                      "    property var one: [\"#ff0000\"]\n"
                      "    property var three: [\"#0000ff\", \"#ffffff\", \"#ffffff\"]\n"
                      "  }\n"
                      "  property QtObject iconchain: QtObject {\n"
                      "    property var first: [\"#000000\", \"#123456\"]\n"
                      "    property var second: [\"#123456\", \"#ffff00\"]\n"
                      "  }\n"
                      "}\n",
                      QUrl(QStringLiteral("file:///theme.qml")));
    m_theme.reset(component.create());
    QVERIFY2(m_theme, qPrintable(component.errorString()));
    m_provider.reset(new ThemeImageProvider(m_theme.get()));
    QVERIFY(QFile::exists(QStringLiteral(":/icons/testsquare.svg")));
}

void TestThemeImageProvider::cleanupTestCase()
{
    m_provider.reset();
    m_theme.reset();
}

QImage TestThemeImageProvider::request(const QString& id, int width, QSize* size)
{
    return m_provider->requestPixmap(id, size, QSize(width, width)).toImage();
}

// The square is blue in the 16 px drawing (x -40..-24), red in the 24 px one
// (-24..0) and black in the main one.
void TestThemeImageProvider::sizes_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("side"); // 0: refused
    QTest::addColumn<QColor>("colour");

    QTest::newRow("none") << 0 << 32 << QColor(Qt::black);
    QTest::newRow("1") << 1 << 0 << QColor();
    QTest::newRow("15") << 15 << 0 << QColor();
    QTest::newRow("16") << 16 << 16 << QColor(Qt::blue);
    QTest::newRow("20 from x -40") << 20 << 16 << QColor(Qt::blue);
    QTest::newRow("24") << 24 << 24 << QColor(Qt::red);
    QTest::newRow("31") << 31 << 24 << QColor(Qt::red);
    QTest::newRow("32") << 32 << 32 << QColor(Qt::black);
    QTest::newRow("40") << 40 << 40 << QColor(Qt::black);
    QTest::newRow("48") << 48 << 48 << QColor(Qt::black);
    QTest::newRow("256") << 256 << 48 << QColor(Qt::black);
}

void TestThemeImageProvider::sizes()
{
    QFETCH(int, requested);
    QFETCH(int, side);
    QFETCH(QColor, colour);
    QSize size(-1, -1);
    const QImage image = request(QStringLiteral("iconplain/testsquare.svg"), requested, &size);
    if (side == 0) {
        QVERIFY(image.isNull());
        return;
    }
    QCOMPARE(image.size(), QSize(side, side));
    QCOMPARE(size, QSize(side, side));
    // Away from the edges, where anti-aliasing blends.
    QCOMPARE(QColor(image.pixel(side / 2, side / 2)), colour);
}

void TestThemeImageProvider::recolouring_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QColor>("main");

    QTest::newRow("two-entry list applies, one and three do not") << "icon/testsquare.svg" << QColor(Qt::green);
    QTest::newRow("lists apply in order, each on the last result") << "iconchain/testsquare.svg"
                                                                   << QColor(Qt::yellow);
    QTest::newRow("no colour object") << "iconplain/testsquare.svg" << QColor(Qt::black);
}

void TestThemeImageProvider::recolouring()
{
    QFETCH(QString, id);
    QFETCH(QColor, main);
    const QImage image = request(id, 32);
    QCOMPARE(QColor(image.pixel(16, 16)), main);
    // The one- and three-entry lists would have recoloured these.
    QCOMPARE(QColor(request(id, 24).pixel(12, 12)), QColor(Qt::red));
    QCOMPARE(QColor(request(id, 16).pixel(8, 8)), QColor(Qt::blue));
}

void TestThemeImageProvider::fileAndMimeBranches()
{
    QFileIconProvider platform;
    const QImage generic = platform.icon(QFileIconProvider::File).pixmap(QSize(32, 32)).toImage();
    const QImage folder = platform.icon(QFileIconProvider::Folder).pixmap(QSize(32, 32)).toImage();
    QVERIFY(!generic.isNull());

    QSize size;
    const QImage notes = request(QStringLiteral("file/no/such/dir/notes.txt"), 32, &size);
    QVERIFY(!notes.isNull());
    QCOMPARE(size, QSize(32, 32));

    QCOMPARE(request(QStringLiteral("mime/text/plain"), 32), generic);
    QCOMPARE(request(QStringLiteral("mime/application/x-directory"), 32), folder);
    QCOMPARE(request(QStringLiteral("mime/application/x-directory"), 20).size(), QSize(16, 16));
}

void TestThemeImageProvider::missingIconGivesPlaceholder()
{
    for (const QString& id : { QStringLiteral("icon/no-such-icon.svg"), QStringLiteral("whatever"),
                               QStringLiteral("icon/") }) {
        const QImage image = request(id, 24).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(24, 24));
        QCOMPARE(image.pixel(3, 3), 0xAAA08080u);
        QCOMPARE(image.pixel(20, 20), 0xAAA08080u);
    }
}

// A path goes into a URL encoded once and comes out of the id decoded once,
// whatever it holds; the id is what Qt hands the provider.
void TestThemeImageProvider::fileIdsDecodeOnce_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("hash") << "/tmp/a#b.txt";
    QTest::newRow("percent") << "/tmp/100%25 done.txt";
    QTest::newRow("question mark") << "/tmp/what?.txt";
    QTest::newRow("blank") << "/tmp/two words.txt";
    QTest::newRow("umlaut") << QStringLiteral("/tmp/Bücher/Grüße.txt");
    QTest::newRow("encoded-looking") << "/tmp/%23%20%41";
}

void TestThemeImageProvider::fileIdsDecodeOnce()
{
    QFETCH(QString, path);
    const QUrl url(ThemeImageProvider::fileIconUrl(path));
    QVERIFY(url.isValid());
    QCOMPARE(url.host(), QStringLiteral("theme"));
    QVERIFY(url.fragment().isEmpty());
    QVERIFY(url.query().isEmpty());
    // As QQuickPixmap builds the id of an image provider.
    const QString id = url.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority).mid(1);
    QVERIFY(id.startsWith(QLatin1String("file/")));
    QCOMPARE(ThemeImageProvider::filePathOfId(id), path);
}

void TestThemeImageProvider::instanceFollowsLifetime()
{
    QCOMPARE(ThemeImageProvider::instance(), m_provider.get());
    QCOMPARE(IThemePixmapProvider::instance(), static_cast<IThemePixmapProvider*>(m_provider.get()));
    {
        ThemeImageProvider second(m_theme.get());
        QCOMPARE(ThemeImageProvider::instance(), &second);
    }
    QVERIFY(!ThemeImageProvider::instance());
    QVERIFY(!IThemePixmapProvider::instance());
    QVERIFY(QIcon::fallbackSearchPaths().count(QStringLiteral("/usr/share/pixmaps")) == 1);
}

QTEST_MAIN(TestThemeImageProvider)
#include "tst_themeimageprovider.moc"
