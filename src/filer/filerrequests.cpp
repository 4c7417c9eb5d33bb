#include "filer/filerrequests.h"

#include "filer/filer.h"
#include "jobs/vfsrequestrecord.h"
#include "vfs/client/vfsclient.h"

#include <algorithm>

FilerRequests::FilerRequests(Filer* filer) : m_filer(filer) {}

FilerRequests::~FilerRequests()
{
    for (const Out& out : m_out) {
        VfsClientJob* record = out.job;
        VfsClient* client = out.client;
        if (!client) {
            // The client went with its tables: nobody holds the record.
            delete record;
            continue;
        }
        // The guard lives on the client's thread and owns the record: it
        // goes when the record comes back, or with the client.
        QObject* guard = vfsClientGuard(client);
        QObject::connect(guard, &QObject::destroyed, [record] { delete record; });
        auto back = [guard, record](VfsClientJob* job) {
            if (job == record)
                guard->deleteLater();
        };
        QObject::connect(client, &VfsClient::makeDirectoryUpdate, guard,
                         [back](VfsMakeDirectoryJob* job) { back(job); });
        QObject::connect(client, &VfsClient::moveUpdate, guard, [back](VfsMoveJob* job) { back(job); });
    }
}

void FilerRequests::watch(VfsClient* client)
{
    const bool known = std::any_of(m_watched.begin(), m_watched.end(),
                                   [client](const QPointer<VfsClient>& c) { return c == client; });
    if (known)
        return;
    m_watched.erase(std::remove_if(m_watched.begin(), m_watched.end(),
                                   [](const QPointer<VfsClient>& c) { return c.isNull(); }),
                    m_watched.end());
    m_watched.push_back(client);
    // Queued: the client answers from its own thread.
    connect(client, &VfsClient::makeDirectoryUpdate, this,
            [this](VfsMakeDirectoryJob* job) {
                if (holds(job))
                    m_filer->onVfsMakeDirectoryJobUpdate(job);
            },
            Qt::QueuedConnection);
    connect(client, &VfsClient::moveUpdate, this,
            [this](VfsMoveJob* job) {
                if (holds(job))
                    m_filer->onVfsMoveJobUpdate(job);
            },
            Qt::QueuedConnection);
}

void FilerRequests::send(VfsClient* client, VfsMakeDirectoryJob* job)
{
    watch(client);
    m_out.push_back(Out{ job, client });
    client->makeDirectory(job);
}

void FilerRequests::send(VfsClient* client, VfsMoveJob* job)
{
    watch(client);
    m_out.push_back(Out{ job, client });
    client->move(job);
}

bool FilerRequests::holds(const VfsClientJob* job) const
{
    return std::any_of(m_out.begin(), m_out.end(), [job](const Out& out) { return out.job == job; });
}

bool FilerRequests::take(const VfsClientJob* job)
{
    const auto it = std::find_if(m_out.begin(), m_out.end(), [job](const Out& out) { return out.job == job; });
    if (it == m_out.end())
        return false;
    m_out.erase(it);
    return true;
}

int FilerRequests::count() const
{
    return int(m_out.size());
}
