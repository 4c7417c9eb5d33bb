#include "app/velmmain.h"
#include "core/machineclassifier.h"
#include "window/mainwindow.h"
#include "manager/connectionmanager.h"
#include "peer/peermodel.h"
#include "support/testargs.h"
#include "vfs/watch/vfswatcher.h"

#include <QDir>
#include <QFile>
#include <QSGRendererInterface>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTranslator>
#include <QtTest>


class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void renderer_data();
    void renderer();
    void rendererApiNamesFollowQt();
    void leftoverDirectories_data();
    void leftoverDirectories();
    void translations_data();
    void translations();
    void startAndClose();
};

// The about dialog looks the name up by Qt's own number for the API.
void TestStartup::rendererApiNamesFollowQt()
{
    QCOMPARE(rendererApiNames.size(), 10);
    const QList<QPair<QSGRendererInterface::GraphicsApi, QString>> apis = {
        {QSGRendererInterface::Unknown, "Unknown"},     {QSGRendererInterface::Software, "Software"},
        {QSGRendererInterface::OpenGL, "OpenGL"},       {QSGRendererInterface::Direct3D12, "Direct3D12"},
        {QSGRendererInterface::OpenVG, "OpenVG"},       {QSGRendererInterface::OpenGLRhi, "OpenGLRhi"},
        {QSGRendererInterface::Direct3D11Rhi, "Direct3D11Rhi"}, {QSGRendererInterface::VulkanRhi, "VulkanRhi"},
        {QSGRendererInterface::MetalRhi, "MetalRhi"},   {QSGRendererInterface::NullRhi, "NullRhi"},
    };
    for (const auto& api : apis)
        QCOMPARE(rendererApiNames.value(int(api.first)), api.second);
}

void TestStartup::renderer_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    QTest::newRow("none") << QStringList{ "velm" } << QString();
    QTest::newRow("software") << QStringList{ "velm", "--renderer=software" } << "software";
    QTest::newRow("opengl") << QStringList{ "velm", "--renderer=opengl" } << "opengl";
    QTest::newRow("softwarex") << QStringList{ "velm", "--renderer=softwarex" } << "softwarex";
    QTest::newRow("empty") << QStringList{ "velm", "--renderer=" } << QString();
    QTest::newRow("last wins") << QStringList{ "velm", "--renderer=software", "--renderer=opengl" }
                               << "opengl";
    QTest::newRow("program name ignored") << QStringList{ "--renderer=software" } << QString();
}

void TestStartup::renderer()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QCOMPARE(rendererName(arguments), expected);
}

void TestStartup::leftoverDirectories_data()
{
    QTest::addColumn<QString>("appDirName");
    QTest::addColumn<bool>("removed");

    QTest::newRow("ordinary") << "bin" << true;
    QTest::newRow("named update") << "update" << false;
    QTest::newRow("ends with update") << "velm-noupdate" << true;
}

void TestStartup::leftoverDirectories()
{
    QFETCH(QString, appDirName);
    QFETCH(bool, removed);
    QTemporaryDir tmp;
    const QString appDir = tmp.filePath(appDirName);
    for (const char* sub : { "/rollback/a", "/update/b" })
        QVERIFY(QDir().mkpath(appDir + QLatin1String(sub)));
    QFile file(appDir + QStringLiteral("/rollback/a/file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    QVERIFY(removeLeftoverUpdateDirectories(appDir).isEmpty());
    QCOMPARE(QDir(appDir + QStringLiteral("/rollback")).exists(), !removed);
    QCOMPARE(QDir(appDir + QStringLiteral("/update")).exists(), !removed);
}

void TestStartup::translations_data()
{
    QTest::addColumn<QString>("systemLocale");
    QTest::addColumn<QString>("usedLocale");
    QTest::addColumn<bool>("qtTextsLoaded");

    QTest::newRow("german") << "de_DE" << "de_DE" << true;
    QTest::newRow("english") << "en_US" << "en_US" << false;
    QTest::newRow("no translation falls back to english") << "fr_FR" << "en_US" << false;
}

void TestStartup::translations()
{
    QFETCH(QString, systemLocale);
    QFETCH(QString, usedLocale);
    QFETCH(bool, qtTextsLoaded);
    TestArgs args({ "velm" });
    QCoreApplication app(args.argc(), args.argv());
    QTranslator velmTranslator;
    QTranslator qtTranslator;
    QLocale locale(systemLocale);
    installTranslators(velmTranslator, qtTranslator, locale);
    QCOMPARE(locale.name(), usedLocale);
    QVERIFY(!velmTranslator.isEmpty());
    QCOMPARE(!qtTranslator.isEmpty(), qtTextsLoaded);
    QCOMPARE(qtTrId("window-title"), QStringLiteral("Velm"));
    // Whatever the language, the texts of all built-in ones are at hand.
    QCOMPARE(shippedTexts("sector-main"), (QStringList{ "Hauptansicht", "Main view" }));
    QCOMPARE(shippedTexts("no-such-id"), QStringList());
}

void TestStartup::startAndClose()
{
    QTemporaryDir tmp;
    const QString configDir = tmp.filePath(QStringLiteral("cfg"));
    TestArgs args({ "velm", "--config-dir=" + configDir });

    bool shownCalled = false;
    QString managerThread;
    const int rc = velmMain(args.argc(), args.argv(), [&](MainWindow& window) {
        shownCalled = true;
        QVERIFY(window.isVisible());
        QVERIFY(MachineClassifier::instance());
        QVERIFY(PeerModel::instance());
        QVERIFY(VfsWatcher::instance());
        ConnectionManager* manager = ConnectionManager::instance();
        QVERIFY(manager);
        managerThread = manager->thread()->objectName();
        QTRY_VERIFY(manager->thread()->isRunning());
        window.close();
    });
    QVERIFY(shownCalled);
    QCOMPARE(rc, 0);
    QCOMPARE(managerThread, QStringLiteral("ioThread"));

    // Everything made for the run is gone again, the connection manager too.
    QVERIFY(ConnectionManager::instance() == nullptr);
    QVERIFY(PeerModel::instance() == nullptr);
    QVERIFY(VfsWatcher::instance() == nullptr);
    QVERIFY(MachineClassifier::instance() == nullptr);

    QVERIFY(QFile::exists(configDir + QStringLiteral("/velm.db")));
    QSettings settings(configDir + QStringLiteral("/config.ini"), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Logger"));
    QCOMPARE(settings.childKeys().size(), 21);
    QCOMPARE(settings.value(QStringLiteral("ERR1")).toBool(), true);
}

QTEST_APPLESS_MAIN(TestStartup)
#include "tst_startup.moc"
