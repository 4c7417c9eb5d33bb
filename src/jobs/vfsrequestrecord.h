#pragma once

#include "vfs/client/vfsclient.h"

#include <QObject>

// An object on client's thread that is deleted with client: the context of
// the connection that waits for a record left behind.
QObject* vfsClientGuard(VfsClient* client);

// The one request record a simple job (delete, move) sends to a peer's
// file-system client again and again, one request at a time.
//
// While a request is out the client holds a pointer to the record and hands
// it back with its update signal. A job destroyed in the meantime leaves the
// record to the client: it is freed when it comes back, or with the client
// (whose tables are gone by then).
template <class Record>
class VfsRequestRecord
{
public:
    using Update = void (VfsClient::*)(Record*);

    // update: the client's signal that hands the record back.
    explicit VfsRequestRecord(Update update) : m_update(update), m_record(new Record) {}
    ~VfsRequestRecord() { delete m_record; }

    VfsRequestRecord(const VfsRequestRecord&) = delete;
    VfsRequestRecord& operator=(const VfsRequestRecord&) = delete;

    Record* get() const { return m_record; }
    Record* operator->() const { return m_record; }
    bool isOut() const { return m_out; }

    // The client's updates reach slot, queued.
    template <class Receiver>
    void watch(VfsClient* client, Receiver* receiver, void (Receiver::*slot)(Record*))
    {
        m_updates = QObject::connect(client, m_update, receiver, slot, Qt::QueuedConnection);
    }

    // Hands the record to the client: (client->*operation)(record).
    void send(VfsClient* client, void (VfsClient::*operation)(Record*))
    {
        m_out = true;
        (client->*operation)(m_record);
    }

    // True when job is this record: it is back.
    bool takeBack(const Record* job)
    {
        if (job != m_record)
            return false;
        m_out = false;
        return true;
    }

    // For the job's destructor: stops the updates and frees the record, or,
    // while it is out at client, leaves it to client.
    void release(VfsClient* client)
    {
        QObject::disconnect(m_updates);
        Record* record = m_record;
        m_record = nullptr;
        if (!m_out || !client) {
            delete record;
            return;
        }
        // The guard owns the record: it goes when the record comes back, or
        // with the client.
        QObject* guard = vfsClientGuard(client);
        QObject::connect(guard, &QObject::destroyed, [record] { delete record; });
        QObject::connect(client, m_update, guard, [guard, record](Record* job) {
            if (job == record)
                guard->deleteLater();
        });
    }

private:
    const Update m_update;
    Record* m_record;
    bool m_out = false;
    QMetaObject::Connection m_updates;
};
