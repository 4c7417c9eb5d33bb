#pragma once

#include <QSqlDatabase>
#include <QString>

// Brings a velm.db of any earlier version, or a new empty file, to the
// current schema: drops the tables of earlier versions, switches the file to
// the write-ahead log, creates the sixteen tables and missing columns,
// repairs UUIDs stored in other spellings and rows left without their peer
// or sector, purges image-cache rows unused for 48 hours and UDP transports
// not seen for 7 days, and seeds the "Admin" club.
//
// Runs on the given connection, which must be open and belong to the calling
// thread. Foreign keys are enforced on it again when run() returns.
class DatabaseMigration
{
public:
    explicit DatabaseMigration(const QSqlDatabase& db);

    // True when every step succeeded; stops at the first step that failed.
    bool run();
    // What the last failed step reported, with SQLite's error text; empty
    // when nothing failed.
    QString errorString() const;

    static constexpr qint64 ImageCacheMaxAgeMs = 48LL * 3600 * 1000;
    static constexpr qint64 UdpTransportMaxAgeSecs = 7LL * 24 * 3600;

private:
    // Logs a failure and keeps it for errorString().
    void note(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    bool exec(const QString& sql, const char* failure);
    bool migrateWithoutForeignKeys();
    bool dropOldTables();
    bool checkJournalMode();
    bool createMainTables();
    bool addMissingVNodeColumns();
    bool repairUuids();
    bool repairUuidColumn(const QString& table, const QString& column);
    bool removeOrphans();
    bool purgeAndSeed();
    bool purgeImageCache();
    bool seed();

    QSqlDatabase m_db;
    bool m_cleanupFailed = false; // an old table or stale previews stayed
    QString m_error;
};
