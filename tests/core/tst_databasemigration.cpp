#include "core/databasesqlite.h"
#include "core/rawdatabase.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString ownPeer = QStringLiteral("{00000000-0000-0000-0000-000000000000}");

QStringList sixteenTables()
{
    QStringList t = {"app_filetypes", "apps",         "authorization",   "club_members",
                     "clubs",         "filetypes",    "imgcache",        "invitation",
                     "peer_acl",      "peer_attributes2", "peer_cryptokeys", "peers",
                     "subnets",       "transports",   "vnodes2",         "vsectors2"};
    t.sort();
    return t;
}

const QString tablesQuery = QStringLiteral(
    "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");

} // namespace

class TestDatabaseMigration : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void freshDirectory();
    void secondStartChangesNothing();
    void purgeBoundaries();
    void ownPeerJoinsAdmin();
    void olderSchema();
    void olderSchemaSecondStartChangesNothing();
    void failingStep_data();
    void failingStep();
    void failedCleanupCarriesOn_data();
    void failedCleanupCarriesOn();
    void unopenableFile();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("velm.db")); }
    void writeOlderSchema();

    QScopedPointer<QTemporaryDir> m_dir;
};

void TestDatabaseMigration::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void TestDatabaseMigration::freshDirectory()
{
    DatabaseSqlite db(dbPath());
    QVERIFY(db.init()); // the constructor ran it once already

    RawDatabase raw(dbPath());
    QCOMPARE(raw.column(tablesQuery), sixteenTables());
    QCOMPARE(raw.value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    QCOMPARE(raw.column(QStringLiteral("SELECT name || ':' || flags FROM clubs")),
             QStringList{QStringLiteral("Admin:3")});
    // The columns added in later versions are part of a new table.
    QCOMPARE(raw.column(QStringLiteral("SELECT name FROM pragma_table_info('vnodes2') "
                                       "WHERE name IN ('type', 'icon', 'fileid') ORDER BY name")),
             (QStringList{"fileid", "icon", "type"}));
    // Both the store's connection and Qt's default connection enforce
    // foreign keys and run with synchronous NORMAL.
    for (QSqlDatabase c : {db.connection(), QSqlDatabase::database()}) {
        QSqlQuery q(c);
        QVERIFY(q.exec(QStringLiteral("SELECT * FROM pragma_foreign_keys, pragma_synchronous")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 1);
        QCOMPARE(q.value(1).toInt(), 1);
    }
}

void TestDatabaseMigration::secondStartChangesNothing()
{
    QString first;
    {
        DatabaseSqlite db(dbPath());
        PeerDto peer{QStringLiteral("{5a1e0000-0000-4000-8000-000000000001}"), QStringLiteral("velm"),
                     QDateTime::fromSecsSinceEpoch(1700000000)};
        QVERIFY(db.putPeer(peer));
        first = RawDatabase(dbPath()).dump();
    }
    {
        DatabaseSqlite db(dbPath());
        QVERIFY(db.init());
    }
    const QString second = RawDatabase(dbPath()).dump();
    QCOMPARE(second, first);
    QCOMPARE(RawDatabase(dbPath()).value(QStringLiteral("SELECT count(*) FROM clubs")).toInt(), 1);
}

void TestDatabaseMigration::purgeBoundaries()
{
    const QString peer = QStringLiteral("{5a1e0000-0000-4000-8000-000000000002}");
    {
        DatabaseSqlite db(dbPath());
        QVERIFY(db.putPeer({peer, QStringLiteral("velm"), QDateTime::currentDateTime()}));
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        const qint64 hourMs = 3600 * 1000;
        auto image = [&](const char* uuid, qint64 atime) {
            return ImageCacheDto{QLatin1String(uuid), peer, QStringLiteral("/a.png"), 16, 16, 1, atime,
                                 QByteArray("png")};
        };
        QVERIFY(db.putImage(image("{00000000-0000-4000-8000-00000000049a}", nowMs - 49 * hourMs)));
        QVERIFY(db.putImage(image("{00000000-0000-4000-8000-00000000047a}", nowMs - 47 * hourMs)));

        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 day = 24 * 3600;
        auto transport = [&](const char* uuid, const char* type, qint64 age) {
            return TransportDto{QLatin1String(uuid), QLatin1String(type), QStringLiteral("10.0.0.1"),
                                60391, now - age, false};
        };
        QVERIFY(db.putTransport(peer, transport("{00000000-0000-4000-8000-0000000000a8}", "udp", 8 * day)));
        QVERIFY(db.putTransport(peer, transport("{00000000-0000-4000-8000-0000000000a6}", "udp", 6 * day)));
        QVERIFY(db.putTransport(peer, transport("{00000000-0000-4000-8000-0000000000b8}", "tcp", 8 * day)));
        QVERIFY(db.putTransport(peer, transport("{00000000-0000-4000-8000-0000000000c8}", "onion", 30 * day)));
    }
    DatabaseSqlite db(dbPath());
    RawDatabase raw(dbPath());
    QCOMPARE(raw.column(QStringLiteral("SELECT img_uuid FROM imgcache")),
             QStringList{QStringLiteral("{00000000-0000-4000-8000-00000000047a}")});
    QCOMPARE(raw.column(QStringLiteral("SELECT transport_uuid FROM transports ORDER BY 1")),
             (QStringList{"{00000000-0000-4000-8000-0000000000a6}",
                          "{00000000-0000-4000-8000-0000000000b8}",
                          "{00000000-0000-4000-8000-0000000000c8}"}));
}

void TestDatabaseMigration::ownPeerJoinsAdmin()
{
    {
        DatabaseSqlite db(dbPath());
        QCOMPARE(RawDatabase(dbPath()).value(QStringLiteral("SELECT count(*) FROM club_members")).toInt(), 0);
        QVERIFY(db.putPeer({ownPeer, QStringLiteral("velm"), QDateTime::currentDateTime()}));
    }
    DatabaseSqlite db(dbPath());
    QCOMPARE(RawDatabase(dbPath()).column(QStringLiteral(
                 "SELECT clubs.name || ' ' || club_members.peer_uuid FROM club_members "
                 "JOIN clubs ON clubs.id = club_members.club_id")),
             QStringList{QStringLiteral("Admin ") + ownPeer});
}

#define PEER_FK "FOREIGN KEY (peer_uuid) REFERENCES peers (peer_uuid) ON DELETE CASCADE ON UPDATE CASCADE"

// A file as an earlier version left it: tables since retired, vnodes2
// without its later columns, UUIDs in other spellings (one peer stored
// twice), rows whose peer or sector is gone (written by connections that
// did not enforce foreign keys), and leftovers of the tables that start
// empty.
void TestDatabaseMigration::writeOlderSchema()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    RawDatabase raw(dbPath());
    const QString error = raw.exec({
        "CREATE TABLE contacts (id INTEGER PRIMARY KEY, name TEXT)",
        "CREATE TABLE contact_hosts (id INTEGER PRIMARY KEY, host TEXT)",
        "CREATE TABLE cryptokeys (id INTEGER PRIMARY KEY, key BLOB)",
        "CREATE TABLE peer_attributes (id INTEGER PRIMARY KEY, value TEXT)",
        "CREATE TABLE vnodes (id INTEGER PRIMARY KEY)",
        "CREATE TABLE vsectors (id INTEGER PRIMARY KEY)",
        "CREATE TABLE subnets (id INTEGER PRIMARY KEY, net TEXT NOT NULL, lastseen INTEGER NOT NULL)",
        "INSERT INTO subnets (net, lastseen) VALUES ('10.0.0.0/8', 1)",
        "INSERT INTO contacts (name) VALUES ('old')",
        "CREATE TABLE peers (peer_uuid TEXT PRIMARY KEY, type TEXT NOT NULL, timestamp INTEGER NOT NULL)",
        "CREATE TABLE peer_cryptokeys (key_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, "
        "key TEXT NOT NULL, type TEXT NOT NULL, timestamp INTEGER NOT NULL, " PEER_FK ")",
        "CREATE TABLE transports (transport_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, "
        "type TEXT NOT NULL, host TEXT NOT NULL, port INTEGER NOT NULL, timestamp INTEGER NOT NULL, "
        PEER_FK ")",
        "CREATE TABLE peer_acl (acl_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, name TEXT NOT NULL, "
        "selector TEXT NOT NULL, flags INTEGER NOT NULL, timestamp INTEGER NOT NULL, " PEER_FK ")",
        "CREATE TABLE vsectors2 (vsector_uuid TEXT PRIMARY KEY, name TEXT NOT NULL, x REAL NOT NULL, "
        "y REAL NOT NULL, w REAL NOT NULL, h REAL NOT NULL)",
        "CREATE TABLE vnodes2 (vnode_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, "
        "vsector_uuid TEXT NOT NULL, name TEXT NOT NULL, style TEXT NOT NULL, path TEXT NOT NULL, "
        "x REAL NOT NULL, y REAL NOT NULL, " PEER_FK ", FOREIGN KEY (vsector_uuid) REFERENCES "
        "vsectors2 (vsector_uuid) ON DELETE CASCADE ON UPDATE CASCADE)",
        // Peer A in upper case; B twice, in both cases; C without braces.
        "INSERT INTO peers VALUES ('{AAAAAAAA-0000-4000-8000-00000000000A}', 'velm', 100)",
        "INSERT INTO peers VALUES ('{bbbbbbbb-0000-4000-8000-00000000000b}', 'velm', 200)",
        "INSERT INTO peers VALUES ('{BBBBBBBB-0000-4000-8000-00000000000B}', 'velm', 201)",
        "INSERT INTO peers VALUES ('cccccccc-0000-4000-8000-00000000000c', 'velm', 300)",
        "INSERT INTO peer_cryptokeys VALUES ('{ABCDEF00-0000-4000-8000-000000000001}', "
        "'{AAAAAAAA-0000-4000-8000-00000000000A}', x'00112233', 'pk', 100)",
        // A's transports under two spellings of its uuid.
        "INSERT INTO transports VALUES ('{00000000-0000-4000-8000-0000000000a1}', "
        "'{aaaaaaaa-0000-4000-8000-00000000000a}', 'tcp', '10.0.0.1', 60391, " + QString::number(now) + ")",
        "INSERT INTO transports VALUES ('{00000000-0000-4000-8000-0000000000a2}', "
        "'{AAAAAAAA-0000-4000-8000-00000000000A}', 'onion', 'x.onion', 80, " + QString::number(now) + ")",
        // The second B's transport, which must move to the B that stays.
        "INSERT INTO transports VALUES ('{00000000-0000-4000-8000-0000000000b1}', "
        "'{BBBBBBBB-0000-4000-8000-00000000000B}', 'tcp', '10.0.0.2', 60391, " + QString::number(now) + ")",
        // A share whose peer is gone.
        "INSERT INTO peer_acl VALUES ('{00000000-0000-4000-8000-0000000000d1}', "
        "'{dddddddd-0000-4000-8000-00000000000d}', 'Music', '/music', 1, 100)",
        "INSERT INTO vsectors2 VALUES ('{5EC70000-0000-4000-8000-000000000001}', 'Home', 0, 0, 10, 10)",
        "INSERT INTO vnodes2 VALUES ('{0DE00000-0000-4000-8000-000000000001}', "
        "'{AAAAAAAA-0000-4000-8000-00000000000A}', '{5ec70000-0000-4000-8000-000000000001}', "
        "'n', 's', '/', 1, 2)",
        // A node whose sector is gone.
        "INSERT INTO vnodes2 VALUES ('{0de00000-0000-4000-8000-000000000002}', "
        "'{aaaaaaaa-0000-4000-8000-00000000000a}', '{5ec70000-0000-4000-8000-00000000dead}', "
        "'n', 's', '/', 1, 2)",
    });
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void TestDatabaseMigration::olderSchema()
{
    writeOlderSchema();
    if (QTest::currentTestFailed())
        return;
    DatabaseSqlite db(dbPath());
    QVERIFY(db.init());

    RawDatabase raw(dbPath());
    QCOMPARE(raw.column(tablesQuery), sixteenTables());
    QCOMPARE(raw.value(QStringLiteral("SELECT count(*) FROM subnets")).toInt(), 0);
    QCOMPARE(raw.column(QStringLiteral("PRAGMA foreign_key_check")), QStringList());

    const QString a = QStringLiteral("{aaaaaaaa-0000-4000-8000-00000000000a}");
    const QString b = QStringLiteral("{bbbbbbbb-0000-4000-8000-00000000000b}");
    const QString c = QStringLiteral("{cccccccc-0000-4000-8000-00000000000c}");
    QCOMPARE(raw.column(QStringLiteral("SELECT peer_uuid || ' ' || timestamp FROM peers ORDER BY 1")),
             (QStringList{a + " 100", b + " 200", c + " 300"}));

    const auto keys = db.getCryptoKeys(a);
    QCOMPARE(int(keys.size()), 1);
    QCOMPARE(keys[0].keyUuid, QStringLiteral("{abcdef00-0000-4000-8000-000000000001}"));
    QCOMPARE(keys[0].key, QByteArray::fromHex("00112233"));
    QCOMPARE(int(db.getTransports(a).size()), 2);
    const auto bTransports = db.getTransports(b.toUpper());
    QCOMPARE(int(bTransports.size()), 1);
    QCOMPARE(bTransports[0].host, QStringLiteral("10.0.0.2"));
    QCOMPARE(raw.value(QStringLiteral("SELECT count(*) FROM peer_acl")).toInt(), 0);

    QCOMPARE(db.getVSectors().size(), size_t(1));
    const auto nodes = db.getVNodes(QStringLiteral("{5EC70000-0000-4000-8000-000000000001}"));
    QCOMPARE(int(nodes.size()), 1);
    QCOMPARE(nodes[0].uuid, QStringLiteral("{0de00000-0000-4000-8000-000000000001}"));
    QCOMPARE(nodes[0].peerUuid, a);
    QCOMPARE(nodes[0].vsectorUuid, QStringLiteral("{5ec70000-0000-4000-8000-000000000001}"));
    QCOMPARE(nodes[0].fileid, quint64(0));
    QCOMPARE(nodes[0].type, QString());
    QCOMPARE(raw.value(QStringLiteral("SELECT count(*) FROM vnodes2")).toInt(), 1);

    // The repaired file keeps working: the later columns take values, and
    // deleting a peer takes its rows with it.
    VNodeDto node = nodes[0];
    node.fileid = 42;
    node.type = QStringLiteral("dir");
    QVERIFY(db.putVNode(node));
    QCOMPARE(db.getVNodes(node.vsectorUuid).at(0), node);
    QVERIFY(raw.exec({QStringLiteral("PRAGMA foreign_keys = ON"),
                      "DELETE FROM peers WHERE peer_uuid = '" + a + "'"})
                .isEmpty());
    QCOMPARE(db.getCryptoKeys(a).size(), size_t(0));
    QCOMPARE(db.getTransports(a).size(), size_t(0));
    QCOMPARE(db.getVNodes(node.vsectorUuid).size(), size_t(0));
}

void TestDatabaseMigration::olderSchemaSecondStartChangesNothing()
{
    writeOlderSchema();
    if (QTest::currentTestFailed())
        return;
    {
        DatabaseSqlite db(dbPath());
    }
    const QString first = RawDatabase(dbPath()).dump();
    {
        DatabaseSqlite db(dbPath());
    }
    QCOMPARE(RawDatabase(dbPath()).dump(), first);
}

void TestDatabaseMigration::failingStep_data()
{
    QTest::addColumn<QStringList>("sabotage");
    QTest::addColumn<QString>("survivingTable");

    const QString holder = QStringLiteral("CREATE TABLE holder (a INTEGER)");
    auto indexNamed = [&](const char* name) {
        return QStringList{holder, QStringLiteral("CREATE INDEX %1 ON holder (a)").arg(QLatin1String(name))};
    };
    QTest::newRow("nothing in the way") << QStringList() << QStringLiteral("app_filetypes");
    QTest::newRow("first main table") << indexNamed("peers") << QString();
    QTest::newRow("later main table") << indexNamed("vnodes2") << QStringLiteral("vsectors2");
    QTest::newRow("image cache index")
        << QStringList{"CREATE VIEW imgcache AS SELECT 1 AS atime"} << QStringLiteral("vnodes2");
    QTest::newRow("vnodes2 column")
        << QStringList{"CREATE VIEW vnodes2 AS SELECT 1 AS vnode_uuid"} << QStringLiteral("vsectors2");
    QTest::newRow("subnets") << indexNamed("subnets") << QStringLiteral("imgcache");
    QTest::newRow("clubs") << indexNamed("clubs") << QStringLiteral("subnets");
    QTest::newRow("Admin club")
        << QStringList{"CREATE TABLE clubs (id INTEGER PRIMARY KEY, flags INTEGER DEFAULT 0, "
                       "name TEXT UNIQUE NOT NULL CHECK (name <> 'Admin'))"}
        << QStringLiteral("clubs");
    QTest::newRow("club_members") << indexNamed("club_members") << QStringLiteral("clubs");
    QTest::newRow("apps") << indexNamed("apps") << QStringLiteral("club_members");
    QTest::newRow("filetypes") << indexNamed("filetypes") << QStringLiteral("apps");
    QTest::newRow("app_filetypes") << indexNamed("app_filetypes") << QStringLiteral("filetypes");
}

// Any step that fails makes init() false; the steps before it have done
// their work and the program runs on with what exists.
void TestDatabaseMigration::failingStep()
{
    QFETCH(QStringList, sabotage);
    QFETCH(QString, survivingTable);
    {
        RawDatabase raw(dbPath());
        const QString error = raw.exec(sabotage);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    DatabaseSqlite db(dbPath());
    QCOMPARE(db.init(), sabotage.isEmpty());
    if (!survivingTable.isEmpty()) {
        QCOMPARE(RawDatabase(dbPath()).column(QStringLiteral(
                     "SELECT name FROM sqlite_master WHERE type = 'table' AND name = '%1'")
                                                   .arg(survivingTable)),
                 QStringList{survivingTable});
    }
    // Foreign keys stay enforced whatever step failed.
    QSqlQuery q(db.connection());
    QVERIFY(q.exec(QStringLiteral("PRAGMA foreign_keys")) && q.next());
    QCOMPARE(q.value(0).toInt(), 1);
}

void TestDatabaseMigration::failedCleanupCarriesOn_data()
{
    QTest::addColumn<QStringList>("sabotage");

    // A view cannot be removed with DROP TABLE.
    QTest::newRow("old table that will not drop") << QStringList{"CREATE VIEW contacts AS SELECT 1 AS a"};
    // A trigger refuses to let an old preview go.
    QTest::newRow("image cache that will not purge")
        << QStringList{"INSERT INTO peers VALUES ('{5a1e0000-0000-4000-8000-000000000003}', 'velm', 0)",
                       "INSERT INTO imgcache VALUES ('{00000000-0000-4000-8000-0000000000aa}', "
                       "'{5a1e0000-0000-4000-8000-000000000003}', '/old.png', 1, 0, 16, 16, x'00')",
                       "CREATE TRIGGER keep BEFORE DELETE ON imgcache BEGIN SELECT RAISE(ABORT, 'kept'); END"};
}

// Cleaning up after an older version may fail without costing the tables
// that come after it; init() still reports the failure.
void TestDatabaseMigration::failedCleanupCarriesOn()
{
    QFETCH(QStringList, sabotage);
    { DatabaseSqlite first(dbPath()); }
    {
        RawDatabase raw(dbPath());
        QString error = raw.exec({"DROP TABLE subnets", "DROP TABLE clubs", "DROP TABLE club_members",
                                  "DROP TABLE app_filetypes", "DROP TABLE apps", "DROP TABLE filetypes"});
        QVERIFY2(error.isEmpty(), qPrintable(error));
        error = raw.exec(sabotage);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    DatabaseSqlite db(dbPath());
    QVERIFY(!db.init());
    QCOMPARE(RawDatabase(dbPath()).column(tablesQuery), sixteenTables());
    QCOMPARE(RawDatabase(dbPath()).column(QStringLiteral("SELECT name FROM clubs")),
             QStringList{QStringLiteral("Admin")});
}

void TestDatabaseMigration::unopenableFile()
{
    DatabaseSqlite db(m_dir->filePath(QStringLiteral("missing/velm.db")));
    QVERIFY(!db.init());
    QVERIFY(!db.putPeer({ownPeer, QStringLiteral("velm"), QDateTime::currentDateTime()}));
    QVERIFY(db.getPeers(QStringLiteral("velm")).empty());
}

QTEST_GUILESS_MAIN(TestDatabaseMigration)
#include "tst_databasemigration.moc"
