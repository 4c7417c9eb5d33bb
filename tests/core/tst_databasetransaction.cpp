#include "core/databasesqlite.h"
#include "core/databasetransaction.h"
#include "core/rawdatabase.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString p1 = QStringLiteral("{a1a1a1a1-b1b1-4c1c-8d1d-e1e1e1e1e1e1}");
const QString k1 = QStringLiteral("{0000aaaa-0000-4000-8000-000000000001}");
const QDateTime t1 = QDateTime::fromSecsSinceEpoch(1700000000);

} // namespace

class TestDatabaseTransaction : public QObject
{
    Q_OBJECT
private slots:
    void transaction_data();
    void transaction();
};

// Writes inside a transaction land together or not at all; their change
// signals come at the commit, never before, and not at all after a rollback.
// steps: "begin", "peer", "key", "commit", "rollback", "fail" (a write that
// fails: a key for a peer that does not exist).
void TestDatabaseTransaction::transaction_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("committed"); // what the last commit returned
    QTest::addColumn<int>("peers");      // rows afterwards
    QTest::addColumn<int>("keys");

    QTest::newRow("commit") << QStringList{"begin", "peer", "key", "commit"} << true << 1 << 1;
    QTest::newRow("rollback") << QStringList{"begin", "peer", "key", "rollback"} << false << 0 << 0;
    QTest::newRow("guard ends without commit") << QStringList{"guard", "peer", "key", "end"} << false << 0 << 0;
    QTest::newRow("guard commits") << QStringList{"guard", "peer", "key", "guardcommit", "end"} << true << 1 << 1;
    QTest::newRow("nested commits") << QStringList{"begin", "peer", "begin", "key", "commit", "commit"} << true << 1
                                    << 1;
    QTest::newRow("inner rollback dooms the whole")
        << QStringList{"begin", "peer", "begin", "key", "rollback", "commit"} << false << 0 << 0;
    QTest::newRow("failed write, caller rolls back") << QStringList{"begin", "fail", "rollback"} << false << 0 << 0;
    QTest::newRow("no transaction") << QStringList{"peer", "key"} << false << 1 << 1;
}

void TestDatabaseTransaction::transaction()
{
    QFETCH(QStringList, steps);
    QFETCH(bool, committed);
    QFETCH(int, peers);
    QFETCH(int, keys);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("velm.db"));
    DatabaseSqlite db(path);
    QVERIFY(db.openError().isEmpty());
    RawDatabase raw(path);
    QSignalSpy peerAdded(&db, &IDatabase::addedPeer);
    QSignalSpy keyAdded(&db, &IDatabase::addedPeerCryptoKey);
    std::unique_ptr<DatabaseTransaction> guard;
    bool lastCommit = false;
    int depth = 0;
    for (const QString& step : steps) {
        if (step == QLatin1String("begin")) {
            QVERIFY(db.beginTransaction());
            ++depth;
        } else if (step == QLatin1String("guard")) {
            guard.reset(new DatabaseTransaction(&db));
            QVERIFY(guard->isActive());
            ++depth;
        } else if (step == QLatin1String("guardcommit")) {
            lastCommit = guard->commit();
            --depth;
        } else if (step == QLatin1String("end")) {
            guard.reset();
            depth = 0;
        } else if (step == QLatin1String("peer")) {
            QVERIFY(db.putPeer({p1, QStringLiteral("velm"), t1}));
        } else if (step == QLatin1String("key")) {
            QVERIFY(db.putCryptoKey(p1, {k1, QByteArray(32, 'k'), QStringLiteral("pk"), t1}));
        } else if (step == QLatin1String("fail")) {
            QVERIFY(!db.putCryptoKey(p1, {k1, QByteArray(32, 'k'), QStringLiteral("pk"), t1}));
        } else if (step == QLatin1String("commit")) {
            lastCommit = db.commitTransaction();
            --depth;
        } else if (step == QLatin1String("rollback")) {
            QVERIFY(db.rollbackTransaction());
            --depth;
        }
        // Nothing is announced while a transaction is open, and another
        // connection sees none of its rows.
        if (depth > 0) {
            QCOMPARE(peerAdded.count(), 0);
            QCOMPARE(raw.value(QStringLiteral("SELECT count(*) FROM peers")).toInt(), 0);
        }
    }
    if (steps.contains(QLatin1String("commit")) || steps.contains(QLatin1String("guardcommit")))
        QCOMPARE(lastCommit, committed);
    QCOMPARE(raw.value(QStringLiteral("SELECT count(*) FROM peers")).toInt(), peers);
    QCOMPARE(raw.value(QStringLiteral("SELECT count(*) FROM peer_cryptokeys")).toInt(), keys);
    QCOMPARE(peerAdded.count(), peers);
    QCOMPARE(keyAdded.count(), keys);
    // The connection is usable again afterwards: a new transaction commits.
    QVERIFY(db.beginTransaction());
    QVERIFY(db.commitTransaction());
}

QTEST_GUILESS_MAIN(TestDatabaseTransaction)
#include "tst_databasetransaction.moc"
