#include "core/appsettings.h"
#include "quick/iconlistmodel.h"
#include "quick/themeloader.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

class TestIconListModel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void builtInIcons_data();
    void builtInIcons();
    void userIcons();
    void noUserFolder();
    void rolesAndBounds();

private:
    QStringList paths(const IconListModel& model) const;
    QTemporaryDir m_home;
};

void TestIconListModel::initTestCase()
{
    ThemeLoader::initResources();
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
}

QStringList TestIconListModel::paths(const IconListModel& model) const
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.data(model.index(row), IconListModel::PathRole).toString();
    return out;
}

void TestIconListModel::builtInIcons_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("listed");
    QTest::newRow("program icon") << "image://theme/icon/folder.svg" << true;
    QTest::newRow("svg") << "image://theme/icon/testsquare.svg" << true;
    QTest::newRow("png in a subfolder, by bare name") << "image://theme/icon/pic.png" << true;
    QTest::newRow("svg in a subfolder, by bare name") << "image://theme/icon/deep.svg" << true;
    QTest::newRow("icns skipped") << "image://theme/icon/app.icns" << false;
    QTest::newRow("ico skipped") << "image://theme/icon/app.ico" << false;
    QTest::newRow("subfolder path not used") << "image://theme/icon/test/sub/pic.png" << false;
}

void TestIconListModel::builtInIcons()
{
    QFETCH(QString, url);
    QFETCH(bool, listed);
    IconListModel model;
    QCOMPARE(model.indexOfPath(url) >= 0, listed);
    QCOMPARE(paths(model).count(url), listed ? 1 : 0);
}

// A user's icon named with "#", "%" and a blank is listed as a file URL that
// names exactly that file.
void TestIconListModel::userIcons()
{
    const QString dir = AppSettings::configDirectory(0) + QStringLiteral("/icons/more");
    QVERIFY(QDir().mkpath(dir));
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(Qt::green);
    const QStringList names = { QStringLiteral("a#b.png"), QStringLiteral("50% c.png"), QStringLiteral("folder.png") };
    for (const QString& name : names)
        QVERIFY(image.save(dir + QLatin1Char('/') + name, "PNG"));
    QFile other(dir + QStringLiteral("/readme.txt"));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.close();

    IconListModel model;
    int users = 0;
    for (const QString& path : paths(model)) {
        if (!path.startsWith(QLatin1String("file:")))
            continue;
        ++users;
        const QUrl url(path);
        QVERIFY2(url.isLocalFile(), qPrintable(path));
        QVERIFY2(url.fragment().isEmpty() && !url.hasQuery(), qPrintable(path));
        QImage loaded;
        QVERIFY2(loaded.load(url.toLocalFile()), qPrintable(path));
        QVERIFY(names.contains(QFileInfo(url.toLocalFile()).fileName()));
    }
    QCOMPARE(users, names.size());
    // Same name as a built-in icon, still listed: its URL differs.
    QVERIFY(model.indexOfPath(QStringLiteral("image://theme/icon/folder.svg")) >= 0);
    QVERIFY(QDir(dir).removeRecursively());
}

void TestIconListModel::noUserFolder()
{
    QDir(AppSettings::configDirectory(0) + QStringLiteral("/icons")).removeRecursively();
    IconListModel model;
    for (const QString& path : paths(model))
        QVERIFY(path.startsWith(QLatin1String("image://theme/icon/")));
}

void TestIconListModel::rolesAndBounds()
{
    IconListModel model;
    QVERIFY(model.rowCount() > 0);
    QCOMPARE(model.roleNames().value(IconListModel::PathRole), QByteArray("path"));
    QCOMPARE(model.roleNames().value(IconListModel::IconRole), QByteArray("icon"));
    QVERIFY(!model.data(model.index(0), IconListModel::IconRole).isValid());
    QVERIFY(!model.data(model.index(0), Qt::DisplayRole).isValid());
    QVERIFY(!model.data(model.index(model.rowCount()), IconListModel::PathRole).isValid());
    QCOMPARE(model.indexOfPath(QStringLiteral("nothing")), -1);
}

QTEST_MAIN(TestIconListModel)
#include "tst_iconlistmodel.moc"
