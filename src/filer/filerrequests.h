#pragma once

#include <QObject>
#include <QPointer>

#include <vector>

class Filer;
class VfsClient;
struct VfsClientJob;
struct VfsMakeDirectoryJob;
struct VfsMoveJob;

// The new-folder and rename requests one Filer has out at peers' clients.
// A record belongs to the Filer from its creation until its client hands it
// back; the client's answer reaches the Filer's slots only for records of
// this list (another Filer's records never do). A record still out when the
// list goes (the Filer closes, the peer changes) is left to its client,
// which frees it when it comes back, or with the client: a late answer never
// touches freed memory.
class FilerRequests : public QObject
{
    Q_OBJECT
public:
    explicit FilerRequests(Filer* filer);
    ~FilerRequests() override;

    // Hands the record to client; the list owns it until take().
    void send(VfsClient* client, VfsMakeDirectoryJob* job);
    void send(VfsClient* client, VfsMoveJob* job);
    // Takes a record that came back out of the list; the caller owns it
    // then. False when it is none of this list's.
    bool take(const VfsClientJob* job);
    int count() const;

private:
    struct Out
    {
        VfsClientJob* job;
        QPointer<VfsClient> client;
    };

    void watch(VfsClient* client);
    bool holds(const VfsClientJob* job) const;

    Filer* m_filer;
    std::vector<Out> m_out;
    std::vector<QPointer<VfsClient>> m_watched;
};
