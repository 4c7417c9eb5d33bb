#include "com/transport/subnetdiscovery.h"
#include "core/appsettings.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

// Every probe goes to loopback addresses of this machine: 127.0.0.2 and
// 127.0.0.3 accept, 127.0.0.4 refuses.
class TestSubnetDiscovery : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reportsEveryAnsweringCandidateInOrder();
    void restartBeginsAgainAtTheFirst();
    void candidatesComeFromTheSettings();

private:
    QList<QHostAddress> found(const QSignalSpy& spy) const;

    std::unique_ptr<QTcpServer> m_first;
    std::unique_ptr<QTcpServer> m_second;
    quint16 m_port = 0;
    const QHostAddress m_open1{QStringLiteral("127.0.0.2")};
    const QHostAddress m_open2{QStringLiteral("127.0.0.3")};
    const QHostAddress m_closed{QStringLiteral("127.0.0.4")};
};

void TestSubnetDiscovery::initTestCase()
{
    qRegisterMetaType<QHostAddress>();
    // Both on one port, as the probes all use one.
    for (int attempt = 0; attempt < 50 && !m_port; ++attempt) {
        m_first.reset(new QTcpServer);
        m_second.reset(new QTcpServer);
        QVERIFY(m_first->listen(m_open1, 0));
        if (m_second->listen(m_open2, m_first->serverPort()))
            m_port = m_first->serverPort();
    }
    QVERIFY(m_port);
}

QList<QHostAddress> TestSubnetDiscovery::found(const QSignalSpy& spy) const
{
    QList<QHostAddress> list;
    for (const QList<QVariant>& args : spy)
        list << args.at(0).value<QHostAddress>();
    return list;
}

void TestSubnetDiscovery::reportsEveryAnsweringCandidateInOrder()
{
    SubnetDiscovery discovery({m_open2, m_closed, m_open1, m_closed}, m_port);
    QSignalSpy spy(&discovery, &SubnetDiscovery::discoveredSubnet);
    QVERIFY(!discovery.isRunning()); // starts on its own, half a second later
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!discovery.isRunning(), 30000);
    QCOMPARE(found(spy), (QList<QHostAddress>{m_open2, m_open1}));
}

void TestSubnetDiscovery::restartBeginsAgainAtTheFirst()
{
    SubnetDiscovery discovery({m_open1, m_closed, m_open2}, m_port);
    QSignalSpy spy(&discovery, &SubnetDiscovery::discoveredSubnet);
    // The run the constructor schedules, to its end.
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!discovery.isRunning(), 30000);
    spy.clear();

    // A restart right after the first find begins again at the first.
    bool restarted = false;
    connect(&discovery, &SubnetDiscovery::discoveredSubnet, &discovery, [&] {
        if (!restarted) {
            restarted = true;
            discovery.startDiscovery();
        }
    });
    discovery.startDiscovery();
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!discovery.isRunning(), 30000);
    QCOMPARE(found(spy), (QList<QHostAddress>{m_open1, m_open1, m_open2}));
}

void TestSubnetDiscovery::candidatesComeFromTheSettings()
{
    {
        AppSettings settings;
        settings.settings()->setValue(QStringLiteral("lan/subnetProbes"),
                                      QStringList{m_closed.toString(), QStringLiteral("not an address"),
                                                  m_open1.toString()});
        settings.settings()->setValue(QStringLiteral("lan/subnetProbePort"), m_port);
    }
    SubnetDiscovery discovery;
    QCOMPARE(discovery.candidates(), (QList<QHostAddress>{m_closed, m_open1}));
    QCOMPARE(discovery.port(), m_port);
    QSignalSpy spy(&discovery, &SubnetDiscovery::discoveredSubnet);
    QTRY_COMPARE_WITH_TIMEOUT(found(spy), (QList<QHostAddress>{m_open1}), 30000);
}

QTEST_MAIN(TestSubnetDiscovery)
#include "tst_subnetdiscovery.moc"
