#pragma once

// Private parts of VfsClientVelm, shared by the files that implement it:
// vfsclientvelm.cpp (the tables of records, dispatch of replies, the timer),
// vfsclientlisting.cpp (drives and directory listings),
// vfsclientfileio.cpp (open, close, read, write, hash) and
// vfsclienttree.cpp (move, delete, make directory).

#include "core/logger.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkfieldmask.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

enum RequestState : quint32 {
    RequestToSend = 0,
    RequestSent = 1,
    RequestDone = 2,
};

// What the client keeps about a queued record while it is in a table.
struct Request
{
    QElapsedTimer sendTimer; // restarted with every frame sent
    quint32 state = RequestToSend;
    quint16 trId = 0;

    // Listings: the command to send next, flags, the entry field set asked
    // for, the one the server's pages carry, and the entries received so far.
    // Opens: flags and time-field set as sent, and the version they were
    // built for.
    quint8 command = 0;
    quint32 flags = 0;
    VfsMirkFieldMask fields;
    VfsMirkFieldMask replyFields;
    quint32 index = 0;
    qint64 listedBytes = 0; // what the entries taken so far cost
    quint16 version = 0;
};

template <class Job>
struct Pending
{
    Job* job = nullptr;
    Request request;
};

template <class Job>
using Table = std::vector<Pending<Job>>;

// The two ends of a request: the record has finished with the reply's
// status, or failed with the given one, and waits to be handed back.
template <class Job>
void finish(Pending<Job>& pending, quint8 status)
{
    pending.job->jobStatus = VfsClientJob::JobFinished;
    pending.job->status = status;
    pending.request.state = RequestDone;
}

template <class Job>
void fail(Pending<Job>& pending, quint8 status)
{
    pending.job->jobStatus = VfsClientJob::JobFailed;
    pending.job->status = status;
    pending.request.state = RequestDone;
}

// The records whose own mutex guards them while the client changes them.
inline QMutex* jobMutex(VfsListDirectoryJob* job) { return &job->mutex; }
inline QMutex* jobMutex(VfsListDrivesJob* job) { return &job->mutex; }
inline QMutex* jobMutex(VfsMoveJob* job) { return &job->mutex; }
inline QMutex* jobMutex(VfsClientJob*) { return nullptr; }

inline QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

// Per kind, defined with the kind's replies: the request frame, or a null one
// when it cannot be built; what is logged when a request is sent; and how a
// record is named in the log when it times out or is handed back.
QByteArray buildFrame(VfsListDirectoryJob* job, Request& r);
void logSent(const VfsListDirectoryJob* job, const Request& r);
QByteArray logName(const VfsListDirectoryJob* job, const Request& r);
QByteArray buildFrame(VfsListDrivesJob* job, Request& r);
void logSent(const VfsListDrivesJob* job, const Request& r);
QByteArray logName(const VfsListDrivesJob* job, const Request& r);
QByteArray buildFrame(VfsMoveJob* job, Request& r);
void logSent(const VfsMoveJob* job, const Request& r);
QByteArray logName(const VfsMoveJob* job, const Request& r);
QByteArray buildFrame(VfsOpenFileJob* job, Request& r);
void logSent(const VfsOpenFileJob* job, const Request& r);
QByteArray logName(const VfsOpenFileJob* job, const Request& r);
QByteArray buildFrame(VfsCloseFileJob* job, Request& r);
void logSent(const VfsCloseFileJob* job, const Request& r);
QByteArray logName(const VfsCloseFileJob* job, const Request& r);
QByteArray buildFrame(VfsReadFileJob* job, Request& r);
void logSent(const VfsReadFileJob* job, const Request& r);
QByteArray logName(const VfsReadFileJob* job, const Request& r);
QByteArray buildFrame(VfsWriteFileJob* job, Request& r);
void logSent(const VfsWriteFileJob* job, const Request& r);
QByteArray logName(const VfsWriteFileJob* job, const Request& r);
QByteArray buildFrame(VfsDeleteFileJob* job, Request& r);
void logSent(const VfsDeleteFileJob* job, const Request& r);
QByteArray logName(const VfsDeleteFileJob* job, const Request& r);
QByteArray buildFrame(VfsHashFileJob* job, Request& r);
void logSent(const VfsHashFileJob* job, const Request& r);
QByteArray logName(const VfsHashFileJob* job, const Request& r);
QByteArray buildFrame(VfsMakeDirectoryJob* job, Request& r);
void logSent(const VfsMakeDirectoryJob* job, const Request& r);
QByteArray logName(const VfsMakeDirectoryJob* job, const Request& r);

class VfsClientVelmPrivate
{
public:
    explicit VfsClientVelmPrivate(VfsClientVelm* client);

    // Frames to send and records to hand back, gathered under the table lock
    // and delivered after it is released, so that no slot runs while the
    // client holds its lock.
    struct Outbox
    {
        std::vector<QByteArray> frames;
        VfsListDirectoryJob* listDirectory = nullptr;
        VfsListDrivesJob* listDrives = nullptr;
        VfsMoveJob* move = nullptr;
        VfsOpenFileJob* openFile = nullptr;
        VfsCloseFileJob* closeFile = nullptr;
        VfsReadFileJob* readFile = nullptr;
        VfsWriteFileJob* writeFile = nullptr;
        VfsDeleteFileJob* deleteFile = nullptr;
        VfsHashFileJob* hashFile = nullptr;
        VfsMakeDirectoryJob* makeDirectory = nullptr;

        void handBack(VfsListDirectoryJob* job) { listDirectory = job; }
        void handBack(VfsListDrivesJob* job) { listDrives = job; }
        void handBack(VfsMoveJob* job) { move = job; }
        void handBack(VfsOpenFileJob* job) { openFile = job; }
        void handBack(VfsCloseFileJob* job) { closeFile = job; }
        void handBack(VfsReadFileJob* job) { readFile = job; }
        void handBack(VfsWriteFileJob* job) { writeFile = job; }
        void handBack(VfsDeleteFileJob* job) { deleteFile = job; }
        void handBack(VfsHashFileJob* job) { hashFile = job; }
        void handBack(VfsMakeDirectoryJob* job) { makeDirectory = job; }
    };

    quint16 takeTrId();
    bool onClientThread() const { return QThread::currentThread() == q->thread(); }
    bool allEmpty() const;
    int pendingCount() const;

    // Queues a record that is not queued yet: a fresh transaction id, the
    // given job status, and fill(request) for what the kind sets itself, all
    // under the table lock and the record's own lock where it has one. False
    // when there is nothing to queue.
    template <class Job, class Fill>
    bool queue(Table<Job>& table, Job* job, quint32 jobStatus, Fill fill);
    template <class Job>
    bool queue(Table<Job>& table, Job* job, quint32 jobStatus);
    template <class Job>
    Pending<Job>* find(Table<Job>& table, quint16 trId);
    // The record that waits for the reply with this transaction id, or null.
    template <class Job>
    Pending<Job>* awaiting(Table<Job>& table, quint16 trId);
    // The listing that waits for a reply to command (LIST_DIRECTORY or
    // QUERY_LIST_DIRECTORY), or null; name is the command's name in the log.
    Pending<VfsListDirectoryJob>* awaitingListing(const VfsMirkCommand& cmd, quint8 command,
                                                  const char* name);
    template <class Job>
    void runTable(Table<Job>& table, Outbox& out);
    // Fails every record of the table that is not done yet (link down).
    template <class Job>
    void failAll(Table<Job>& table, int* failed);
    void runAllTables(Outbox& out);
    void deliver(Outbox& out);

    // Starts the job timer with 1 ms unless it runs; with 0 ms it is
    // restarted when it runs with another interval.
    void startJobTimer(int interval);
    // The next run of all tables, from the event loop of the client's thread.
    void kickQueued();
    // Runs one table now when called on the client's thread, else queues it.
    template <class Job>
    void kickNow(Table<Job> VfsClientVelmPrivate::*table);

    void releaseListDirectory(VfsListDirectoryJob* job);
    // False when the listing would pass its memory limit; the entries before
    // that are kept.
    bool decodeEntries(VfsListDirectoryJob* job, Request& request, const VfsMirkCommand& cmd);

    // Per kind: the time-out of a request.
    int timeout(const VfsClientJob*) const { return requestTimeout; }
    int timeout(const VfsReadFileJob*) const { return transferTimeout; }
    int timeout(const VfsWriteFileJob*) const { return transferTimeout; }

    // Per reply, in the file of its kind. Every handler runs under the table
    // lock. Only a record that waits for its reply takes one: a repeated or
    // late reply for the same transaction id finds the record in another
    // state and is ignored.
    void processListDirectoryResponse(const VfsMirkCommand& cmd);
    void processQueryListDirectoryResponse(const VfsMirkCommand& cmd);
    void processListDrivesResponse(const VfsMirkCommand& cmd);
    void processMoveResponse(const VfsMirkCommand& cmd);
    void processOpenFileResponse(const VfsMirkCommand& cmd);
    void processCloseFileResponse(const VfsMirkCommand& cmd);
    void processReadFileResponse(const VfsMirkCommand& cmd);
    void processWriteFileResponse(const VfsMirkCommand& cmd);
    void processDeleteFileResponse(const VfsMirkCommand& cmd);
    void processHashFileResponse(const VfsMirkCommand& cmd);
    void processMakeDirectoryResponse(const VfsMirkCommand& cmd);
    void processDirectoryChangedNotification(const VfsMirkCommand& cmd);

    VfsClientVelm* q;
    mutable QMutex tableLock;
    QTimer* jobTimer = nullptr;
    quint16 protocolVersion = VfsMirkCommand::DefaultProtocolVersion;
    QElapsedTimer rxActivity;
    quint16 trIdCounter = 0;
    int requestTimeout = VfsClientVelm::RequestTimeout;
    int transferTimeout = VfsClientVelm::TransferTimeout;
    qint64 listingLimit = VfsClientVelm::MaxListingBytes;

    Table<VfsListDirectoryJob> listDirectoryJobs;
    Table<VfsListDrivesJob> listDrivesJobs;
    Table<VfsMoveJob> moveJobs;
    Table<VfsOpenFileJob> openFileJobs;
    Table<VfsCloseFileJob> closeFileJobs;
    Table<VfsReadFileJob> readFileJobs;
    Table<VfsWriteFileJob> writeFileJobs;
    Table<VfsDeleteFileJob> deleteFileJobs;
    Table<VfsHashFileJob> hashFileJobs;
    Table<VfsMakeDirectoryJob> makeDirectoryJobs;
};

template <class Job, class Fill>
bool VfsClientVelmPrivate::queue(Table<Job>& table, Job* job, quint32 jobStatus, Fill fill)
{
    if (!job)
        return false;
    QMutexLocker lock(&tableLock);
    const auto isJob = [job](const Pending<Job>& p) { return p.job == job; };
    if (std::any_of(table.begin(), table.end(), isJob))
        return false;
    QMutexLocker jobLock(jobMutex(job));
    Pending<Job> pending;
    pending.job = job;
    pending.request.trId = takeTrId();
    job->jobStatus = jobStatus;
    fill(pending.request);
    table.push_back(std::move(pending));
    return true;
}

template <class Job>
bool VfsClientVelmPrivate::queue(Table<Job>& table, Job* job, quint32 jobStatus)
{
    return queue(table, job, jobStatus, [](Request&) {});
}

template <class Job>
Pending<Job>* VfsClientVelmPrivate::find(Table<Job>& table, quint16 trId)
{
    for (Pending<Job>& pending : table) {
        if (pending.request.trId == trId)
            return &pending;
    }
    return nullptr;
}

template <class Job>
Pending<Job>* VfsClientVelmPrivate::awaiting(Table<Job>& table, quint16 trId)
{
    Pending<Job>* p = find(table, trId);
    return p && p->request.state == RequestSent ? p : nullptr;
}

// One walk of one table: sends what is waiting to be sent, fails what waited
// too long for its reply, and hands back at most one finished record, which
// ends the walk.
template <class Job>
void VfsClientVelmPrivate::runTable(Table<Job>& table, Outbox& out)
{
    for (auto it = table.begin(); it != table.end(); ++it) {
        Job* job = it->job;
        Request& r = it->request;
        QMutexLocker jobLock(jobMutex(job));
        if (r.state == RequestDone) {
            Logger::log(Logger::VCLI, "cleanup %s", logName(job, r).constData());
            if (job->jobStatus != VfsClientJob::JobFailed)
                job->jobStatus = VfsClientJob::JobFinished;
            jobLock.unlock();
            table.erase(it);
            out.handBack(job);
            return;
        }
        if (r.state == RequestToSend) {
            job->jobStatus = VfsClientJob::JobRunning;
            QByteArray frame = buildFrame(job, r);
            if (frame.isNull()) {
                Logger::log(Logger::ERR1, "%s:%d cannot build the request TrId %u", __FILE__,
                            __LINE__, unsigned(r.trId));
                fail(*it, FSO_STATUS_IO_ERROR);
                continue;
            }
            logSent(job, r);
            r.sendTimer.start();
            r.state = RequestSent;
            out.frames.push_back(std::move(frame));
        } else if (r.state == RequestSent && r.sendTimer.hasExpired(timeout(job))) {
            Logger::log(Logger::VCLI, "timeout on %s", logName(job, r).constData());
            fail(*it, FSO_STATUS_TIMEOUT);
        }
    }
}

template <class Job>
void VfsClientVelmPrivate::failAll(Table<Job>& table, int* failed)
{
    for (Pending<Job>& pending : table) {
        if (pending.request.state == RequestDone)
            continue;
        QMutexLocker jobLock(jobMutex(pending.job));
        fail(pending, FSO_STATUS_TIMEOUT);
        ++*failed;
    }
}

template <class Job>
void VfsClientVelmPrivate::kickNow(Table<Job> VfsClientVelmPrivate::*table)
{
    if (!onClientThread()) {
        QMetaObject::invokeMethod(
            q, [this, table] { kickNow(table); }, Qt::QueuedConnection);
        return;
    }
    Outbox out;
    {
        QMutexLocker lock(&tableLock);
        runTable(this->*table, out);
    }
    deliver(out);
    startJobTimer(1);
}
