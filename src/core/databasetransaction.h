#pragma once

class IDatabase;

// One transaction of a store on the calling thread, begun by the constructor
// and rolled back by the destructor unless commit() was called: a function
// that returns early on a failed write leaves nothing behind.
//
//     DatabaseTransaction transaction(db);
//     if (!transaction.isActive() || !db->putPeer(peer) || !db->putCryptoKey(uuid, key))
//         return false;          // rolled back here
//     return transaction.commit();
class DatabaseTransaction
{
public:
    explicit DatabaseTransaction(IDatabase* db);
    ~DatabaseTransaction();

    DatabaseTransaction(const DatabaseTransaction&) = delete;
    DatabaseTransaction& operator=(const DatabaseTransaction&) = delete;

    // Whether the transaction was begun and is not yet ended.
    bool isActive() const;
    // True when the writes are stored; false (and nothing stored) otherwise.
    bool commit();
    void rollback();

private:
    IDatabase* m_db;
    bool m_active;
};
