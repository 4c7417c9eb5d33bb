#include "core/databasesqlite.h"

#include "core/databasemigration.h"
#include "core/logger.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QPair>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QThreadStorage>
#include <QVariant>
#include <QVector>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <utility>

namespace {

// Connections of the live stores, by store. A store removes all of its
// connections when it is destroyed; a thread removes its own when it
// finishes, if its store is still alive.
struct ConnectionRegistry
{
    QMutex mutex;
    QHash<quint64, QStringList> names;
    quint64 defaultConnectionOwner = 0;
};

ConnectionRegistry& registry()
{
    // Never destroyed: threads may finish during static destruction.
    static auto* r = new ConnectionRegistry;
    return *r;
}

// The connections one thread has opened; destroyed on that thread when it
// finishes (QThreadStorage), which closes and removes them. A thread whose
// address a later thread reuses has therefore left nothing behind.
class ThreadConnections
{
public:
    QVector<QPair<quint64, QString>> names;

    ~ThreadConnections()
    {
        ConnectionRegistry& r = registry();
        QMutexLocker lock(&r.mutex);
        for (const auto& entry : qAsConst(names)) {
            auto it = r.names.find(entry.first);
            if (it == r.names.end())
                continue; // the store went first and took the connection with it
            it->removeOne(entry.second);
            QSqlDatabase::removeDatabase(entry.second);
        }
    }
};

QThreadStorage<ThreadConnections*>& threadConnections()
{
    static auto* storage = new QThreadStorage<ThreadConnections*>;
    return *storage;
}

QAtomicInteger<quint64> nextStoreId{1};

// Text for a NOT NULL column: a null QString would be bound as NULL.
QVariant text(const QString& s)
{
    return s.isNull() ? QVariant(QStringLiteral("")) : QVariant(s);
}

using Binding = std::pair<const char*, QVariant>;

// Prepares, binds and runs one statement; logs failure on DB1 with the
// message, whose %s takes the SQL error text.
bool run(QSqlQuery& q, const char* sql, std::initializer_list<Binding> bindings, const char* failure)
{
    if (q.prepare(QLatin1String(sql))) {
        for (const Binding& b : bindings)
            q.bindValue(QLatin1String(b.first), b.second);
        if (q.exec())
            return true;
    }
    Logger::log(Logger::DB1, failure, qUtf8Printable(q.lastError().text()));
    return false;
}

// Runs one select and maps each row through map (which reads the row from the
// query it is given) into the result; empty when the select failed.
template <typename Dto, typename Map>
std::vector<Dto> selectRows(const QSqlDatabase& db, const char* sql,
                            std::initializer_list<Binding> bindings, const char* failure, Map map)
{
    std::vector<Dto> result;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!run(q, sql, bindings, failure))
        return result;
    while (q.next())
        result.push_back(map(q));
    return result;
}

// Runs one select and tells in found whether it gave a row; false when the
// select failed.
bool lookUp(const QSqlDatabase& db, const char* sql, std::initializer_list<Binding> bindings,
            const char* failure, bool& found)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!run(q, sql, bindings, failure))
        return false;
    found = q.next();
    return true;
}

// Runs one write statement; false when it failed. rowsChanged, when given,
// receives the number of rows the statement changed. The statement is done
// with when this returns, so listeners told of the change afterwards may use
// the connection freely.
bool write(const QSqlDatabase& db, const char* sql, std::initializer_list<Binding> bindings,
           const char* failure, int* rowsChanged = nullptr)
{
    QSqlQuery q(db);
    if (!run(q, sql, bindings, failure))
        return false;
    if (rowsChanged)
        *rowsChanged = q.numRowsAffected();
    return true;
}

// Runs an upsert whose WHERE leaves alone a row that belongs to another
// peer; when it changed no row, logs the failure message with notOwned.
bool upsertOwnRow(const QSqlDatabase& db, const char* sql, std::initializer_list<Binding> bindings,
                  const char* failure, const char* notOwned)
{
    int changed = 0;
    if (!write(db, sql, bindings, failure, &changed))
        return false;
    if (changed < 1) {
        Logger::log(Logger::DB1, failure, notOwned);
        return false;
    }
    return true;
}

bool isStreamType(const QString& type)
{
    return type == QLatin1String("tcp") || type == QLatin1String("onion");
}

} // namespace

class DatabaseSqlitePrivate
{
public:
    QString path;
    quint64 id = 0;
    // Why the file is not used; no connection is opened while it is set.
    QString fileError;
    // Why the last migration failed.
    QString schemaError;

    bool setUp(QSqlDatabase& db) const;
    QString checkFile() const;

    // A transaction of one thread's connection: its depth, whether a part of
    // it was rolled back, and the change signals held back until it commits.
    struct Transaction
    {
        int depth = 0;
        bool failed = false;
        std::vector<std::function<void()>> held;
    };
    QMutex transactionsMutex;
    QHash<const QThread*, Transaction> transactions;

    // Emits a change signal now, or at the commit of the calling thread's
    // transaction.
    void announce(std::function<void()> signal);
};

void DatabaseSqlitePrivate::announce(std::function<void()> signal)
{
    {
        QMutexLocker lock(&transactionsMutex);
        auto it = transactions.find(QThread::currentThread());
        if (it != transactions.end() && it->depth > 0) {
            it->held.push_back(std::move(signal));
            return;
        }
    }
    signal();
}

// Whether the file can serve as the store, judged without writing a byte:
// a missing or empty file becomes a new store; anything else must be a
// readable and writable SQLite file that passes SQLite's own quick check.
// Returns the reason when it cannot.
QString DatabaseSqlitePrivate::checkFile() const
{
    const QFileInfo file(path);
    const QFileInfo directory(file.absolutePath());
    if (!file.exists()) {
        if (!directory.isDir())
            return QStringLiteral("its directory does not exist");
        return directory.isWritable() ? QString() : QStringLiteral("its directory cannot be written");
    }
    if (file.isDir())
        return QStringLiteral("it is a directory, not a database file");
    if (!file.isFile())
        return QStringLiteral("it is not a regular file");
    if (!file.isReadable())
        return QStringLiteral("it cannot be read (permission denied)");
    if (!file.isWritable())
        return QStringLiteral("it cannot be written (read-only file or permission denied)");
    if (!directory.isWritable())
        return QStringLiteral("its directory cannot be written, which the database's journal needs");
    if (file.size() == 0)
        return QString();

    QString problem;
    const QString name = QStringLiteral("check_%1").arg(id);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open()) {
            problem = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("PRAGMA quick_check"))) {
                problem = q.lastError().databaseText();
            } else {
                QStringList faults;
                while (q.next() && faults.size() < 3) {
                    const QString line = q.value(0).toString();
                    if (line != QLatin1String("ok"))
                        faults << line;
                }
                if (!faults.isEmpty())
                    problem = QStringLiteral("it is damaged (%1)").arg(faults.join(QLatin1String("; ")));
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    if (!problem.isEmpty() && !problem.startsWith(QLatin1String("it ")))
        problem = QStringLiteral("it is not a usable SQLite database (%1)").arg(problem);
    return problem;
}

// Opens a connection and sets it up as every connection of the store must
// be: foreign keys enforced, commits synchronised as the write-ahead log
// needs. A connection that cannot be set up is left closed.
bool DatabaseSqlitePrivate::setUp(QSqlDatabase& db) const
{
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open()) {
        Logger::log(Logger::DB1, "failed to open sqlite database %s", qUtf8Printable(path));
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA foreign_keys = ON"))
        || !q.exec(QStringLiteral("PRAGMA synchronous = NORMAL"))
        || !q.exec(QStringLiteral("PRAGMA foreign_keys")) || !q.next() || q.value(0).toInt() != 1) {
        Logger::log(Logger::ERR1, "failed to enforce foreign keys on %s: %s",
                    qUtf8Printable(db.connectionName()), qUtf8Printable(q.lastError().text()));
        q = QSqlQuery();
        db.close();
        return false;
    }
    Logger::log(Logger::DB1, "add sqlite database %s", qUtf8Printable(db.connectionName()));
    return true;
}

DatabaseSqlite::DatabaseSqlite(const QString& path, QObject* parent)
    : IDatabase(parent), d(new DatabaseSqlitePrivate)
{
    d->path = path;
    d->id = nextStoreId.fetchAndAddRelaxed(1);

    ConnectionRegistry& r = registry();
    {
        QMutexLocker lock(&r.mutex);
        r.names.insert(d->id, QStringList());
        r.defaultConnectionOwner = d->id;
    }
    // Qt's default connection, for code on this thread that runs its own
    // statements on the same file.
    const QString defaultName = QLatin1String(QSqlDatabase::defaultConnection);
    if (QSqlDatabase::contains(defaultName))
        QSqlDatabase::removeDatabase(defaultName);
    // A file that cannot serve is left exactly as it is: no connection
    // writes to it, not even the journal mode.
    d->fileError = d->checkFile();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(path);
        if (d->fileError.isEmpty())
            d->setUp(db);
        Logger::log(Logger::DB1, "default database name: %s", qUtf8Printable(db.connectionName()));
    }
    if (!d->fileError.isEmpty()) {
        Logger::log(Logger::ERR1, "cannot use the database %s: %s", qUtf8Printable(path),
                    qUtf8Printable(d->fileError));
        return;
    }
    init();
}

QString DatabaseSqlite::openError() const
{
    return d->fileError.isEmpty() ? d->schemaError : d->fileError;
}

DatabaseSqlite::~DatabaseSqlite()
{
    ConnectionRegistry& r = registry();
    QMutexLocker lock(&r.mutex);
    const QStringList names = r.names.take(d->id);
    for (const QString& name : names)
        QSqlDatabase::removeDatabase(name);
    if (r.defaultConnectionOwner == d->id) {
        r.defaultConnectionOwner = 0;
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }
}

QString DatabaseSqlite::path() const
{
    return d->path;
}

QString DatabaseSqlite::connectionName() const
{
    return QStringLiteral("db%1_%2")
        .arg(quintptr(QThread::currentThread()), 0, 16)
        .arg(d->id);
}

QSqlDatabase DatabaseSqlite::connection() const
{
    const QString name = connectionName();
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(d->path);
        ConnectionRegistry& r = registry();
        QMutexLocker lock(&r.mutex);
        r.names[d->id].append(name);
        QThreadStorage<ThreadConnections*>& storage = threadConnections();
        if (!storage.hasLocalData())
            storage.setLocalData(new ThreadConnections);
        storage.localData()->names.append(qMakePair(d->id, name));
    }
    if (!db.isOpen() && d->fileError.isEmpty())
        d->setUp(db);
    return db;
}

bool DatabaseSqlite::init()
{
    if (!d->fileError.isEmpty())
        return false;
    DatabaseMigration migration(connection());
    if (migration.run()) {
        d->schemaError.clear();
        return true;
    }
    d->schemaError = QStringLiteral("its tables could not be brought up to date (%1)").arg(migration.errorString());
    Logger::log(Logger::ERR1, "cannot use the database %s: %s", qUtf8Printable(d->path),
                qUtf8Printable(d->schemaError));
    return false;
}

// ---------------------------------------------------------------- transactions

bool DatabaseSqlite::beginTransaction()
{
    const QThread* thread = QThread::currentThread();
    {
        QMutexLocker lock(&d->transactionsMutex);
        auto it = d->transactions.find(thread);
        if (it != d->transactions.end() && it->depth > 0) {
            ++it->depth;
            return true;
        }
    }
    // IMMEDIATE: the write lock is taken now, so that a check made inside
    // the transaction still holds when its writes follow.
    QSqlQuery q(connection());
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        Logger::log(Logger::ERR1, "failed to begin a transaction on %s: %s", qUtf8Printable(d->path),
                    qUtf8Printable(q.lastError().text()));
        return false;
    }
    QMutexLocker lock(&d->transactionsMutex);
    DatabaseSqlitePrivate::Transaction& t = d->transactions[thread];
    t = DatabaseSqlitePrivate::Transaction();
    t.depth = 1;
    return true;
}

bool DatabaseSqlite::commitTransaction()
{
    const QThread* thread = QThread::currentThread();
    DatabaseSqlitePrivate::Transaction done;
    {
        QMutexLocker lock(&d->transactionsMutex);
        auto it = d->transactions.find(thread);
        if (it == d->transactions.end() || it->depth < 1) {
            Logger::log(Logger::ERR1, "commit without a transaction on %s", qUtf8Printable(d->path));
            return false;
        }
        if (--it->depth > 0)
            return !it->failed;
        done = std::move(*it);
        d->transactions.erase(it);
    }
    QSqlQuery q(connection());
    if (done.failed || !q.exec(QStringLiteral("COMMIT"))) {
        if (!done.failed)
            Logger::log(Logger::ERR1, "failed to commit a transaction on %s: %s", qUtf8Printable(d->path),
                        qUtf8Printable(q.lastError().text()));
        QSqlQuery rollback(connection());
        rollback.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    // Listeners hear of the rows once they are there for every connection.
    for (const std::function<void()>& signal : done.held)
        signal();
    return true;
}

bool DatabaseSqlite::rollbackTransaction()
{
    const QThread* thread = QThread::currentThread();
    {
        QMutexLocker lock(&d->transactionsMutex);
        auto it = d->transactions.find(thread);
        if (it == d->transactions.end() || it->depth < 1)
            return false;
        // An inner rollback dooms the whole; the outermost end undoes it.
        if (--it->depth > 0) {
            it->failed = true;
            it->held.clear();
            return true;
        }
        d->transactions.erase(it);
    }
    QSqlQuery q(connection());
    if (!q.exec(QStringLiteral("ROLLBACK"))) {
        Logger::log(Logger::ERR1, "failed to roll back a transaction on %s: %s", qUtf8Printable(d->path),
                    qUtf8Printable(q.lastError().text()));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- invitations

bool DatabaseSqlite::putInvitation(const InvitationDto& dto)
{
    const Uuid uuid = normalizedUuid(dto.uuid);
    if (!write(connection(),
               "INSERT INTO invitation(inv_uuid, name, password, timestamp, expires)"
               "VALUES (:u, :n, :p, :t, :e)"
               "ON CONFLICT(inv_uuid) DO UPDATE SET name=excluded.name, "
               "password=excluded.password, timestamp=excluded.timestamp, expires=excluded.expires",
               {{":u", text(uuid)},
                {":n", text(dto.name)},
                {":p", text(dto.password)},
                {":t", qlonglong(dto.timestamp)},
                {":e", qlonglong(dto.expires)}},
               "failed to put invitation %s"))
        return false;
    d->announce([this, uuid] { emit addedInvitation(uuid); });
    return true;
}

std::vector<InvitationDto> DatabaseSqlite::getInvitations()
{
    return selectRows<InvitationDto>(
        connection(), "SELECT inv_uuid, name, password, timestamp, expires FROM invitation", {},
        "failed to load invitations %s", [](const QSqlQuery& q) {
            InvitationDto dto;
            dto.uuid = normalizedUuid(q.value(0).toString());
            dto.name = q.value(1).toString();
            dto.password = q.value(2).toString();
            dto.timestamp = q.value(3).toLongLong();
            dto.expires = q.value(4).toLongLong();
            return dto;
        });
}

bool DatabaseSqlite::deleteInvitation(const Uuid& invUuid)
{
    const Uuid uuid = normalizedUuid(invUuid);
    if (!write(connection(), "DELETE FROM invitation WHERE inv_uuid=:n ", {{":n", text(uuid)}},
               "[0] failed to delete invitation %s"))
        return false;
    // Announced also when there was no such row: listeners drop what they
    // hold under that uuid either way.
    d->announce([this, uuid] { emit removedInvitation(uuid); });
    return true;
}

// ---------------------------------------------------------------- peers

std::vector<PeerDto> DatabaseSqlite::getPeers(const QString& type)
{
    return selectRows<PeerDto>(
        connection(), "SELECT peer_uuid, timestamp FROM peers WHERE type = :type",
        {{":type", text(type)}}, "failed to load peers %s", [&type](const QSqlQuery& q) {
            PeerDto dto;
            dto.uuid = normalizedUuid(q.value(0).toString());
            dto.type = type;
            dto.timestamp = QDateTime::fromSecsSinceEpoch(q.value(1).toLongLong(), Qt::UTC);
            return dto;
        });
}

bool DatabaseSqlite::putPeer(const PeerDto& dto)
{
    PeerDto stored = dto;
    stored.uuid = normalizedUuid(dto.uuid);
    const qint64 secs = dto.timestamp.toSecsSinceEpoch();
    stored.timestamp = QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
    const QSqlDatabase db = connection();
    bool exists = false;
    if (!lookUp(db, "SELECT peer_uuid FROM peers WHERE peer_uuid = :u", {{":u", text(stored.uuid)}},
                "failed to put peer %s", exists))
        return false;
    if (exists) {
        Logger::log(Logger::DB1, "skip put peer uuid: %s, already exist", qUtf8Printable(stored.uuid));
        return true;
    }
    if (!write(db, "INSERT INTO peers (peer_uuid, type, timestamp) VALUES (:u, :y, :t)",
               {{":u", text(stored.uuid)}, {":y", text(stored.type)}, {":t", qlonglong(secs)}},
               "failed to put peer %s"))
        return false;
    d->announce([this, stored] { emit addedPeer(stored); });
    return true;
}

// ---------------------------------------------------------------- attributes

bool DatabaseSqlite::putPeerAttribute(const Uuid& peerUuid, const PeerAttributeDto& dto)
{
    const Uuid peer = normalizedUuid(peerUuid);
    // The WHERE keeps an attribute uuid from reaching into another peer's
    // attributes.
    if (!upsertOwnRow(connection(),
                      "INSERT INTO peer_attributes2(peer_uuid, attr_uuid, key, value, timestamp)"
                      "VALUES (:pu, :au, :k, :v, :t)"
                      "ON CONFLICT(attr_uuid) DO UPDATE SET key=excluded.key, value=excluded.value, "
                      "timestamp=excluded.timestamp WHERE peer_attributes2.peer_uuid = excluded.peer_uuid",
                      {{":pu", text(peer)},
                       {":au", text(normalizedUuid(dto.attrUuid))},
                       {":k", text(dto.key)},
                       {":v", text(dto.value)},
                       {":t", qlonglong(dto.timestamp)}},
                      "failed to put peer attribute %s", "the attribute belongs to another peer"))
        return false;
    d->announce([this, peer] { emit peerAttributesChanged(peer); });
    return true;
}

bool DatabaseSqlite::deletePeerAttribute(const Uuid& peerUuid, const Uuid& attrUuid)
{
    const Uuid peer = normalizedUuid(peerUuid);
    if (!write(connection(), "DELETE FROM peer_attributes2 WHERE peer_uuid = :pu AND attr_uuid = :au",
               {{":pu", text(peer)}, {":au", text(normalizedUuid(attrUuid))}},
               "failed to delete attribute for peer %s"))
        return false;
    d->announce([this, peer] { emit peerAttributesChanged(peer); });
    return true;
}

std::vector<PeerAttributeDto> DatabaseSqlite::getPeerAttributes(const Uuid& peerUuid,
                                                                const std::vector<QString>& keys)
{
    std::vector<PeerAttributeDto> result = selectRows<PeerAttributeDto>(
        connection(),
        "SELECT attr_uuid, key, value, timestamp FROM peer_attributes2 WHERE peer_uuid = :pu",
        {{":pu", text(normalizedUuid(peerUuid))}}, "failed to load peer attributes %s",
        [](const QSqlQuery& q) {
            PeerAttributeDto dto;
            dto.attrUuid = normalizedUuid(q.value(0).toString());
            dto.key = q.value(1).toString();
            dto.value = q.value(2).toString();
            dto.timestamp = q.value(3).toLongLong();
            return dto;
        });
    // No keys asked for means all of them.
    if (!keys.empty()) {
        const auto notAsked = [&keys](const PeerAttributeDto& dto) {
            return std::find(keys.begin(), keys.end(), dto.key) == keys.end();
        };
        result.erase(std::remove_if(result.begin(), result.end(), notAsked), result.end());
    }
    return result;
}

// ---------------------------------------------------------------- transports

std::vector<TransportDto> DatabaseSqlite::getTransports(const Uuid& peerUuid)
{
    return selectRows<TransportDto>(
        connection(),
        "SELECT transport_uuid, type, host, port, timestamp FROM transports WHERE peer_uuid = :u",
        {{":u", text(normalizedUuid(peerUuid))}}, "failed to get transports for peer %s",
        [](const QSqlQuery& q) {
            TransportDto dto;
            dto.uuid = normalizedUuid(q.value(0).toString());
            dto.type = q.value(1).toString();
            dto.host = q.value(2).toString();
            dto.port = quint16(q.value(3).toUInt());
            dto.timestamp = q.value(4).toLongLong();
            dto.stream = isStreamType(dto.type);
            return dto;
        });
}

bool DatabaseSqlite::putTransport(const Uuid& peerUuid, const TransportDto& dto)
{
    const Uuid peer = normalizedUuid(peerUuid);
    TransportDto stored = dto;
    stored.uuid = normalizedUuid(dto.uuid);
    stored.stream = isStreamType(dto.type);
    const QSqlDatabase db = connection();
    bool isNew = true;
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!run(q, "SELECT peer_uuid FROM transports WHERE transport_uuid = :tu",
                 {{":tu", text(stored.uuid)}}, "failed to put transport %s"))
            return false;
        if (q.next()) {
            if (normalizedUuid(q.value(0).toString()) != peer) {
                Logger::log(Logger::DB1, "failed to put transport %s",
                            "the transport belongs to another peer");
                return false;
            }
            isNew = false;
        }
    }
    if (!upsertOwnRow(db,
                      "INSERT INTO transports(transport_uuid, peer_uuid, type, host, port, timestamp)"
                      "VALUES (:tu, :pu, :y, :h, :p, :t)"
                      "ON CONFLICT(transport_uuid) DO UPDATE SET host=excluded.host, port=excluded.port, "
                      "timestamp=excluded.timestamp WHERE transports.peer_uuid = excluded.peer_uuid",
                      {{":tu", text(stored.uuid)},
                       {":pu", text(peer)},
                       {":y", text(stored.type)},
                       {":h", text(stored.host)},
                       {":p", int(stored.port)},
                       {":t", qlonglong(stored.timestamp)}},
                      "failed to put transport %s", "the transport belongs to another peer"))
        return false;
    if (isNew)
        d->announce([this, peer, stored] { emit addedPeerTransport(peer, stored); });
    return true;
}

// ---------------------------------------------------------------- shares

std::vector<PeerAclDto> DatabaseSqlite::getAcls(const Uuid& peerUuid)
{
    return selectRows<PeerAclDto>(
        connection(),
        "SELECT acl_uuid, name, selector, flags, timestamp FROM peer_acl WHERE peer_uuid = :u",
        {{":u", text(normalizedUuid(peerUuid))}}, "failed to get acl for peer %s",
        [](const QSqlQuery& q) {
            PeerAclDto dto;
            dto.uuid = normalizedUuid(q.value(0).toString());
            dto.name = q.value(1).toString();
            dto.selector = q.value(2).toString();
            dto.flags = q.value(3).toUInt();
            dto.timestamp = QDateTime::fromSecsSinceEpoch(q.value(4).toLongLong(), Qt::UTC);
            return dto;
        });
}

bool DatabaseSqlite::putAcl(const Uuid& peerUuid, const PeerAclDto& dto)
{
    const Uuid peer = normalizedUuid(peerUuid);
    const Uuid acl = normalizedUuid(dto.uuid);
    // The WHERE keeps a share uuid from reaching into another peer's shares.
    if (!upsertOwnRow(connection(),
                      "INSERT INTO peer_acl(acl_uuid, peer_uuid, name, selector, flags, timestamp)"
                      "VALUES(:au, :pu, :n, :s, :f, :t)"
                      "ON CONFLICT(acl_uuid) DO UPDATE SET name=excluded.name, selector=excluded.selector, "
                      "flags=excluded.flags, timestamp=excluded.timestamp "
                      "WHERE peer_acl.peer_uuid = excluded.peer_uuid",
                      {{":au", text(acl)},
                       {":pu", text(peer)},
                       {":n", text(dto.name)},
                       {":s", text(dto.selector)},
                       {":f", uint(dto.flags)},
                       {":t", qlonglong(dto.timestamp.toSecsSinceEpoch())}},
                      "failed to put acl %s", "the share belongs to another peer"))
        return false;
    d->announce([this, peer, acl] { emit addedPeerAcl(peer, acl); });
    return true;
}

bool DatabaseSqlite::deleteAcl(const Uuid& peerUuid, const Uuid& aclUuid)
{
    const Uuid peer = normalizedUuid(peerUuid);
    const Uuid acl = normalizedUuid(aclUuid);
    int removed = 0;
    if (!write(connection(), "DELETE FROM peer_acl WHERE acl_uuid = :u AND peer_uuid = :pu",
               {{":u", text(acl)}, {":pu", text(peer)}}, "failed to delete acl for peer %s", &removed))
        return false;
    if (removed > 0)
        d->announce([this, peer, acl] { emit removedPeerAcl(peer, acl); });
    return true;
}

// ---------------------------------------------------------------- keys

std::vector<CryptoKeyDto> DatabaseSqlite::getCryptoKeys(const Uuid& peerUuid)
{
    return selectRows<CryptoKeyDto>(
        connection(), "SELECT key_uuid, key, type, timestamp FROM peer_cryptokeys WHERE peer_uuid = :u",
        {{":u", text(normalizedUuid(peerUuid))}}, "failed to get cryptokeys for peer %s",
        [](const QSqlQuery& q) {
            CryptoKeyDto dto;
            dto.keyUuid = normalizedUuid(q.value(0).toString());
            dto.key = q.value(1).toByteArray();
            dto.type = q.value(2).toString();
            dto.timestamp = QDateTime::fromSecsSinceEpoch(q.value(3).toLongLong(), Qt::UTC);
            return dto;
        });
}

bool DatabaseSqlite::putCryptoKey(const Uuid& peerUuid, const CryptoKeyDto& dto)
{
    const Uuid peer = normalizedUuid(peerUuid);
    CryptoKeyDto stored = dto;
    stored.keyUuid = normalizedUuid(dto.keyUuid);
    const qint64 secs = dto.timestamp.toSecsSinceEpoch();
    stored.timestamp = QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
    const QSqlDatabase db = connection();
    bool exists = false;
    if (!lookUp(db, "SELECT key_uuid FROM peer_cryptokeys WHERE peer_uuid = :pu AND key_uuid = :ku",
                {{":pu", text(peer)}, {":ku", text(stored.keyUuid)}}, "failed to put cryptokey %s",
                exists))
        return false;
    if (exists) {
        Logger::log(Logger::DB1, "skip put cryptokey uuid: %s, already exist",
                    qUtf8Printable(stored.keyUuid));
        return true;
    }
    // A key bound as bytes is stored as a blob; an empty key as an empty
    // blob, never NULL.
    if (!write(db,
               "INSERT INTO peer_cryptokeys (key_uuid, peer_uuid, key, type, timestamp) "
               "VALUES (:ku, :pu, :k, :y, :t)",
               {{":ku", text(stored.keyUuid)},
                {":pu", text(peer)},
                {":k", stored.key.isNull() ? QByteArray("") : stored.key},
                {":y", text(stored.type)},
                {":t", qlonglong(secs)}},
               "failed to put cryptokey %s"))
        return false;
    d->announce([this, peer, stored] { emit addedPeerCryptoKey(peer, stored); });
    return true;
}

// ---------------------------------------------------------------- node view

std::vector<VSectorDto> DatabaseSqlite::getVSectors()
{
    return selectRows<VSectorDto>(
        connection(), "SELECT vsector_uuid, name, x, y, w, h FROM vsectors2", {},
        "[0] failed to load vsectors table %s", [](const QSqlQuery& q) {
            VSectorDto dto;
            dto.uuid = normalizedUuid(q.value(0).toString());
            dto.name = q.value(1).toString();
            dto.x = q.value(2).toReal();
            dto.y = q.value(3).toReal();
            dto.w = q.value(4).toReal();
            dto.h = q.value(5).toReal();
            return dto;
        });
}

bool DatabaseSqlite::putVSector(const VSectorDto& dto)
{
    const Uuid uuid = normalizedUuid(dto.uuid);
    const QSqlDatabase db = connection();
    bool exists = false;
    if (!lookUp(db, "SELECT vsector_uuid FROM vsectors2 WHERE vsector_uuid = :u", {{":u", text(uuid)}},
                "failed to put vsector %s", exists))
        return false;
    const std::initializer_list<Binding> values = {
        {":u", text(uuid)}, {":n", text(dto.name)}, {":x", dto.x},
        {":y", dto.y},      {":w", dto.w},          {":h", dto.h}};
    if (exists) {
        Logger::log(Logger::DB1, "update vsector uuid: %s", qUtf8Printable(uuid));
        return write(db, "UPDATE vsectors2 SET name=:n, x=:x, y=:y, w=:w, h=:h WHERE vsector_uuid=:u",
                     values, "failed to update vsector %s");
    }
    return write(db,
                 "INSERT INTO vsectors2 (vsector_uuid, name, x, y, w, h) VALUES (:u, :n, :x, :y, :w, :h)",
                 values, "failed to put vsector %s");
}

bool DatabaseSqlite::deleteVSector(const Uuid& vsectorUuid)
{
    return write(connection(), "DELETE FROM vsectors2 WHERE vsector_uuid=:n ",
                 {{":n", text(normalizedUuid(vsectorUuid))}}, "[0] failed to delete vsector %s");
}

std::vector<VNodeDto> DatabaseSqlite::getVNodes(const Uuid& vsectorUuid)
{
    const Uuid sector = normalizedUuid(vsectorUuid);
    return selectRows<VNodeDto>(
        connection(),
        "SELECT vnode_uuid, peer_uuid, name, style, path, type, icon, fileid, x, y "
        "FROM vnodes2 WHERE vsector_uuid=:s",
        {{":s", text(sector)}}, "[0] failed to load vnodes table %s", [&sector](const QSqlQuery& q) {
            VNodeDto dto;
            dto.uuid = normalizedUuid(q.value(0).toString());
            dto.peerUuid = normalizedUuid(q.value(1).toString());
            dto.vsectorUuid = sector;
            dto.name = q.value(2).toString();
            dto.style = q.value(3).toString();
            dto.path = q.value(4).toString();
            dto.type = q.value(5).toString();
            dto.icon = q.value(6).toString();
            dto.fileid = q.value(7).toULongLong();
            dto.x = q.value(8).toReal();
            dto.y = q.value(9).toReal();
            return dto;
        });
}

bool DatabaseSqlite::putVNode(const VNodeDto& dto)
{
    const Uuid uuid = normalizedUuid(dto.uuid);
    const QSqlDatabase db = connection();
    bool exists = false;
    if (!lookUp(db, "SELECT vnode_uuid FROM vnodes2 WHERE vnode_uuid = :u", {{":u", text(uuid)}},
                "failed to put vnode %s", exists))
        return false;
    // SQLite integers are signed 64-bit; the file id keeps its bits.
    const qlonglong fileid = qlonglong(dto.fileid);
    if (exists) {
        Logger::log(Logger::DB1, "update vnode uuid: %s", qUtf8Printable(uuid));
        return write(db,
                     "UPDATE vnodes2 SET name=:n, style=:s, path=:p, type=:t, icon=:i, fileid=:f, "
                     "x=:x, y=:y WHERE vnode_uuid=:u",
                     {{":u", text(uuid)},
                      {":n", text(dto.name)},
                      {":s", text(dto.style)},
                      {":p", text(dto.path)},
                      {":t", text(dto.type)},
                      {":i", text(dto.icon)},
                      {":f", fileid},
                      {":x", dto.x},
                      {":y", dto.y}},
                     "failed to update vnode %s");
    }
    return write(db,
                 "INSERT INTO vnodes2 (vnode_uuid, peer_uuid, vsector_uuid, name, style, path, type, "
                 "icon, fileid, x, y) VALUES (:u, :pu, :su, :n, :s, :p, :t, :i, :f, :x, :y)",
                 {{":u", text(uuid)},
                  {":pu", text(normalizedUuid(dto.peerUuid))},
                  {":su", text(normalizedUuid(dto.vsectorUuid))},
                  {":n", text(dto.name)},
                  {":s", text(dto.style)},
                  {":p", text(dto.path)},
                  {":t", text(dto.type)},
                  {":i", text(dto.icon)},
                  {":f", fileid},
                  {":x", dto.x},
                  {":y", dto.y}},
                 "failed to put vnode %s");
}

bool DatabaseSqlite::deleteVNode(const Uuid& vnodeUuid)
{
    return write(connection(), "DELETE FROM vnodes2 WHERE vnode_uuid=:n ",
                 {{":n", text(normalizedUuid(vnodeUuid))}}, "[0] failed to delete vnode %s");
}

// ---------------------------------------------------------------- image cache

std::vector<ImageCacheDto> DatabaseSqlite::getImages(const Uuid& peerUuid, const QString& uri,
                                                     qint64 mtime, int maxWidth)
{
    const Uuid peer = normalizedUuid(peerUuid);
    // Too wide and empty images are left in the file rather than loaded.
    return selectRows<ImageCacheDto>(
        connection(),
        "SELECT img_uuid, uri, mtime, atime, width, height, img FROM imgcache "
        "WHERE peer_uuid = :pu AND uri = :u AND mtime = :mt AND width <= :mw "
        "AND length(img) > 0",
        {{":pu", text(peer)}, {":u", text(uri)}, {":mt", qlonglong(mtime)}, {":mw", maxWidth}},
        "failed to get images %s", [&peer](const QSqlQuery& q) {
            ImageCacheDto dto;
            dto.imgUuid = normalizedUuid(q.value(0).toString());
            dto.peerUuid = peer;
            dto.uri = q.value(1).toString();
            dto.mtime = q.value(2).toLongLong();
            dto.atime = q.value(3).toLongLong();
            dto.width = q.value(4).toInt();
            dto.height = q.value(5).toInt();
            dto.img = q.value(6).toByteArray();
            return dto;
        });
}

bool DatabaseSqlite::putImage(const ImageCacheDto& dto)
{
    return write(connection(),
                 "INSERT INTO imgcache(img_uuid, peer_uuid, uri, mtime, atime, width, height, img) "
                 "VALUES (:iu, :pu, :u, :mt, :at, :w, :h, :b) "
                 "ON CONFLICT(img_uuid) DO UPDATE SET atime=excluded.atime",
                 {{":iu", text(normalizedUuid(dto.imgUuid))},
                  {":pu", text(normalizedUuid(dto.peerUuid))},
                  {":u", text(dto.uri)},
                  {":mt", qlonglong(dto.mtime)},
                  {":at", qlonglong(dto.atime)},
                  {":w", dto.width},
                  {":h", dto.height},
                  {":b", dto.img.isNull() ? QByteArray("") : dto.img}},
                 "failed to put image %s");
}
