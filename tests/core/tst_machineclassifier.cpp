#include "core/machineclassifier.h"

#include <QHostAddress>
#include <QtTest>

class TestMachineClassifier : public QObject
{
    Q_OBJECT
private slots:
    void classifyBrand_data();
    void classifyBrand();
    void instanceLifetime();
    void privateAddress_data();
    void privateAddress();
};

void TestMachineClassifier::classifyBrand_data()
{
    QTest::addColumn<QByteArray>("brand");
    QTest::addColumn<quint32>("expected");

    QTest::newRow("laptop") << QByteArray("Intel(R) Core(TM) i7-2620M CPU @ 2.70GHz") << 1u;
    QTest::newRow("desktop") << QByteArray("Intel(R) Core(TM) i7-2600K CPU @ 3.40GHz") << 2u;
    QTest::newRow("first row") << QByteArray("Intel(R) Core(TM) i7-6770HQ CPU @ 2.60GHz") << 2u;
    QTest::newRow("last row") << QByteArray("Intel(R) Core(TM) i5-2520M CPU @ 2.50GHz") << 1u;
    QTest::newRow("2600 without K") << QByteArray("Intel(R) Core(TM) i7-2600 CPU @ 3.40GHz") << 3u;
    QTest::newRow("no trailing blank") << QByteArray("Intel(R) Core(TM) i7-2620M") << 3u;
    QTest::newRow("other vendor") << QByteArray("AMD Ryzen 7 5800X 8-Core Processor") << 3u;
    QTest::newRow("empty") << QByteArray("") << 3u;
    QTest::newRow("case-sensitive") << QByteArray("Intel I7-2620M CPU") << 3u;
}

void TestMachineClassifier::classifyBrand()
{
    QFETCH(QByteArray, brand);
    QFETCH(quint32, expected);
    QCOMPARE(MachineClassifier::classifyBrand(brand.constData()), expected);
}

void TestMachineClassifier::instanceLifetime()
{
    QVERIFY(MachineClassifier::instance() == nullptr);
    {
        MachineClassifier classifier;
        QCOMPARE(MachineClassifier::instance(), &classifier);
        const quint32 first = classifier.detect();
        QVERIFY(first >= 1 && first <= 3);
        QCOMPARE(classifier.detect(), first);
        QVERIFY(!classifier.isSystemSleeping());
    }
    QVERIFY(MachineClassifier::instance() == nullptr);
}

void TestMachineClassifier::privateAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("expected");

    QTest::newRow("172.31.255.255") << "172.31.255.255" << true;
    QTest::newRow("172.16.0.0") << "172.16.0.0" << true;
    QTest::newRow("172.15.255.255") << "172.15.255.255" << false;
    QTest::newRow("172.32.0.0") << "172.32.0.0" << false;
    QTest::newRow("127.1.2.3") << "127.1.2.3" << true;
    QTest::newRow("10.255.0.1") << "10.255.0.1" << true;
    QTest::newRow("11.0.0.1") << "11.0.0.1" << false;
    QTest::newRow("192.168.1.1") << "192.168.1.1" << true;
    QTest::newRow("192.169.0.1") << "192.169.0.1" << false;
    QTest::newRow("169.254.1.1") << "169.254.1.1" << false;
    QTest::newRow("100.64.0.1") << "100.64.0.1" << false;
    QTest::newRow("8.8.8.8") << "8.8.8.8" << false;
}

void TestMachineClassifier::privateAddress()
{
    QFETCH(QString, address);
    QFETCH(bool, expected);
    QCOMPARE(isPrivateIPv4Address(QHostAddress(address).toIPv4Address()), expected);
}

QTEST_APPLESS_MAIN(TestMachineClassifier)
#include "tst_machineclassifier.moc"
