#include "peer/ipeer.h"

#include <QAbstractItemModel>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>

class TestIPeer : public QObject
{
    Q_OBJECT
private slots:
    void freshPeer();
    void settersEmitOncePerChange_data();
    void settersEmitOncePerChange();
    void compareAndSetLinkState();
    void concurrentSettersEmitOnce();
    void builtOnAnotherThread();
};

void TestIPeer::freshPeer()
{
    IPeer peer;
    QCOMPARE(peer.linkState(), IPeer::LinkDown);
    QCOMPARE(peer.deviceType(), IPeer::DeviceUnknown);
    QVERIFY(peer.id().isEmpty() && peer.name().isEmpty() && peer.displayName().isEmpty());
    QVERIFY(peer.icon().isEmpty() && peer.type().isEmpty() && peer.platform().isEmpty());
    QVERIFY(!peer.display());
    QCOMPARE(peer.activeDisplay(), 0);
    QVERIFY(peer.uuid().isEmpty());
    QVERIFY(peer.vfsDriveModel());
    QVERIFY(peer.vfsFileSystemModel());
    QVERIFY(!peer.vfsClient());
}

using Setter = std::function<void(IPeer&, int)>;
Q_DECLARE_METATYPE(Setter)

void TestIPeer::settersEmitOncePerChange_data()
{
    QTest::addColumn<Setter>("set");
    QTest::addColumn<QByteArray>("signal");
    auto text = [](void (IPeer::*setter)(const QString&)) {
        return Setter([setter](IPeer& p, int v) { (p.*setter)(QString::number(v)); });
    };
    QTest::newRow("id") << text(&IPeer::setId) << QByteArray(SIGNAL(idChanged()));
    QTest::newRow("displayName") << text(&IPeer::setDisplayName) << QByteArray(SIGNAL(displayNameChanged()));
    QTest::newRow("icon") << text(&IPeer::setIcon) << QByteArray(SIGNAL(iconChanged()));
    QTest::newRow("name") << text(&IPeer::setName) << QByteArray(SIGNAL(nameChanged()));
    QTest::newRow("type") << text(&IPeer::setType) << QByteArray(SIGNAL(typeChanged()));
    QTest::newRow("platform") << text(&IPeer::setPlatform) << QByteArray(SIGNAL(platformChanged()));
    QTest::newRow("display") << Setter([](IPeer& p, int v) { p.setDisplay(v % 2); })
                             << QByteArray(SIGNAL(displayChanged()));
    QTest::newRow("linkState") << Setter([](IPeer& p, int v) { p.setLinkState(IPeer::LinkState(v % 4)); })
                               << QByteArray(SIGNAL(linkStateChanged()));
    QTest::newRow("deviceType") << Setter([](IPeer& p, int v) { p.setDeviceType(IPeer::DeviceType(v % 3)); })
                                << QByteArray(SIGNAL(deviceTypeChanged()));
    QTest::newRow("activeDisplay") << Setter([](IPeer& p, int v) { p.setActiveDisplay(v); })
                                   << QByteArray(SIGNAL(activeDisplayChanged()));
}

// 1, 1, 2, 2, 1: three changes, three signals; a repeated value is silent.
void TestIPeer::settersEmitOncePerChange()
{
    QFETCH(Setter, set);
    QFETCH(QByteArray, signal);
    IPeer peer;
    QSignalSpy spy(&peer, signal.constData());
    for (int v : {1, 1, 2, 2, 1})
        set(peer, v);
    QCOMPARE(spy.count(), 3);
}

void TestIPeer::compareAndSetLinkState()
{
    IPeer peer;
    QSignalSpy spy(&peer, &IPeer::linkStateChanged);
    QVERIFY(!peer.compareAndSetLinkState(IPeer::LinkUp, IPeer::LinkDown));
    QCOMPARE(spy.count(), 0);
    QVERIFY(peer.compareAndSetLinkState(IPeer::LinkDown, IPeer::LinkConnecting));
    QCOMPARE(peer.linkState(), IPeer::LinkConnecting);
    QCOMPARE(spy.count(), 1);
    QVERIFY(peer.compareAndSetLinkState(IPeer::LinkConnecting, IPeer::LinkConnecting));
    QCOMPARE(spy.count(), 1);
}

// Two threads setting the same new value: the change is announced once.
void TestIPeer::concurrentSettersEmitOnce()
{
    for (int round = 0; round < 200; ++round) {
        IPeer peer;
        std::atomic<int> emitted{0};
        connect(&peer, &IPeer::nameChanged, &peer, [&] { ++emitted; }, Qt::DirectConnection);
        const QString value = QString::number(round);
        std::unique_ptr<QThread> a(QThread::create([&] { peer.setName(value); }));
        std::unique_ptr<QThread> b(QThread::create([&] { peer.setName(value); }));
        a->start();
        b->start();
        QVERIFY(a->wait(10000) && b->wait(10000));
        QCOMPARE(emitted.load(), 1);
    }
}

void TestIPeer::builtOnAnotherThread()
{
    IPeer* peer = nullptr;
    std::unique_ptr<QThread> worker(QThread::create([&] { peer = new IPeer; }));
    worker->start();
    QVERIFY(worker->wait(10000));
    std::unique_ptr<IPeer> owned(peer);
    QCOMPARE(peer->vfsDriveModel()->thread(), QCoreApplication::instance()->thread());
    QCOMPARE(peer->vfsFileSystemModel()->thread(), QCoreApplication::instance()->thread());
}

QTEST_GUILESS_MAIN(TestIPeer)
#include "tst_ipeer.moc"
