#include "vfs/client/vfsclientvelm.h"

#include "com/wire/termstreamreader.h"
#include "core/logger.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsentryname.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirkfieldmask.h"
#include "vfs/protocol/vfsmirklistentry.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using C = VfsMirkCommand;

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
QMutex* jobMutex(VfsListDirectoryJob* job) { return &job->mutex; }
QMutex* jobMutex(VfsListDrivesJob* job) { return &job->mutex; }
QMutex* jobMutex(VfsMoveJob* job) { return &job->mutex; }
QMutex* jobMutex(VfsClientJob*) { return nullptr; }

QByteArray utf8(const QString& text)
{
    return text.toUtf8();
}

// Listing types: the wire numbers directories 1 and files 2, the client the
// other way round; links, shares and the values between pass unchanged.
quint8 mapEntryType(quint8 wire)
{
    switch (wire) {
    case 1:
        return VfsDirectoryEntry::TypeDirectory;
    case 2:
        return VfsDirectoryEntry::TypeFile;
    default:
        return wire >= 3 && wire <= 8 ? wire : quint8(VfsDirectoryEntry::TypeUnknown);
    }
}

quint8 mapTargetType(quint8 wire)
{
    switch (wire) {
    case 1:
        return VfsDirectoryEntry::TypeDirectory;
    case 2:
        return VfsDirectoryEntry::TypeFile;
    default:
        return wire >= 3 && wire <= 7 ? wire : quint8(VfsDirectoryEntry::TypeUnknown);
    }
}

// --- Request frames --------------------------------------------------------
// Per kind: the request frame, or a null one when it cannot be built.

QByteArray buildFrame(VfsListDirectoryJob* job, Request& r)
{
    if (r.command == C::QueryListDirectory)
        return VfsMirkCommandWriter::queryListDirectoryRequest(r.trId, r.index);
    return VfsMirkCommandWriter::listDirectoryRequest(r.trId, r.flags, r.fields, utf8(job->path));
}

QByteArray buildFrame(VfsListDrivesJob*, Request& r)
{
    return VfsMirkCommandWriter::listDrivesRequest(r.trId, 16, 0);
}

QByteArray buildFrame(VfsMoveJob* job, Request& r)
{
    if (job->sourcePath.isEmpty() || job->destinationPath.isEmpty())
        return QByteArray();
    return VfsMirkCommandWriter::moveRequest(r.trId, job->flags, utf8(job->sourcePath),
                                             utf8(job->destinationPath));
}

QByteArray buildFrame(VfsOpenFileJob* job, Request& r)
{
    if (job->path.isEmpty())
        return QByteArray();
    return VfsMirkCommandWriter::openFileRequest(r.trId, r.version, r.flags, r.fields,
                                                 job->accessTime, job->birthTime,
                                                 job->modificationTime, job->size,
                                                 utf8(job->path));
}

QByteArray buildFrame(VfsCloseFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::closeFileRequest(r.trId, job->flags, job->handle);
}

QByteArray buildFrame(VfsReadFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::readFileRequest(r.trId, job->flags, job->handle, job->offset,
                                                 job->size);
}

QByteArray buildFrame(VfsWriteFileJob* job, Request& r)
{
    if (job->size < 1 || job->size > quint32(VfsWriteFileJob::MaxData))
        return QByteArray();
    return VfsMirkCommandWriter::writeFileRequest(r.trId, job->flags, job->handle, job->offset,
                                                  job->data, int(job->size));
}

QByteArray buildFrame(VfsDeleteFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::deleteFileRequest(r.trId, job->flags, utf8(job->path));
}

QByteArray buildFrame(VfsHashFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::hashFileRequest(r.trId, job->flags, job->handle, job->count,
                                                 job->blockSize, job->offset);
}

QByteArray buildFrame(VfsMakeDirectoryJob* job, Request& r)
{
    return VfsMirkCommandWriter::makeDirectoryRequest(r.trId, job->flags, VfsMirkFieldMask(),
                                                      utf8(job->path));
}

// --- Log texts --------------------------------------------------------------
// Per kind: what is logged when a request is sent, when it times out and when
// its record is handed back.

void logSent(const VfsListDirectoryJob* job, const Request& r)
{
    const QByteArray path = job->path.toUtf8();
    if (r.command == C::QueryListDirectory)
        Logger::log(Logger::VCLI, "send QUERY_LIST_DIRECTORY request %u %s", unsigned(r.trId),
                    path.constData());
    else
        Logger::log(Logger::VCLI, "send LIST_DIRECTORY request TrId %u %s", unsigned(r.trId),
                    path.constData());
}

void logSent(const VfsListDrivesJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send LIST_DRIVES request TrId %u", unsigned(r.trId));
    Logger::log(Logger::VCLI, "send list drives req TrId %u %s", unsigned(r.trId),
                job->label.toUtf8().constData());
}

void logSent(const VfsMoveJob* job, const Request& r)
{
    const QByteArray source = job->sourcePath.toUtf8();
    const QByteArray destination = job->destinationPath.toUtf8();
    Logger::log(Logger::VCLI, "send MOVE request TrId %u, src: %s, dst: %s", unsigned(r.trId),
                source.constData(), destination.constData());
    Logger::log(Logger::VCLI, "send move req TrId %u %s --> %s", unsigned(r.trId),
                source.constData(), destination.constData());
}

void logSent(const VfsOpenFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send open file req TrId %u %s", unsigned(r.trId),
                job->path.toUtf8().constData());
}

void logSent(const VfsCloseFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send close file req TrId %u handle: %u", unsigned(r.trId),
                unsigned(job->handle));
}

void logSent(const VfsReadFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send READ_FILE req TrId %u, handle: %u, offset: %llu, size: %u",
                unsigned(r.trId), unsigned(job->handle),
                static_cast<unsigned long long>(job->offset), unsigned(job->size));
}

void logSent(const VfsWriteFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send WRITE_FILE req TrId %u handle: %u, offset: %llu, size: %u",
                unsigned(r.trId), unsigned(job->handle),
                static_cast<unsigned long long>(job->offset), unsigned(job->size));
}

void logSent(const VfsDeleteFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send delete file req TrId %u %s", unsigned(r.trId),
                job->path.toUtf8().constData());
}

void logSent(const VfsHashFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send HASH_FILE req TrId %u, handle: %u, offset: %llu",
                unsigned(r.trId), unsigned(job->handle),
                static_cast<unsigned long long>(job->offset));
}

void logSent(const VfsMakeDirectoryJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send make directory req TrId %u %s", unsigned(r.trId),
                job->path.toUtf8().constData());
}

void logTimeout(const VfsListDirectoryJob*, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on list dir job");
}

void logTimeout(const VfsListDrivesJob* job, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on list drives job %p", static_cast<const void*>(job));
}

void logTimeout(const VfsMoveJob*, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on move job");
}

void logTimeout(const VfsOpenFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on open file job");
}

void logTimeout(const VfsCloseFileJob* job, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on close file job, handle: %u", unsigned(job->handle));
}

void logTimeout(const VfsReadFileJob*, const Request& r)
{
    Logger::log(Logger::VCLI, "timeout on read file job TrId %u", unsigned(r.trId));
}

void logTimeout(const VfsWriteFileJob*, const Request& r)
{
    Logger::log(Logger::VCLI, "timeout on write file job TrId %u", unsigned(r.trId));
}

void logTimeout(const VfsDeleteFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on delete file job");
}

void logTimeout(const VfsHashFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on hash file job");
}

void logTimeout(const VfsMakeDirectoryJob*, const Request&)
{
    Logger::log(Logger::VCLI, "timeout on make directory job");
}

void logCleanup(const VfsListDirectoryJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup list dir job");
}

void logCleanup(const VfsListDrivesJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup list drives job");
}

void logCleanup(const VfsMoveJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup move job");
}

void logCleanup(const VfsOpenFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup open file job");
}

void logCleanup(const VfsCloseFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup close file job");
}

void logCleanup(const VfsReadFileJob*, const Request& r)
{
    Logger::log(Logger::VCLI, "cleanup read file job TrId %u", unsigned(r.trId));
}

void logCleanup(const VfsWriteFileJob*, const Request& r)
{
    Logger::log(Logger::VCLI, "cleanup write file job TrId %u", unsigned(r.trId));
}

void logCleanup(const VfsDeleteFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup delete file job");
}

void logCleanup(const VfsHashFileJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup hash file job");
}

void logCleanup(const VfsMakeDirectoryJob*, const Request&)
{
    Logger::log(Logger::VCLI, "cleanup make directory job");
}

} // namespace

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
    quint16 protocolVersion = C::DefaultProtocolVersion;
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

VfsClientVelmPrivate::VfsClientVelmPrivate(VfsClientVelm* client) : q(client)
{
    // A random start in 0 to 65534.
    trIdCounter = quint16((quint64(QRandomGenerator::global()->generate()) * 65535) >> 32);
}

quint16 VfsClientVelmPrivate::takeTrId()
{
    // Wraps from 65535 to 0.
    return trIdCounter++;
}

bool VfsClientVelmPrivate::allEmpty() const
{
    return pendingCount() == 0;
}

int VfsClientVelmPrivate::pendingCount() const
{
    return int(listDirectoryJobs.size() + listDrivesJobs.size() + moveJobs.size()
               + openFileJobs.size() + closeFileJobs.size() + readFileJobs.size()
               + writeFileJobs.size() + deleteFileJobs.size() + hashFileJobs.size()
               + makeDirectoryJobs.size());
}

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

Pending<VfsListDirectoryJob>* VfsClientVelmPrivate::awaitingListing(const VfsMirkCommand& cmd,
                                                                    quint8 command,
                                                                    const char* name)
{
    Pending<VfsListDirectoryJob>* p = find(listDirectoryJobs, cmd.trId);
    if (!p) {
        Logger::log(Logger::VCLI, "no %s job for TrId %u found", name, unsigned(cmd.trId));
        return nullptr;
    }
    if (p->request.state != RequestSent || p->request.command != command) {
        Logger::log(Logger::VCLI, "unexpected %s response TrId %u", name, unsigned(cmd.trId));
        return nullptr;
    }
    return p;
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
            logCleanup(job, r);
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
            logTimeout(job, r);
            fail(*it, FSO_STATUS_TIMEOUT);
        }
    }
}

void VfsClientVelmPrivate::runAllTables(Outbox& out)
{
    runTable(listDirectoryJobs, out);
    runTable(listDrivesJobs, out);
    runTable(moveJobs, out);
    runTable(openFileJobs, out);
    runTable(closeFileJobs, out);
    runTable(readFileJobs, out);
    runTable(writeFileJobs, out);
    runTable(deleteFileJobs, out);
    runTable(hashFileJobs, out);
    runTable(makeDirectoryJobs, out);
}

void VfsClientVelmPrivate::deliver(Outbox& out)
{
    for (const QByteArray& frame : out.frames)
        emit q->fsoTransmit(frame);
    if (!out.frames.empty())
        emit q->transmit();
    if (out.listDirectory)
        emit q->listDirectoryUpdate(out.listDirectory);
    if (out.listDrives)
        emit q->listDrivesUpdate(out.listDrives);
    if (out.move)
        emit q->moveUpdate(out.move);
    if (out.openFile)
        emit q->openFileUpdate(out.openFile);
    if (out.closeFile)
        emit q->closeFileUpdate(out.closeFile);
    if (out.readFile) {
        Logger::log(Logger::VCLI, "emit readFileUpdate(job), job %p",
                    static_cast<void*>(out.readFile));
        emit q->readFileUpdate(out.readFile);
    }
    if (out.writeFile)
        emit q->writeFileUpdate(out.writeFile);
    if (out.deleteFile)
        emit q->deleteFileUpdate(out.deleteFile);
    if (out.hashFile)
        emit q->hashFileUpdate(out.hashFile);
    if (out.makeDirectory)
        emit q->makeDirectoryUpdate(out.makeDirectory);
}

void VfsClientVelmPrivate::startJobTimer(int interval)
{
    if (!onClientThread()) {
        QMetaObject::invokeMethod(
            q, [this, interval] { startJobTimer(interval); }, Qt::QueuedConnection);
        return;
    }
    if (interval == 0) {
        if (!jobTimer->isActive() || jobTimer->interval() != 0)
            jobTimer->start(0);
    } else if (!jobTimer->isActive()) {
        jobTimer->start(interval);
    }
}

void VfsClientVelmPrivate::kickQueued()
{
    QMetaObject::invokeMethod(q, "jobTimerFired", Qt::QueuedConnection);
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

void VfsClientVelmPrivate::releaseListDirectory(VfsListDirectoryJob* job)
{
    QMutexLocker lock(&tableLock);
    auto it = std::find_if(listDirectoryJobs.begin(), listDirectoryJobs.end(),
                           [job](const Pending<VfsListDirectoryJob>& p) { return p.job == job; });
    if (it != listDirectoryJobs.end()) {
        Logger::log(Logger::VCLI, "release list dir job TrId %u", unsigned(it->request.trId));
        listDirectoryJobs.erase(it);
    }
}

// --- Replies ----------------------------------------------------------------
// Every handler runs under the table lock. Only a record that waits for its
// reply takes one: a repeated or late reply for the same transaction id finds
// the record in another state and is ignored.

void VfsClientVelmPrivate::processListDirectoryResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsListDirectoryJob>* p = awaitingListing(cmd, C::ListDirectory, "LIST_DIRECTORY");
    if (!p)
        return;
    VfsListDirectoryJob* job = p->job;
    Request& r = p->request;
    QMutexLocker jobLock(&job->mutex);
    if (cmd.status != FSO_STATUS_OK) {
        fail(*p, cmd.status);
        return;
    }
    r.replyFields = cmd.fields;
    job->separator = (cmd.flags & C::ListClientBit) ? QChar('\\') : QChar('/');
    job->fileId = (cmd.flags & C::ListWantFileId) ? cmd.fileId : 0;
    r.command = C::QueryListDirectory;
    r.state = RequestToSend;
}

bool VfsClientVelmPrivate::decodeEntries(VfsListDirectoryJob* job, Request& request,
                                         const VfsMirkCommand& cmd)
{
    const quint32 fieldSet = request.replyFields.has(0) ? request.replyFields.value(0) : 0;
    const quint32 area = std::min<quint32>(cmd.entryAreaLength, C::EntryAreaSize);
    com::TermStreamReader reader(cmd.entryArea, area);
    VfsMirkListEntry wire;
    for (int i = 0; i < cmd.count; ++i) {
        if (!wire.read(reader, fieldSet)) {
            Logger::log(Logger::ERR1, "listing page TrId %u: entry %d of %u cannot be read",
                        unsigned(cmd.trId), i, unsigned(cmd.count));
            break;
        }
        // Names become local path components later; keep only single,
        // harmless components.
        if (!isSafeEntryName(wire.name)) {
            Logger::log(Logger::ERR1, "listing page TrId %u: drop entry with unusable name",
                        unsigned(cmd.trId));
            continue;
        }
        VfsDirectoryEntry entry;
        entry.name = QString::fromUtf8(wire.name);
        if (fieldSet & VfsMirkListEntry::FieldType) {
            entry.hidden = (wire.type & VfsMirkListEntry::TypeHidden) ? 1 : 0;
            entry.type = mapEntryType(wire.type & 0x7F);
        }
        entry.size = wire.size;
        entry.atime = wire.accessTime;
        entry.ctime = wire.birthTime;
        entry.mtime = wire.modificationTime;
        if ((fieldSet & VfsMirkListEntry::FieldReference) == VfsMirkListEntry::FieldReference
            && (entry.type == VfsDirectoryEntry::TypeSymbolicLink
                || entry.type == VfsDirectoryEntry::TypeShare)) {
            if (!wire.reference.isEmpty()) {
                entry.ref = QString::fromUtf8(wire.reference);
                Logger::log(Logger::VCLI, "name: %s, ref: %s", wire.name.constData(),
                            wire.reference.constData());
            }
            entry.targetType = mapTargetType(wire.targetType);
        }
        entry.mode = wire.access;
        entry.inode = wire.inode;
        entry.nlinks = wire.linkCount;
        const qint64 cost =
            qint64(sizeof(VfsDirectoryEntry)) + 2 * qint64(entry.name.size() + entry.ref.size());
        if (request.listedBytes + cost > listingLimit)
            return false;
        request.listedBytes += cost;
        job->entries.push_back(std::move(entry));
    }
    return true;
}

void VfsClientVelmPrivate::processQueryListDirectoryResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsListDirectoryJob>* p =
        awaitingListing(cmd, C::QueryListDirectory, "QUERY_LIST_DIRECTORY");
    if (!p)
        return;
    VfsListDirectoryJob* job = p->job;
    Request& r = p->request;
    QMutexLocker jobLock(&job->mutex);
    const auto refuse = [&](const char* why) {
        Logger::log(Logger::ERR1, "listing TrId %u failed: %s", unsigned(cmd.trId), why);
        fail(*p, FSO_STATUS_IO_ERROR);
    };
    if (cmd.index != r.index) {
        refuse("page for another index");
        return;
    }
    const quint8 status = cmd.status;
    if ((status == FSO_STATUS_OK || status == FSO_STATUS_COMPLETE) && cmd.count > 0
        && cmd.entryAreaLength > 0 && !decodeEntries(job, r, cmd)) {
        refuse("listing too large");
        return;
    }
    if (status == FSO_STATUS_COMPLETE) {
        finish(*p, status);
        return;
    }
    if (status != FSO_STATUS_OK) {
        fail(*p, status);
        return;
    }
    job->status = status;
    // More entries follow. A page that moves the listing no further would
    // make it ask for the same page for ever.
    if (cmd.count == 0) {
        refuse("page without entries");
        return;
    }
    if (r.index > std::numeric_limits<quint32>::max() - cmd.count) {
        refuse("listing too long");
        return;
    }
    r.command = C::QueryListDirectory;
    r.state = RequestToSend;
    r.index += cmd.count;
}

void VfsClientVelmPrivate::processListDrivesResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsListDrivesJob>* p = awaiting(listDrivesJobs, cmd.trId);
    if (!p)
        return;
    VfsListDrivesJob* job = p->job;
    QMutexLocker jobLock(&job->mutex);
    const int count = std::min<int>(cmd.count, C::MaxDrives);
    for (int i = 0; i < count; ++i) {
        const C::Drive& wire = cmd.drives[i];
        VfsDrive drive;
        drive.trId = cmd.trId;
        drive.name = QString::fromUtf8(cmd.driveName(i));
        QString path = QString::fromUtf8(cmd.driveRootPath(i));
        while (path.endsWith(QLatin1Char('\\')))
            path.chop(1);
        drive.path = path;
        drive.type = wire.type;
        drive.plugType = wire.plugType;
        drive.state = wire.state;
        drive.bytesAvailable = wire.bytesAvailable;
        drive.bytesTotal = wire.bytesTotal;
        Logger::log(Logger::VCLI, "drive path: %s, name %s, size %llu/%llu GB",
                    drive.path.toUtf8().constData(), drive.name.toUtf8().constData(),
                    static_cast<unsigned long long>(drive.bytesAvailable / 1000000000ull),
                    static_cast<unsigned long long>(drive.bytesTotal / 1000000000ull));
        job->drives.push_back(std::move(drive));
    }
    finish(*p, cmd.status);
}

void VfsClientVelmPrivate::processMoveResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsMoveJob>* p = awaiting(moveJobs, cmd.trId);
    if (!p)
        return;
    QMutexLocker jobLock(&p->job->mutex);
    finish(*p, cmd.status);
}

void VfsClientVelmPrivate::processOpenFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsOpenFileJob>* p = awaiting(openFileJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    p->job->handle = cmd.handle;
}

void VfsClientVelmPrivate::processCloseFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsCloseFileJob>* p = awaiting(closeFileJobs, cmd.trId);
    if (!p)
        return;
    p->job->status = cmd.status;
    p->job->handle = cmd.handle;
    p->request.state = RequestDone;
}

void VfsClientVelmPrivate::processReadFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsReadFileJob>* p = find(readFileJobs, cmd.trId);
    if (!p)
        return;
    VfsReadFileJob* job = p->job;
    if (job->jobStatus != VfsClientJob::JobRunning || p->request.state != RequestSent) {
        Logger::log(Logger::VCLI, "read file job TrId %u, rsp while not in state JobRunning",
                    unsigned(cmd.trId));
        return;
    }
    p->request.state = RequestDone;
    // The data is written at the offset that was asked for: a reply for
    // another offset, or with more bytes than were asked for, must not be
    // taken. A success without data is malformed too (the server answers an
    // empty read with an error).
    const quint32 wanted = std::min<quint32>(job->size, VfsReadFileJob::MaxData);
    const quint32 length = cmd.dataLength;
    const char* fault = nullptr;
    if (cmd.offset != job->offset)
        fault = "reply for another offset";
    else if (length > wanted)
        fault = "more data than asked for";
    else if (cmd.status == FSO_STATUS_OK && length == 0)
        fault = "success without data";
    if (fault) {
        Logger::log(Logger::ERR1,
                    "read file job TrId %u failed: %s (offset %llu/%llu, size %u/%u)",
                    unsigned(cmd.trId), fault, static_cast<unsigned long long>(cmd.offset),
                    static_cast<unsigned long long>(job->offset), unsigned(length),
                    unsigned(wanted));
        fail(*p, FSO_STATUS_IO_ERROR);
        job->length = 0;
        return;
    }
    job->status = cmd.status;
    job->length = length;
    if (length > 0)
        std::memcpy(job->data, cmd.data, length);
}

void VfsClientVelmPrivate::processWriteFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsWriteFileJob>* p = awaiting(writeFileJobs, cmd.trId);
    if (!p)
        return;
    VfsWriteFileJob* job = p->job;
    p->request.state = RequestDone;
    if (cmd.written > job->size) {
        Logger::log(Logger::ERR1, "write file job TrId %u failed: %u bytes written of %u",
                    unsigned(cmd.trId), unsigned(cmd.written), unsigned(job->size));
        fail(*p, FSO_STATUS_IO_ERROR);
        job->written = 0;
        return;
    }
    job->status = cmd.status;
    job->written = cmd.written;
}

void VfsClientVelmPrivate::processDeleteFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsDeleteFileJob>* p = awaiting(deleteFileJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    if (cmd.pathLength > 0 && cmd.status != FSO_STATUS_OK)
        p->job->failedPath = QString::fromUtf8(cmd.pathBytes());
    else
        p->job->failedPath.clear();
}

void VfsClientVelmPrivate::processHashFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsHashFileJob>* p = awaiting(hashFileJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    VfsHashFileJob* job = p->job;
    job->replyFlags = quint8(cmd.flags);
    job->digestsReceived = 0;
    job->digestBytes = 0;
    const quint32 bytes = cmd.digestLength;
    if (bytes == 0 || bytes > quint32(VfsHashFileJob::MaxDigestBytes))
        return;
    // One digest per block asked for, at most.
    if (cmd.count > job->count || bytes != quint32(cmd.count) * VfsHashFileJob::DigestSize) {
        Logger::log(Logger::ERR1, "hash file job TrId %u failed: %u digests for %u blocks",
                    unsigned(cmd.trId), unsigned(cmd.count), unsigned(job->count));
        fail(*p, FSO_STATUS_IO_ERROR);
        return;
    }
    job->digestsReceived = cmd.count;
    job->digestBytes = bytes;
    std::memcpy(job->digests, cmd.digests, bytes);
}

void VfsClientVelmPrivate::processMakeDirectoryResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsMakeDirectoryJob>* p = awaiting(makeDirectoryJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    p->job->existing = cmd.existing;
}

void VfsClientVelmPrivate::processDirectoryChangedNotification(const VfsMirkCommand& cmd)
{
    emit q->directoryChanged(QString::fromUtf8(cmd.pathBytes()));
}

// --- VfsClientVelm ----------------------------------------------------------

VfsClientVelm::VfsClientVelm(QObject* parent)
    : VfsClient(parent), d(new VfsClientVelmPrivate(this))
{
    qRegisterMetaType<VfsMirkCommand*>("VfsMirkCommand*");
    d->jobTimer = new QTimer(this);
    d->jobTimer->setSingleShot(true);
    connect(d->jobTimer, &QTimer::timeout, this, &VfsClientVelm::jobTimerFired);
}

VfsClientVelm::~VfsClientVelm() = default;

void VfsClientVelm::setProtocolVersion(quint16 version)
{
    QMutexLocker lock(&d->tableLock);
    d->protocolVersion = version;
}

quint16 VfsClientVelm::protocolVersion() const
{
    QMutexLocker lock(&d->tableLock);
    return d->protocolVersion;
}

void VfsClientVelm::setTimeouts(int requestTimeout, int transferTimeout)
{
    QMutexLocker lock(&d->tableLock);
    d->requestTimeout = requestTimeout;
    d->transferTimeout = transferTimeout;
}

void VfsClientVelm::setListingLimit(qint64 bytes)
{
    QMutexLocker lock(&d->tableLock);
    d->listingLimit = bytes;
}

quint16 VfsClientVelm::nextTrId() const
{
    QMutexLocker lock(&d->tableLock);
    return d->trIdCounter;
}

void VfsClientVelm::setNextTrId(quint16 trId)
{
    QMutexLocker lock(&d->tableLock);
    d->trIdCounter = trId;
}

int VfsClientVelm::pendingJobs() const
{
    QMutexLocker lock(&d->tableLock);
    return d->pendingCount();
}

void VfsClientVelm::listDirectory(VfsListDirectoryJob* job)
{
    QPointer<VfsClientVelm> self(this);
    const auto fill = [self, job](Request& r) {
        r.command = C::ListDirectory;
        r.flags = C::ListHidden | C::ListClientBit | C::ListWantFileId;
        if (job->watch && job->path != QLatin1String("/"))
            r.flags |= C::ListWatch;
        r.fields.set(0, VfsMirkListEntry::FieldsAll);
        r.index = 0;
        r.replyFields.clear();
        job->release = [self](VfsListDirectoryJob* released) {
            if (self && released)
                self->d->releaseListDirectory(released);
        };
    };
    if (d->queue(d->listDirectoryJobs, job, VfsClientJob::JobQueued, fill))
        d->kickQueued();
}

void VfsClientVelm::listDrives(VfsListDrivesJob* job)
{
    const auto fill = [job](Request&) {
        job->status = FSO_STATUS_IO_ERROR;
        job->drives.clear();
    };
    if (d->queue(d->listDrivesJobs, job, VfsClientJob::JobQueued, fill))
        d->kickQueued();
}

void VfsClientVelm::move(VfsMoveJob* job)
{
    if (d->queue(d->moveJobs, job, VfsClientJob::JobQueued))
        d->kickQueued();
}

void VfsClientVelm::openFile(VfsOpenFileJob* job)
{
    const auto fill = [this, job](Request& r) {
        const quint16 version = d->protocolVersion;
        quint32 flags = job->flags;
        quint32 timeFields = 0;
        bool sendTimes = false;
        // Times go out from version 2 on, for opens that write or only set
        // times; the birth time never does.
        if (version >= 2 && (flags & (C::OpenWrite | C::OpenTimes))) {
            if (job->accessTime > 0) {
                flags |= C::OpenTimes;
                sendTimes = true;
                timeFields = C::TimeAccess;
                if (job->modificationTime > 0)
                    timeFields |= C::TimeModification;
            } else if (job->modificationTime > 0) {
                flags |= C::OpenTimes;
                sendTimes = true;
                timeFields = C::TimeModification;
            }
        }
        if (version != 2 && (flags & C::OpenTruncate))
            timeFields |= C::TimeSize;
        r.version = version;
        r.flags = flags;
        r.fields.clear();
        // The size travels only with the times' field mask.
        if (sendTimes)
            r.fields.set(0, timeFields);
    };
    if (d->queue(d->openFileJobs, job, VfsClientJob::JobQueued, fill))
        d->kickQueued();
}

void VfsClientVelm::closeFile(VfsCloseFileJob* job)
{
    if (d->queue(d->closeFileJobs, job, VfsClientJob::JobRunning))
        d->kickQueued();
}

void VfsClientVelm::readFile(VfsReadFileJob* job)
{
    if (d->queue(d->readFileJobs, job, VfsClientJob::JobRunning))
        d->kickNow(&VfsClientVelmPrivate::readFileJobs);
}

void VfsClientVelm::writeFile(VfsWriteFileJob* job)
{
    if (d->queue(d->writeFileJobs, job, VfsClientJob::JobRunning))
        d->kickNow(&VfsClientVelmPrivate::writeFileJobs);
}

void VfsClientVelm::deleteFile(VfsDeleteFileJob* job)
{
    if (d->queue(d->deleteFileJobs, job, VfsClientJob::JobQueued))
        d->kickQueued();
}

void VfsClientVelm::hashFile(VfsHashFileJob* job)
{
    if (d->queue(d->hashFileJobs, job, VfsClientJob::JobQueued))
        d->kickNow(&VfsClientVelmPrivate::hashFileJobs);
}

void VfsClientVelm::makeDirectory(VfsMakeDirectoryJob* job)
{
    if (d->queue(d->makeDirectoryJobs, job, VfsClientJob::JobQueued))
        d->kickQueued();
}

void VfsClientVelm::processIncomingCommand(VfsMirkCommand* cmd)
{
    if (!cmd)
        return;
    Logger::log(Logger::VCLI, "processIncomingCommand() thread: %p",
                static_cast<void*>(QThread::currentThread()));
    VfsClientVelmPrivate::Outbox out;
    int timerInterval = -1;
    {
        QMutexLocker lock(&d->tableLock);
        switch (cmd->command) {
        case C::ListDrives | C::ReplyBit:
            Logger::log(Logger::VCLI, "process LIST_DRIVES response TrId %u drives.size %u",
                        unsigned(cmd->trId), unsigned(cmd->count));
            d->processListDrivesResponse(*cmd);
            break;
        case C::ListDirectory | C::ReplyBit:
            Logger::log(Logger::VCLI, "process LIST_DIRECTORY response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processListDirectoryResponse(*cmd);
            break;
        case C::QueryListDirectory | C::ReplyBit:
            Logger::log(Logger::VCLI,
                        "process QUERY_LIST_DIRECTORY response TrId %u status %u index %u size %u",
                        unsigned(cmd->trId), unsigned(cmd->status), unsigned(cmd->index),
                        unsigned(cmd->count));
            d->processQueryListDirectoryResponse(*cmd);
            break;
        case C::DirectoryChanged:
            Logger::log(Logger::VCLI, "process DIRECTORY_CHANGED notification, path %s",
                        cmd->pathBytes().constData());
            break; // emitted below, outside the lock
        case C::Move | C::ReplyBit:
            Logger::log(Logger::VCLI, "process MOVE response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processMoveResponse(*cmd);
            break;
        case C::OpenFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process OPEN_FILE response TrId %u status %u handle %u",
                        unsigned(cmd->trId), unsigned(cmd->status), unsigned(cmd->handle));
            d->processOpenFileResponse(*cmd);
            break;
        case C::CloseFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process CLOSE_FILE response TrId %u status %u handle %u",
                        unsigned(cmd->trId), unsigned(cmd->status), unsigned(cmd->handle));
            d->processCloseFileResponse(*cmd);
            break;
        case C::ReadFile | C::ReplyBit:
            Logger::log(Logger::VCLI,
                        "process READ_FILE response TrId %u status %u, offset: %llu, size: %u",
                        unsigned(cmd->trId), unsigned(cmd->status),
                        static_cast<unsigned long long>(cmd->offset), unsigned(cmd->dataLength));
            d->processReadFileResponse(*cmd);
            d->runTable(d->readFileJobs, out);
            timerInterval = 1;
            break;
        case C::WriteFile | C::ReplyBit:
            Logger::log(Logger::VCLI,
                        "process WRITE_FILE response TrId %u status %u, offset: %llu, size: %u",
                        unsigned(cmd->trId), unsigned(cmd->status),
                        static_cast<unsigned long long>(cmd->offset), unsigned(cmd->written));
            d->processWriteFileResponse(*cmd);
            d->runTable(d->writeFileJobs, out);
            timerInterval = 1;
            break;
        case C::DeleteFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process DELETE_FILE response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processDeleteFileResponse(*cmd);
            timerInterval = 0;
            break;
        case C::HashFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process HASH_FILE response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processHashFileResponse(*cmd);
            timerInterval = 0;
            break;
        case C::MakeDirectory | C::ReplyBit:
            Logger::log(Logger::VCLI, "process MAKE_DIRECTORY response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processMakeDirectoryResponse(*cmd);
            timerInterval = 0;
            break;
        default:
            Logger::log(Logger::VCLI, "drop unknown command 0x%02X", unsigned(cmd->command));
            break;
        }
    }
    d->deliver(out);
    if (timerInterval >= 0)
        d->startJobTimer(timerInterval);
    if (cmd->command == C::DirectoryChanged)
        d->processDirectoryChangedNotification(*cmd);
    emit processedCommand(cmd);
}

void VfsClientVelm::jobTimerFired()
{
    VfsClientVelmPrivate::Outbox out;
    {
        QMutexLocker lock(&d->tableLock);
        if (d->allEmpty()) {
            Logger::log(Logger::VCLI, "all jobs done");
            d->jobTimer->stop();
            return;
        }
        d->runAllTables(out);
    }
    d->deliver(out);
    d->startJobTimer(1);
}

void VfsClientVelm::onRxOngoing()
{
    d->rxActivity.restart();
}

void VfsClientVelm::onThreadFinished()
{
    d->jobTimer->stop();
    QMutexLocker lock(&d->tableLock);
    d->listDirectoryJobs.clear();
    d->openFileJobs.clear();
    d->readFileJobs.clear();
    d->writeFileJobs.clear();
    d->makeDirectoryJobs.clear();
}
