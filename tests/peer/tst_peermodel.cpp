#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

// A peer with a fixed identity whose supervisor only counts its runs.
class StubPeer : public IPeer
{
    Q_OBJECT
public:
    explicit StubPeer(const QString& uuid) : m_uuid(uuid) {}
    PeerDto identity() const override { return PeerDto{m_uuid, QStringLiteral("velm"), QDateTime()}; }

    int runs = 0;
    QThread* runThread = nullptr;

public slots:
    void testSendTimer()
    {
        ++runs;
        runThread = QThread::currentThread();
    }

private:
    QString m_uuid;
};

const QString own = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
const QString other = QStringLiteral("{5a1e0000-0000-4000-8000-0000000000b1}");

} // namespace

class TestPeerModel : public QObject
{
    Q_OBJECT
private slots:
    void instance();
    void addOnceByUuid();
    void rolesAndNames();
    void lookups();
    void supervisorStartsLater();
    void propertyChangesReachViews();
    void lookupsFromAnotherThread();
};

void TestPeerModel::instance()
{
    QVERIFY(!PeerModel::instance());
    {
        PeerModel model;
        QCOMPARE(PeerModel::instance(), &model);
    }
    QVERIFY(!PeerModel::instance());
}

void TestPeerModel::addOnceByUuid()
{
    PeerModel model;
    auto* a = new StubPeer(other);
    std::unique_ptr<StubPeer> twin(new StubPeer(other));
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QVERIFY(model.addPeer(a));
    QVERIFY(!model.addPeer(a));
    QVERIFY(!model.addPeer(twin.get()));
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(a->parent(), &model);
    QVERIFY(!twin->parent()); // the refused object stays the caller's
}

void TestPeerModel::rolesAndNames()
{
    PeerModel model;
    auto* peer = new StubPeer(other);
    peer->setName(QStringLiteral("Kitchen"));
    peer->setType(QStringLiteral("velm"));
    peer->setIcon(QStringLiteral("dev-laptop"));
    peer->setPlatform(QStringLiteral("linux"));
    peer->setLinkState(IPeer::LinkUp);
    QVERIFY(model.addPeer(peer));
    const QModelIndex i = model.index(0);
    QCOMPARE(model.data(i, PeerModel::NameRole).toString(), QStringLiteral("Kitchen"));
    QCOMPARE(model.data(i, PeerModel::TypeRole).toString(), QStringLiteral("velm"));
    QCOMPARE(model.data(i, PeerModel::LinkStateRole).toInt(), int(IPeer::LinkUp));
    QCOMPARE(model.data(i, PeerModel::PlatformRole).toString(), QStringLiteral("linux"));
    QCOMPARE(model.data(i, PeerModel::IconRole).toString(), QStringLiteral("dev-laptop"));
    QCOMPARE(model.data(i, PeerModel::ObjectRole).value<QObject*>(), static_cast<QObject*>(peer));
    QVERIFY(!model.data(i, PeerModel::UuidRole).isValid());
    QVERIFY(!model.data(i, PeerModel::SizeRole).isValid());
    QVERIFY(!model.data(model.index(1), PeerModel::NameRole).isValid());
    QVERIFY(!model.data(QModelIndex(), PeerModel::NameRole).isValid());

    const QHash<int, QByteArray> names = model.roleNames();
    QCOMPARE(names.size(), 7);
    QVERIFY(!names.contains(PeerModel::SizeRole));
    QCOMPARE(names.value(257), QByteArray("peerName"));
    QCOMPARE(names.value(264), QByteArray("peerUuid"));
}

void TestPeerModel::lookups()
{
    PeerModel model;
    auto* mine = new StubPeer(own);
    auto* theirs = new StubPeer(other);
    QVERIFY(model.addPeer(mine));
    QVERIFY(model.addPeer(theirs));
    QCOMPARE(model.getPeerForUuid(own), mine);
    QCOMPARE(model.getPeerForUuid(other), theirs);
    QVERIFY(!model.getPeerForUuid(QStringLiteral("00000000-0000-0000-0000-000000000000")));
    QCOMPARE(model.getPeerForRow(1), theirs);
    QVERIFY(!model.getPeerForRow(-1));
    QVERIFY(!model.getPeerForRow(2));
}

// The first supervisor run comes later, on the main thread, once per peer
// even in a burst of additions.
void TestPeerModel::supervisorStartsLater()
{
    PeerModel model;
    std::vector<StubPeer*> peers;
    for (int i = 0; i < 5; ++i) {
        peers.push_back(new StubPeer(QStringLiteral("{5a1e0000-0000-4000-8000-%1}").arg(i, 12, 10, QLatin1Char('0'))));
        QVERIFY(model.addPeer(peers.back()));
    }
    QCOMPARE(peers.front()->runs, 0);
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(peers.begin(), peers.end(), [](StubPeer* p) { return p->runs == 1; }),
                             20000);
    for (StubPeer* p : peers)
        QCOMPARE(p->runThread, QThread::currentThread());
}

void TestPeerModel::propertyChangesReachViews()
{
    PeerModel model;
    auto* a = new StubPeer(own);
    auto* b = new StubPeer(other);
    QVERIFY(model.addPeer(a));
    QVERIFY(model.addPeer(b));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    // Set from another thread, as the link code does.
    std::unique_ptr<QThread> io(QThread::create([b] { b->setLinkState(IPeer::LinkUp); }));
    io->start();
    QVERIFY(io->wait(10000));
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 10000);
    QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
    QCOMPARE(changed.at(0).at(2).value<QVector<int>>(), QVector<int>{PeerModel::LinkStateRole});
    b->setName(QStringLiteral("x"));
    QCOMPARE(changed.count(), 2);
}

// The io thread looks peers up while the main thread adds them.
void TestPeerModel::lookupsFromAnotherThread()
{
    PeerModel model;
    std::atomic<bool> stop{false};
    std::atomic<int> found{0};
    std::unique_ptr<QThread> io(QThread::create([&] {
        while (!stop.load()) {
            if (model.getPeerForUuid(other))
                ++found;
        }
    }));
    io->start();
    for (int i = 0; i < 500; ++i)
        QVERIFY(model.addPeer(new StubPeer(QStringLiteral("{5a1e0001-0000-4000-8000-%1}").arg(i, 12, 10, QLatin1Char('0')))));
    QVERIFY(model.addPeer(new StubPeer(other)));
    QTRY_VERIFY_WITH_TIMEOUT(found.load() > 0, 10000);
    stop = true;
    QVERIFY(io->wait(10000));
}

QTEST_GUILESS_MAIN(TestPeerModel)
#include "tst_peermodel.moc"
