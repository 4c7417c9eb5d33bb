#include "core/databasemigration.h"

#include "core/logger.h"
#include "core/uuid.h"

#include <QDateTime>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <cstdarg>
#include <cstdio>

namespace {

#define CASCADE " ON DELETE CASCADE ON UPDATE CASCADE"
#define PEER_FK "FOREIGN KEY (peer_uuid) REFERENCES peers (peer_uuid)" CASCADE

struct TableSql
{
    const char* name;
    const char* sql;
};

// In creation order: a table comes after the tables it refers to.
const TableSql mainTables[] = {
    {"peers",
     "CREATE TABLE IF NOT EXISTS peers (peer_uuid TEXT PRIMARY KEY, type TEXT NOT NULL, "
     "timestamp INTEGER NOT NULL)"},
    {"peer_attributes2",
     "CREATE TABLE IF NOT EXISTS peer_attributes2 (peer_uuid TEXT NOT NULL, "
     "attr_uuid TEXT UNIQUE NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, "
     "timestamp INTEGER NOT NULL, " PEER_FK ")"},
    {"peer_acl",
     "CREATE TABLE IF NOT EXISTS peer_acl (acl_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, "
     "name TEXT NOT NULL, selector TEXT NOT NULL, flags INTEGER NOT NULL, "
     "timestamp INTEGER NOT NULL, " PEER_FK ")"},
    {"transports",
     "CREATE TABLE IF NOT EXISTS transports (transport_uuid TEXT PRIMARY KEY, "
     "peer_uuid TEXT NOT NULL, type TEXT NOT NULL, host TEXT NOT NULL, port INTEGER NOT NULL, "
     "timestamp INTEGER NOT NULL, " PEER_FK ")"},
    {"peer_cryptokeys",
     "CREATE TABLE IF NOT EXISTS peer_cryptokeys (key_uuid TEXT PRIMARY KEY, "
     "peer_uuid TEXT NOT NULL, key TEXT NOT NULL, type TEXT NOT NULL, "
     "timestamp INTEGER NOT NULL, " PEER_FK ")"},
    {"authorization",
     "CREATE TABLE IF NOT EXISTS authorization (auth_uuid TEXT PRIMARY KEY, "
     "key_uuid TEXT NOT NULL, state TEXT NOT NULL, timestamp INTEGER NOT NULL, "
     "FOREIGN KEY (key_uuid) REFERENCES peer_cryptokeys (key_uuid)" CASCADE ")"},
    {"invitation",
     "CREATE TABLE IF NOT EXISTS invitation (inv_uuid TEXT PRIMARY KEY, name TEXT NOT NULL, "
     "password TEXT NOT NULL, timestamp INTEGER NOT NULL, expires INTEGER NOT NULL)"},
    {"vsectors2",
     "CREATE TABLE IF NOT EXISTS vsectors2 (vsector_uuid TEXT PRIMARY KEY, name TEXT NOT NULL, "
     "x REAL NOT NULL, y REAL NOT NULL, w REAL NOT NULL, h REAL NOT NULL)"},
    {"vnodes2",
     "CREATE TABLE IF NOT EXISTS vnodes2 (vnode_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, "
     "vsector_uuid TEXT NOT NULL, name TEXT NOT NULL, style TEXT NOT NULL, path TEXT NOT NULL, "
     "x REAL NOT NULL, y REAL NOT NULL, type TEXT, icon TEXT, fileid INTEGER DEFAULT 0, "
     PEER_FK ", FOREIGN KEY (vsector_uuid) REFERENCES vsectors2 (vsector_uuid)" CASCADE ")"},
    {"imgcache",
     "CREATE TABLE IF NOT EXISTS imgcache (img_uuid TEXT PRIMARY KEY, peer_uuid TEXT NOT NULL, "
     "uri TEXT NOT NULL, mtime INTEGER NOT NULL, atime INTEGER NOT NULL, width INTEGER NOT NULL, "
     "height INTEGER NOT NULL, img BLOB NOT NULL, " PEER_FK ")"},
};

// Earlier versions' tables, and the tables that start empty on every run.
const char* const droppedTables[] = {
    "subnets", "authorization", "club_members", "vnodes", "vsectors",
    "contacts", "contact_hosts", "cryptokeys", "peer_attributes",
};

// Columns that hold UUIDs, parents before the tables that refer to them.
struct UuidColumn
{
    const char* table;
    const char* column;
};
const UuidColumn uuidColumns[] = {
    {"peers", "peer_uuid"},
    {"peer_attributes2", "attr_uuid"},       {"peer_attributes2", "peer_uuid"},
    {"peer_acl", "acl_uuid"},                {"peer_acl", "peer_uuid"},
    {"transports", "transport_uuid"},        {"transports", "peer_uuid"},
    {"peer_cryptokeys", "key_uuid"},         {"peer_cryptokeys", "peer_uuid"},
    {"invitation", "inv_uuid"},
    {"vsectors2", "vsector_uuid"},
    {"vnodes2", "vnode_uuid"},               {"vnodes2", "peer_uuid"},
    {"vnodes2", "vsector_uuid"},
    {"imgcache", "img_uuid"},                {"imgcache", "peer_uuid"},
};

// Rows whose owner is gone; foreign keys would have removed them had they
// been enforced when the owner was deleted.
const char* const orphanDeletes[] = {
    "DELETE FROM peer_attributes2 WHERE peer_uuid NOT IN (SELECT peer_uuid FROM peers)",
    "DELETE FROM peer_acl WHERE peer_uuid NOT IN (SELECT peer_uuid FROM peers)",
    "DELETE FROM transports WHERE peer_uuid NOT IN (SELECT peer_uuid FROM peers)",
    "DELETE FROM peer_cryptokeys WHERE peer_uuid NOT IN (SELECT peer_uuid FROM peers)",
    ("DELETE FROM vnodes2 WHERE peer_uuid NOT IN (SELECT peer_uuid FROM peers) "
     "OR vsector_uuid NOT IN (SELECT vsector_uuid FROM vsectors2)"),
    "DELETE FROM imgcache WHERE peer_uuid NOT IN (SELECT peer_uuid FROM peers)",
};

} // namespace

DatabaseMigration::DatabaseMigration(const QSqlDatabase& db) : m_db(db) {}

void DatabaseMigration::note(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_error = QString::fromUtf8(text);
    Logger::log(Logger::DB1, "%s", text);
}

QString DatabaseMigration::errorString() const
{
    return m_error;
}

bool DatabaseMigration::exec(const QString& sql, const char* failure)
{
    QSqlQuery q(m_db);
    if (q.exec(sql))
        return true;
    note(failure, qUtf8Printable(q.lastError().text()));
    return false;
}

bool DatabaseMigration::run()
{
    Logger::log(Logger::DB1, "init sqlite databse: %s", qUtf8Printable(m_db.databaseName()));
    if (!m_db.isOpen()) {
        note("the database is not open: %s", qUtf8Printable(m_db.lastError().text()));
        return false;
    }

    // Old tables are dropped and stored UUIDs rewritten without foreign-key
    // checks; the checks come back on whatever happened.
    bool ok = exec(QStringLiteral("PRAGMA foreign_keys = OFF"), "failed to suspend foreign keys %s")
              && migrateWithoutForeignKeys();
    if (!exec(QStringLiteral("PRAGMA foreign_keys = ON"), "failed to enforce foreign keys %s"))
        return false;
    if (!ok)
        return false;
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("PRAGMA foreign_keys")) || !q.next() || q.value(0).toInt() != 1) {
            note("foreign keys are not enforced on %s",
                        qUtf8Printable(m_db.connectionName()));
            return false;
        }
    }
    return purgeAndSeed() && !m_cleanupFailed;
}

bool DatabaseMigration::migrateWithoutForeignKeys()
{
    // An old table that will not go away is in nobody's way: note it, go on
    // building what the program needs, and report the failure at the end.
    m_cleanupFailed = !dropOldTables();
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT sqlite_version()")) || !q.next()) {
            note("failed to read sqlite_version %s",
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
        Logger::log(Logger::DB1, "sqlite_version: %s", qUtf8Printable(q.value(0).toString()));
    }
    return checkJournalMode() && createMainTables() && addMissingVNodeColumns() && repairUuids()
           && removeOrphans();
}

bool DatabaseMigration::dropOldTables()
{
    bool ok = true;
    for (const char* table : droppedTables) {
        if (!exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(QLatin1String(table)),
                  "failed to drop old table %s"))
            ok = false;
    }
    return ok;
}

bool DatabaseMigration::checkJournalMode()
{
    if (!exec(QStringLiteral("PRAGMA journal_mode = WAL"), "failed to set journal_mode %s")
        || !exec(QStringLiteral("PRAGMA synchronous = NORMAL"), "failed to set synchronous %s"))
        return false;
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT * FROM pragma_journal_mode, pragma_synchronous")) || !q.next()) {
        note("failed to read journal_mode %s", qUtf8Printable(q.lastError().text()));
        return false;
    }
    const QString mode = q.value(0).toString();
    const int synchronous = q.value(1).toInt();
    Logger::log(Logger::DB1, "journal_mode: %s, synchronous %d", qUtf8Printable(mode), synchronous);
    // Some file systems cannot hold a write-ahead log; the store still works.
    if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0 || synchronous != 1)
        Logger::log(Logger::ERR1, "journal_mode: != WAL, synchronous != NORMAL (1)");
    return true;
}

bool DatabaseMigration::createMainTables()
{
    for (const TableSql& table : mainTables) {
        QSqlQuery q(m_db);
        if (!q.exec(QLatin1String(table.sql))) {
            note("failed to create table %s: %s", table.name,
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
    }
    return exec(QStringLiteral("CREATE INDEX IF NOT EXISTS imgcache_file "
                               "ON imgcache (peer_uuid, uri, mtime)"),
                "failed to create index imgcache_file %s");
}

bool DatabaseMigration::addMissingVNodeColumns()
{
    QSet<QString> present;
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT name FROM pragma_table_info('vnodes2')"))) {
            note("failed to read columns of vnodes2 %s",
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
        while (q.next())
            present.insert(q.value(0).toString());
    }
    static const struct
    {
        const char* column;
        const char* sql;
    } later[] = {
        {"type", "ALTER TABLE vnodes2 ADD COLUMN type TEXT"},
        {"icon", "ALTER TABLE vnodes2 ADD COLUMN icon TEXT"},
        {"fileid", "ALTER TABLE vnodes2 ADD COLUMN fileid INTEGER DEFAULT 0"},
    };
    for (const auto& c : later) {
        if (present.contains(QLatin1String(c.column)))
            continue;
        QSqlQuery q(m_db);
        if (!q.exec(QLatin1String(c.sql))) {
            note("failed to add column %s to table vnodes2: %s", c.column,
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
    }
    return true;
}

bool DatabaseMigration::repairUuids()
{
    if (!m_db.transaction()) {
        note("failed to begin uuid repair %s",
                    qUtf8Printable(m_db.lastError().text()));
        return false;
    }
    for (const UuidColumn& c : uuidColumns) {
        if (!repairUuidColumn(QLatin1String(c.table), QLatin1String(c.column))) {
            m_db.rollback();
            return false;
        }
    }
    if (!m_db.commit()) {
        note("failed to commit uuid repair %s",
                    qUtf8Printable(m_db.lastError().text()));
        m_db.rollback();
        return false;
    }
    return true;
}

// Rewrites every UUID of the column that is not in the stored form. Where
// the rewritten value already exists in a unique column, the row in the
// other spelling is a duplicate and goes; rows that refer to it were (or are
// about to be) rewritten to the surviving spelling.
bool DatabaseMigration::repairUuidColumn(const QString& table, const QString& column)
{
    QStringList odd;
    {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        // Only values that can differ from the stored form: upper case,
        // missing braces or surrounding blanks.
        if (!q.exec(QStringLiteral("SELECT DISTINCT %2 FROM %1 WHERE %2 <> lower(%2) "
                                   "OR substr(%2, 1, 1) <> '{' OR length(%2) <> 38")
                        .arg(table, column))) {
            note("failed to read uuids %s", qUtf8Printable(q.lastError().text()));
            return false;
        }
        while (q.next())
            odd.append(q.value(0).toString());
    }
    int repaired = 0;
    for (const QString& old : odd) {
        const QString stored = normalizedUuid(old);
        if (stored == old)
            continue; // not a UUID; left as it is
        QSqlQuery update(m_db);
        update.prepare(QStringLiteral("UPDATE OR IGNORE %1 SET %2 = :n WHERE %2 = :o").arg(table, column));
        update.bindValue(QStringLiteral(":n"), stored);
        update.bindValue(QStringLiteral(":o"), old);
        QSqlQuery remove(m_db);
        remove.prepare(QStringLiteral("DELETE FROM %1 WHERE %2 = :o").arg(table, column));
        remove.bindValue(QStringLiteral(":o"), old);
        if (!update.exec() || !remove.exec()) {
            note("failed to repair uuid %s",
                        qUtf8Printable(update.lastError().isValid() ? update.lastError().text()
                                                                    : remove.lastError().text()));
            return false;
        }
        ++repaired;
    }
    if (repaired)
        Logger::log(Logger::DB1, "repaired %d uuids in %s.%s", repaired, qUtf8Printable(table),
                    qUtf8Printable(column));
    return true;
}

bool DatabaseMigration::removeOrphans()
{
    for (const char* sql : orphanDeletes) {
        QSqlQuery q(m_db);
        if (!q.exec(QLatin1String(sql))) {
            note("failed to remove orphaned rows %s",
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
        if (q.numRowsAffected() > 0)
            Logger::log(Logger::DB1, "removed %d orphaned rows: %s", q.numRowsAffected(), sql);
    }
    return true;
}

bool DatabaseMigration::purgeAndSeed()
{
    // Stale previews only cost space: a failed purge is reported at the end,
    // after the tables the program needs exist.
    if (!purgeImageCache())
        m_cleanupFailed = true;
    return seed();
}

bool DatabaseMigration::purgeImageCache()
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM imgcache WHERE atime < :t"));
    q.bindValue(QStringLiteral(":t"), QDateTime::currentMSecsSinceEpoch() - ImageCacheMaxAgeMs);
    if (q.exec())
        return true;
    note("failed to purge imgcache %s", qUtf8Printable(q.lastError().text()));
    return false;
}

bool DatabaseMigration::seed()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS subnets (id INTEGER PRIMARY KEY, "
                             "net TEXT NOT NULL, lastseen INTEGER NOT NULL)"),
              "[0] failed to create table %s"))
        return false;
    {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("DELETE FROM transports WHERE type = 'udp' AND timestamp < :t"));
        q.bindValue(QStringLiteral(":t"), now.toSecsSinceEpoch() - UdpTransportMaxAgeSecs);
        if (!q.exec()) {
            note("failed to remove old udp transports %s",
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
    }
    if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS clubs (id INTEGER PRIMARY KEY, "
                             "flags INTEGER DEFAULT 0, name TEXT UNIQUE NOT NULL)"),
              "[3] failed to create table %s"))
        return false;
    {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("SELECT id FROM clubs WHERE flags & (0x01 | 0x02)"))) {
            note("[3.1] failed to check Admin group %s",
                        qUtf8Printable(q.lastError().text()));
            return false;
        }
        const bool haveAdmin = q.next();
        q.finish();
        if (!haveAdmin
            && !exec(QStringLiteral("INSERT INTO clubs (flags,name) values (0x01 | 0x02, 'Admin')"),
                     "[3.2] failed to create Admin group %s"))
            return false;
    }
    if (!exec(QStringLiteral("CREATE TABLE IF NOT EXISTS club_members (club_id INTEGER NOT NULL, "
                             "peer_uuid INTEGER NOT NULL, PRIMARY KEY (club_id, peer_uuid), " PEER_FK
                             ", FOREIGN KEY (club_id) REFERENCES clubs (id)" CASCADE ")"),
              "[4] failed to create table %s"))
        return false;
    if (!exec(QStringLiteral("REPLACE INTO club_members (club_id, peer_uuid) SELECT clubs.id, "
                             "peers.peer_uuid FROM clubs INNER JOIN peers WHERE peers.peer_uuid = "
                             "'{00000000-0000-0000-0000-000000000000}' AND clubs.flags & 2"),
              "[4.1] failed to put _local into Admin %s"))
        return false;
    return exec(QStringLiteral("CREATE TABLE IF NOT EXISTS apps (id INTEGER PRIMARY KEY,name TEXT "
                               "NOT NULL,icon TEXT,path TEXT UNIQUE ON CONFLICT IGNORE,flags "
                               "INTEGER NOT NULL)"),
                "[8] failed to create table apps %s")
           && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS filetypes (id INTEGER PRIMARY KEY,"
                                  "type TEXT UNIQUE ON CONFLICT IGNORE,flags INTEGER NOT NULL)"),
                   "[9] failed to create table filetypes %s")
           && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS app_filetypes (app_id INTEGER,"
                                  "type_id INTEGER,last_used_timestamp INTEGER DEFAULT 0,"
                                  "PRIMARY KEY(app_id, type_id) ON CONFLICT IGNORE,FOREIGN KEY "
                                  "(app_id) REFERENCES apps (id) ON DELETE CASCADE ON UPDATE "
                                  "CASCADE,FOREIGN KEY (type_id) REFERENCES filetypes (id) ON "
                                  "DELETE CASCADE ON UPDATE CASCADE)"),
                   "[10] failed to create table app_filetypes %s");
}
