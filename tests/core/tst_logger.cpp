#include "core/logger.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestLogger : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void channelNames();
    void maskBits();
    void loadWithoutGroupKeepsMask();
    void load_data();
    void load();
    void saveWritesEveryChannel();
    void roundTripThroughFile();

private:
    QTemporaryDir m_dir;
    QString iniPath() const { return m_dir.filePath(QStringLiteral("config.ini")); }
};

void TestLogger::initTestCase()
{
    Logger::initChannels("velm");
    Logger::initChannels("again"); // later calls change nothing
}

void TestLogger::init()
{
    for (int i = 0; i < 32; ++i)
        Logger::disable(i);
    Logger::enable(Logger::ERR1);
    QFile::remove(iniPath());
}

void TestLogger::channelNames()
{
    QCOMPARE(QByteArray(Logger::channelName(0)), QByteArray("NFO1"));
    QCOMPARE(QByteArray(Logger::channelName(2)), QByteArray("ERR1"));
    QCOMPARE(QByteArray(Logger::channelName(16)), QByteArray("DB1"));
    QCOMPARE(QByteArray(Logger::channelName(20)), QByteArray("TURN1"));
    QVERIFY(Logger::channelName(21) == nullptr);
    QVERIFY(Logger::channelName(0xFFFFFFFFu) == nullptr);
    QVERIFY(!Logger::isEnabled(Logger::ERR1)); // output is discarded
    Logger::log(Logger::ERR1, "%s %d", "nothing", 1);
}

void TestLogger::maskBits()
{
    QCOMPARE(Logger::enabledMask(), 1u << 2);
    Logger::enable(34); // modulo 32: bit 2 again
    Logger::enable(20);
    QCOMPARE(Logger::enabledMask(), (1u << 2) | (1u << 20));
    Logger::disable(2);
    QCOMPARE(Logger::enabledMask(), 1u << 20);
}

void TestLogger::loadWithoutGroupKeepsMask()
{
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Other/NFO1"), true);
    Logger::load(&settings);
    QCOMPARE(Logger::enabledMask(), 1u << Logger::ERR1);
}

void TestLogger::load_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<quint32>("expected");

    const quint32 err = 1u << Logger::ERR1;
    QTest::newRow("bool off") << "ERR1" << QVariant(false) << 0u;
    QTest::newRow("string false") << "ERR1" << QVariant(QStringLiteral("false")) << 0u;
    QTest::newRow("string true") << "VCLI" << QVariant(QStringLiteral("true")) << (err | 1u << 11);
    QTest::newRow("number ignored") << "ERR1" << QVariant(0) << err;
    QTest::newRow("list ignored") << "ERR1" << QVariant(QStringList{ "a", "b" }) << err;
    QTest::newRow("unknown key") << "XYZ" << QVariant(true) << err;
    QTest::newRow("FP changes nothing") << "FP" << QVariant(QStringLiteral("stdout")) << err;
}

void TestLogger::load()
{
    QFETCH(QString, key);
    QFETCH(QVariant, value);
    QFETCH(quint32, expected);
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Logger/") + key, value);
    Logger::load(&settings);
    QCOMPARE(Logger::enabledMask(), expected);
}

void TestLogger::saveWritesEveryChannel()
{
    Logger::enable(Logger::DHT1);
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        Logger::save(&settings);
    }
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Logger"));
    QCOMPARE(settings.childKeys().size(), 21);
    QCOMPARE(settings.value(QStringLiteral("ERR1")).toBool(), true);
    QCOMPARE(settings.value(QStringLiteral("DHT1")).toBool(), true);
    QCOMPARE(settings.value(QStringLiteral("DHT2")).toBool(), false);
    QCOMPARE(settings.value(QStringLiteral("NFO1")).toBool(), false);
}

void TestLogger::roundTripThroughFile()
{
    Logger::enable(Logger::TURN1);
    Logger::disable(Logger::ERR1);
    const quint32 saved = Logger::enabledMask();
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        Logger::save(&settings);
    }
    Logger::enable(Logger::ERR1);
    Logger::disable(Logger::TURN1);
    QSettings settings(iniPath(), QSettings::IniFormat);
    Logger::load(&settings);
    QCOMPARE(Logger::enabledMask(), saved);
}

QTEST_APPLESS_MAIN(TestLogger)
#include "tst_logger.moc"
