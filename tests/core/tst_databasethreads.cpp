#include "core/databasesqlite.h"

#include <QRunnable>
#include <QSet>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const QString peerA = QStringLiteral("{a1a1a1a1-b1b1-4c1c-8d1d-e1e1e1e1e1e1}");
const QString sector = QStringLiteral("{5ec70001-0000-4000-8000-000000000001}");

QString uuid(int n, int group = 0)
{
    return QStringLiteral("{%1-0000-4000-8000-%2}")
        .arg(group, 8, 16, QLatin1Char('0'))
        .arg(n, 12, 16, QLatin1Char('0'));
}

VNodeDto node(const QString& uuid)
{
    return {uuid, peerA, sector, "n", "s", "/p", "dir", "folder", 7, 1.5, 2.5};
}

// The connections of one store, found by the suffix its names share.
QStringList connectionsOf(DatabaseSqlite& db)
{
    const QString name = db.connectionName();
    const QString suffix = name.mid(name.lastIndexOf(QLatin1Char('_')));
    QStringList out;
    for (const QString& n : QSqlDatabase::connectionNames())
        if (n.startsWith(QLatin1String("db")) && n.endsWith(suffix))
            out << n;
    out.sort();
    return out;
}

QString threadPrefix(QThread* thread)
{
    return QStringLiteral("db") + QString::number(quintptr(thread), 16) + QLatin1Char('_');
}

// Runs a function on a thread of its own and waits for the thread to end.
template<typename F> void runOnNewThread(F f)
{
    std::unique_ptr<QThread> thread(QThread::create(f));
    thread->start();
    thread->wait();
}

class Receiver : public QObject
{
    Q_OBJECT
public:
    std::atomic<int> calls{0};
    QThread* calledOn = nullptr;
    PeerDto peer;
    TransportDto transport;

public slots:
    void onAddedPeer(const PeerDto& dto)
    {
        peer = dto;
        calledOn = QThread::currentThread();
        ++calls;
    }
    void onAddedTransport(const Uuid&, const TransportDto& dto)
    {
        transport = dto;
        calledOn = QThread::currentThread();
        ++calls;
    }
};

} // namespace

class TestDatabaseThreads : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void connectionPerThread();
    void workerWriteReachesMainThreadQueued();
    void mainWriteReachesWorkerThreadQueued();
    void cascadesOnEveryThread();
    void poolThreadChurn();
    void concurrentWriters();
    void destroyingStoreRemovesConnections();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QScopedPointer<DatabaseSqlite> m_db;
};

void TestDatabaseThreads::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_db.reset(new DatabaseSqlite(m_dir->filePath(QStringLiteral("velm.db"))));
    QVERIFY(m_db->putPeer({peerA, QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(1700000000)}));
    QVERIFY(m_db->putVSector({sector, QStringLiteral("Home"), 0, 0, 10, 10}));
}

void TestDatabaseThreads::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

void TestDatabaseThreads::connectionPerThread()
{
    const QString mainName = m_db->connectionName();
    QVERIFY(mainName.startsWith(threadPrefix(QThread::currentThread())));
    QCOMPARE(connectionsOf(*m_db), QStringList{mainName});

    QString workerName;
    QStringList whileRunning;
    bool ok = false;
    QThread* worker = nullptr;
    runOnNewThread([&] {
        worker = QThread::currentThread();
        ok = m_db->putVNode(node(uuid(1)));
        workerName = m_db->connectionName();
        whileRunning = connectionsOf(*m_db);
    });
    QVERIFY(ok);
    QVERIFY(workerName.startsWith(threadPrefix(worker)));
    QVERIFY(workerName != mainName);
    QStringList both{mainName, workerName};
    both.sort();
    QCOMPARE(whileRunning, both);
    // Gone with its thread.
    QCOMPARE(connectionsOf(*m_db), QStringList{mainName});
    QCOMPARE(int(m_db->getVNodes(sector).size()), 1);
}

// A write on a worker is read on the main thread, and its signal reaches a
// main-thread receiver through the event loop, not on the worker.
void TestDatabaseThreads::workerWriteReachesMainThreadQueued()
{
    Receiver receiver;
    connect(m_db.data(), &IDatabase::addedPeer, &receiver, &Receiver::onAddedPeer);
    connect(m_db.data(), &IDatabase::addedPeerTransport, &receiver, &Receiver::onAddedTransport);

    const QString peerB = QStringLiteral("{b2b2b2b2-0000-4000-8000-000000000002}");
    const TransportDto tcp{uuid(5), "tcp", "10.1.2.3", 60391, 1700000000, true};
    bool ok = false;
    runOnNewThread([&] {
        ok = m_db->putPeer({peerB.toUpper(), QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(5)})
             && m_db->putTransport(peerB, tcp);
    });
    QVERIFY(ok);
    QCOMPARE(receiver.calls.load(), 0); // queued, not called on the worker

    QCOMPARE(int(m_db->getPeers(QStringLiteral("velm")).size()), 2);
    QCOMPARE(m_db->getTransports(peerB), std::vector<TransportDto>{tcp});

    QTRY_COMPARE_WITH_TIMEOUT(receiver.calls.load(), 2, 10000);
    QCOMPARE(receiver.calledOn, QThread::currentThread());
    QCOMPARE(receiver.peer.uuid, peerB);
    QCOMPARE(receiver.transport, tcp);
}

void TestDatabaseThreads::mainWriteReachesWorkerThreadQueued()
{
    QThread thread;
    Receiver receiver;
    receiver.moveToThread(&thread);
    connect(m_db.data(), &IDatabase::addedPeer, &receiver, &Receiver::onAddedPeer);
    thread.start();

    const PeerDto peerC{QStringLiteral("{c3c3c3c3-0000-4000-8000-000000000003}"), QStringLiteral("velm"),
                        QDateTime::fromSecsSinceEpoch(7)};
    QVERIFY(m_db->putPeer(peerC));
    QTRY_COMPARE_WITH_TIMEOUT(receiver.calls.load(), 1, 10000);
    thread.quit();
    thread.wait();
    QCOMPARE(receiver.calledOn, &thread);
    QCOMPARE(receiver.peer, peerC);
}

// Foreign keys hold on every thread's connection: rows written on one
// thread go with their peer or sector when it is deleted on another.
void TestDatabaseThreads::cascadesOnEveryThread()
{
    const QString peerD = QStringLiteral("{d4d4d4d4-0000-4000-8000-000000000004}");
    bool written = false;
    runOnNewThread([&] {
        IDatabase& db = *m_db;
        written = db.putPeer({peerD, QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(1)})
                  && db.putPeerAttribute(peerD, {uuid(1), "name", "d", 1})
                  && db.putAcl(peerD, {uuid(2), "Music", "/m", 1, QDateTime::fromSecsSinceEpoch(1)})
                  && db.putTransport(peerD, {uuid(3), "tcp", "10.0.0.4", 1, 1, true})
                  && db.putCryptoKey(peerD, {uuid(4), QByteArray(32, 'k'), "pk", QDateTime::fromSecsSinceEpoch(1)})
                  && db.putImage({uuid(5), peerD, "/x.png", 8, 8, 1, QDateTime::currentMSecsSinceEpoch(), "png"})
                  && db.putVNode({uuid(6), peerD, sector, "n", "s", "/", "", "", 0, 0, 0})
                  && db.putVNode(node(uuid(7)));
    });
    QVERIFY(written);
    QCOMPARE(int(m_db->getVNodes(sector).size()), 2);

    bool deleted = false;
    int foreignKeys = -1;
    runOnNewThread([&] {
        QSqlQuery q(m_db->connection());
        foreignKeys = q.exec(QStringLiteral("PRAGMA foreign_keys")) && q.next() ? q.value(0).toInt() : -1;
        q.finish();
        q.prepare(QStringLiteral("DELETE FROM peers WHERE peer_uuid = :u"));
        q.bindValue(QStringLiteral(":u"), peerD);
        deleted = q.exec() && q.numRowsAffected() == 1;
    });
    QCOMPARE(foreignKeys, 1);
    QVERIFY(deleted);
    QVERIFY(m_db->getPeerAttributes(peerD, {}).empty());
    QVERIFY(m_db->getAcls(peerD).empty());
    QVERIFY(m_db->getTransports(peerD).empty());
    QVERIFY(m_db->getCryptoKeys(peerD).empty());
    QVERIFY(m_db->getImages(peerD, QStringLiteral("/x.png"), 1, 1024).empty());
    QCOMPARE(m_db->getVNodes(sector), std::vector<VNodeDto>{node(uuid(7))});

    bool sectorDeleted = false;
    runOnNewThread([&] { sectorDeleted = m_db->deleteVSector(sector); });
    QVERIFY(sectorDeleted);
    QVERIFY(m_db->getVNodes(sector).empty());
}

// Short-lived pool threads, one after another: every write lands, and no
// thread leaves its connection behind, also when a new thread gets the
// address of one that has finished.
void TestDatabaseThreads::poolThreadChurn()
{
    const int writes = 200;
    QThreadPool pool;
    pool.setExpiryTimeout(0);
    std::atomic<int> failures{0};
    QSet<quintptr> addresses;
    int reused = 0;
    for (int i = 0; i < writes; ++i) {
        quintptr address = 0;
        pool.start(QRunnable::create([&, i] {
            address = quintptr(QThread::currentThread());
            if (!m_db->putVNode(node(uuid(i + 1))) || m_db->getVNodes(sector).size() != size_t(i + 1))
                ++failures;
        }));
        QVERIFY(pool.waitForDone(30000)); // also ends and deletes the pool's threads
        if (addresses.contains(address))
            ++reused;
        addresses.insert(address);
    }
    qInfo("%d writes on %d thread addresses (%d reused)", writes, int(addresses.size()), reused);
    QCOMPARE(failures.load(), 0);
    QCOMPARE(int(m_db->getVNodes(sector).size()), writes);
    QCOMPARE(connectionsOf(*m_db), QStringList{m_db->connectionName()});
}

// Writers on several threads at once wait for each other; none is lost.
void TestDatabaseThreads::concurrentWriters()
{
    const int threads = 8;
    const int perThread = 40;
    QThreadPool pool;
    pool.setMaxThreadCount(threads);
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        pool.start(QRunnable::create([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const int n = t * perThread + i + 1;
                const QString peer = uuid(n, 0xbeef);
                bool ok = m_db->putVNode(node(uuid(n)))
                          && m_db->putTransport(peerA, {uuid(n, 0x7a), "udp", "10.0.0.1", quint16(n), 1, false})
                          && m_db->putPeer({peer, QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(n)})
                          && m_db->putAcl(peer, {uuid(n, 0xac1), "x", "/x", 1, QDateTime::fromSecsSinceEpoch(n)})
                          && m_db->getAcls(peer).size() == 1;
                if (!ok)
                    ++failures;
            }
        }));
    }
    QVERIFY(pool.waitForDone(60000));
    QCOMPARE(failures.load(), 0);
    QCOMPARE(int(m_db->getVNodes(sector).size()), threads * perThread);
    QCOMPARE(int(m_db->getTransports(peerA).size()), threads * perThread);
    QCOMPARE(int(m_db->getPeers(QStringLiteral("velm")).size()), threads * perThread + 1);
    QCOMPARE(connectionsOf(*m_db), QStringList{m_db->connectionName()});
}

// A store that goes while a thread that used it still runs takes that
// thread's connection with it; the thread can use a new store, and ends
// cleanly.
void TestDatabaseThreads::destroyingStoreRemovesConnections()
{
    QThread thread;
    QObject context;
    context.moveToThread(&thread);
    thread.start();
    auto onThread = [&](auto f) {
        QMetaObject::invokeMethod(&context, f, Qt::BlockingQueuedConnection);
    };

    bool ok = false;
    onThread([&] { ok = m_db->putVNode(node(uuid(1))); });
    QVERIFY(ok);
    QCOMPARE(connectionsOf(*m_db).size(), 2);
    const QString oldName = m_db->connectionName();
    const QString oldSuffix = oldName.mid(oldName.lastIndexOf(QLatin1Char('_')));
    m_db.reset();
    for (const QString& name : QSqlDatabase::connectionNames())
        QVERIFY2(!name.endsWith(oldSuffix), qPrintable(name));
    QVERIFY(!QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)));

    m_db.reset(new DatabaseSqlite(m_dir->filePath(QStringLiteral("velm.db"))));
    QVERIFY(QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection)));
    size_t seen = 0;
    onThread([&] { seen = m_db->getVNodes(sector).size(); });
    QCOMPARE(seen, size_t(1));
    QCOMPARE(connectionsOf(*m_db).size(), 2);
    thread.quit();
    thread.wait();
    QCOMPARE(connectionsOf(*m_db), QStringList{m_db->connectionName()});
}

QTEST_GUILESS_MAIN(TestDatabaseThreads)
#include "tst_databasethreads.moc"
