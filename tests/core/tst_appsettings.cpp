#include "core/appsettings.h"
#include "support/testargs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// Each case builds its own application object, since options are read from
// the application's argument list.
class TestAppSettings : public QObject
{
    Q_OBJECT
private slots:
    void argumentLookup_data();
    void argumentLookup();
    void numericLookup_data();
    void numericLookup();
    void configDirectory();
    void configDirectoryFallsBackToHome_data();
    void configDirectoryFallsBackToHome();
    void settingsWrittenWithoutEventLoop();
    void localNetworkSettings();
};

void TestAppSettings::argumentLookup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("missing") << QStringList{} << "--config-dir" << "dflt";
    QTest::newRow("plain") << QStringList{ "--config-dir=/a" } << "--config-dir" << "/a";
    QTest::newRow("value holds =") << QStringList{ "--config-dir=/data/a=b" } << "--config-dir"
                                   << "/data/a=b";
    QTest::newRow("no =") << QStringList{ "--config-dir" } << "--config-dir" << "dflt";
    QTest::newRow("empty value") << QStringList{ "--config-dir=" } << "--config-dir" << "dflt";
    QTest::newRow("longer name skipped")
        << QStringList{ "--config-dirx=/x", "--config-dir=/b" } << "--config-dir" << "/b";
    QTest::newRow("first decides")
        << QStringList{ "--config-dir=/1", "--config-dir=/2" } << "--config-dir" << "/1";
    QTest::newRow("invalid first decides")
        << QStringList{ "--config-dir=", "--config-dir=/2" } << "--config-dir" << "dflt";
    QTest::newRow("case-sensitive") << QStringList{ "--CONFIG-DIR=/c" } << "--config-dir" << "dflt";
}

void TestAppSettings::argumentLookup()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    TestArgs args(QStringList{ "velm" } + arguments);
    QCoreApplication app(args.argc(), args.argv());
    QCOMPARE(appArgument(name, QStringLiteral("dflt")), expected);
}

void TestAppSettings::numericLookup_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("defaultValue");
    QTest::addColumn<int>("expected");

    QTest::newRow("port missing") << QStringList{} << "--com-listen-port" << -1 << -1;
    QTest::newRow("port") << QStringList{ "--com-listen-port=65534" } << "--com-listen-port" << -1
                          << 65534;
    QTest::newRow("port not a number")
        << QStringList{ "--com-listen-port=12ab" } << "--com-listen-port" << -1 << -1;
    QTest::newRow("port hex is not decimal")
        << QStringList{ "--com-listen-port=0x10" } << "--com-listen-port" << -1 << -1;
    QTest::newRow("turn off") << QStringList{ "--turn=0" } << "--turn" << 1 << 0;
    QTest::newRow("turn two =") << QStringList{ "--turn=0=1" } << "--turn" << 1 << 1;
    QTest::newRow("imgcache first decides")
        << QStringList{ "--imgcache=5", "--imgcache=0" } << "--imgcache" << 1 << 5;
    QTest::newRow("negative") << QStringList{ "--turn=-3" } << "--turn" << 1 << -3;
}

void TestAppSettings::numericLookup()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, name);
    QFETCH(int, defaultValue);
    QFETCH(int, expected);
    TestArgs args(QStringList{ "velm" } + arguments);
    QCoreApplication app(args.argc(), args.argv());
    QCOMPARE(appArgumentInt(name, defaultValue), expected);
}

void TestAppSettings::configDirectory()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.path() + QStringLiteral("/not/yet/there=1");
    TestArgs args({ "velm", "--config-dir=" + dir });
    QCoreApplication app(args.argc(), args.argv());
    QCOMPARE(AppSettings::configDirectory(0), dir);
    QCOMPARE(AppSettings::configDirectory(1), QString());
    {
        AppSettings settings;
        QVERIFY(QFileInfo(dir).isDir());
        QCOMPARE(settings.settings()->fileName(), dir + QStringLiteral("/config.ini"));
    }
}

void TestAppSettings::configDirectoryFallsBackToHome_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("none") << QString();
    QTest::newRow("no =") << QStringLiteral("--config-dir");
    QTest::newRow("empty") << QStringLiteral("--config-dir=");
}

void TestAppSettings::configDirectoryFallsBackToHome()
{
    QFETCH(QString, argument);
    QStringList list{ "velm" };
    if (!argument.isEmpty())
        list << argument;
    TestArgs args(list);
    QCoreApplication app(args.argc(), args.argv());
    QCOMPARE(AppSettings::configDirectory(0), QDir::homePath() + QStringLiteral("/.config/velm"));
}

void TestAppSettings::settingsWrittenWithoutEventLoop()
{
    QTemporaryDir tmp;
    TestArgs args({ "velm", "--config-dir=" + tmp.path() });
    QCoreApplication app(args.argc(), args.argv());
    {
        AppSettings settings;
        settings.settings()->setValue(QStringLiteral("Group/key"), 42);
    }
    // No event loop ran: the value must be on disk all the same.
    QSettings reread(tmp.path() + QStringLiteral("/config.ini"), QSettings::IniFormat);
    QCOMPARE(reread.value(QStringLiteral("Group/key")).toInt(), 42);
}

void TestAppSettings::localNetworkSettings()
{
    QTemporaryDir tmp;
    TestArgs args({ "velm", "--config-dir=" + tmp.path() });
    QCoreApplication app(args.argc(), args.argv());
    {
        AppSettings settings;
        QCOMPARE(settings.lanMulticastGroup(), QStringLiteral("239.255.255.212"));
        QCOMPARE(settings.lanMulticastPort(), quint16(6009));
        QCOMPARE(settings.subnetProbePort(), quint16(80));
        QStringList probes = settings.subnetProbes();
        QCOMPARE(probes.size(), 56);
        QCOMPARE(probes.first(), QStringLiteral("10.0.0.1"));
        QCOMPARE(probes.last(), QStringLiteral("192.168.254.254"));
        QCOMPARE(probes.indexOf(QStringLiteral("192.168.1.200")), 22);
        // Every probe is a private address: none may reach the public net.
        for (const QString& probe : probes) {
            const bool priv = probe.startsWith(QLatin1String("10.")) || probe.startsWith(QLatin1String("192.168."))
                              || probe.startsWith(QLatin1String("172.16."));
            QVERIFY2(priv, qPrintable(probe));
        }
        QCOMPARE(probes.removeDuplicates(), 0);

        settings.settings()->setValue(QStringLiteral("lan/multicastGroup"), QStringLiteral("239.1.2.3"));
        settings.settings()->setValue(QStringLiteral("lan/multicastPort"), 7001);
        settings.settings()->setValue(QStringLiteral("lan/subnetProbes"), QStringList{"127.0.0.2", "127.0.0.3"});
        settings.settings()->setValue(QStringLiteral("lan/subnetProbePort"), 0); // not a port
    }
    AppSettings settings;
    QCOMPARE(settings.lanMulticastGroup(), QStringLiteral("239.1.2.3"));
    QCOMPARE(settings.lanMulticastPort(), quint16(7001));
    QCOMPARE(settings.subnetProbes(), (QStringList{"127.0.0.2", "127.0.0.3"}));
    QCOMPARE(settings.subnetProbePort(), quint16(80));
    // An empty group turns the announcer off; it stays empty.
    settings.settings()->setValue(QStringLiteral("lan/multicastGroup"), QString());
    QCOMPARE(settings.lanMulticastGroup(), QString());
}

QTEST_APPLESS_MAIN(TestAppSettings)
#include "tst_appsettings.moc"
