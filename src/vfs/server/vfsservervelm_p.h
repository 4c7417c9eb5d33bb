#pragma once

// Private parts of VfsServerVelm, shared by the files that implement it:
// vfsservervelm.cpp (construction, dispatch, change notices),
// vfsserverlisting.cpp (drives, directories and their pages),
// vfsserverfileio.cpp (open, close, read, write, hash) and
// vfsservertree.cpp (move, delete, make directory).

#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/server/vfsaccesstest.h"
#include "vfs/server/vfsopenfiletable.h"
#include "vfs/server/vfspathguard.h"
#include "vfs/server/vfsservervelm.h"
#include "vfs/server/vfstrash.h"

#include <QByteArray>
#include <QFutureWatcher>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QThreadPool>
#include <QWaitCondition>
#include <QtConcurrent>

#include <deque>
#include <memory>
#include <sys/stat.h>
#include <vector>

class QTimer;

// Where a listing or file job stands.
enum VfsServerJobState {
    JobRunning = 1, // a worker builds the page or does the file work
    JobWaiting = 2, // listing: waits for the next page request
    JobBuilt = 3,   // the reply is ready
    JobDone = 4,
};

// One open directory listing: its entries are read on the first page and
// served page by page as the client asks.
struct QueryListDirectoryJob
{
    int state = JobDone;
    VfsPathGuard guard; // the shares and access mode when the listing was opened
    VfsAccessTest access;
    int countdown = 0;
    quint16 trId = 0;
    quint32 index = 0;
    quint32 flags = 0;
    quint32 fieldSet = 0;
    QByteArray path; // as the request gave it

    bool listed = false;
    bool sharesRoot = false;
    QByteArray directory;        // resolved local directory (native)
    QString lexicalDirectory;    // the directory as the peer named it, "%shares" mapped
    dev_t device = 0;            // ...and the one that was read for the first page
    ino_t inode = 0;
    // While a page is built: how the entries of the directory are reached,
    // through the descriptor it was opened by when the system offers that.
    QByteArray base;
    QList<QByteArray> names;     // entries of a directory
    std::vector<int> shareIndex; // entries of the "%shares" listing
    // Where the next page starts when the client asks for what it was sent so far.
    quint32 sentCount = 0;
    int nextPosition = 0;

    QByteArray page;
    quint8 status = 0;
    QFutureWatcher<void> watcher;

    int entryCount() const { return sharesRoot ? int(shareIndex.size()) : names.size(); }
};

// A read, write or hash request on an open file, or the open of a file.
struct FileJob
{
    enum Kind { Read, Write, Hash, Open, KindCount };

    Kind kind = Read;
    int state = JobDone;
    quint16 trId = 0;
    quint8 flags = 0;
    quint64 offset = 0;
    quint32 size = 0;      // read: bytes wanted
    quint16 count = 0;     // hash: blocks wanted
    quint32 blockSize = 0; // hash
    std::shared_ptr<VfsOpenFile> file;
    std::shared_ptr<const VfsServerVelm::WriteFault> writeFault; // null: none
    void (*worker)(FileJob*) = nullptr;
    QByteArray buffer; // write: the data; read: the data read; hash: the digests
    int length = 0;
    quint8 status = FSO_STATUS_IO_ERROR;
    quint32 written = 0;
    // Open: what the request asked for; the file it opened is file.
    QByteArray path; // native
    quint32 openFlags = 0;
    quint32 timeFields = 0;
    qint64 accessTime = 0;
    qint64 birthTime = 0;
    qint64 modificationTime = 0;
    quint64 openSize = 0;
    bool keepTimes = false;  // the peer's protocol passes times with an open
    bool restricted = false; // no link on the way
    bool tableFull = false;  // the open-file table had no room when it was asked

    // The size of the file, with its lock held; false when the file was closed,
    // was not opened for what the job does, or cannot be examined.
    bool fileSize(quint64* size) const
    {
        const bool allowed = kind == Write ? file->isWritable() : file->isReadable();
        struct stat st;
        if (!file->isOpen() || !allowed || ::fstat(file->fd(), &st) != 0)
            return false;
        *size = quint64(st.st_size);
        return true;
    }
};

// The job of a finished watcher ("j" points back at it) while it is still
// active; null for a stray or stale signal.
template <typename Job>
Job* activeJob(const std::vector<std::unique_ptr<Job>>& jobs, QObject* watcher)
{
    if (!watcher)
        return nullptr;
    Job* job = static_cast<Job*>(watcher->property("j").value<void*>());
    for (const auto& active : jobs) {
        if (active.get() == job)
            return job;
    }
    return nullptr;
}

// The file work of a peer, shared by the server (on its thread) and the one
// runner on the pool that does it. The runner takes the jobs in the order
// they came, one after another (jobs on one file would only wait for its lock
// anyway), and hands the finished ones back in a batch: one pass of the
// server's event loop answers every job done by then, and a burst of small
// requests wakes the pool and the server once, not twice per request. The
// jobs wait in its queue rather than on the shared pool, whose threads the
// whole program uses.
struct FileWorkQueue
{
    QMutex mutex;
    QWaitCondition idle;            // the runner stopped
    std::deque<FileJob*> waiting;   // not started yet
    std::vector<FileJob*> finished; // done, not yet handed back
    bool running = false;           // a runner is on the pool
    bool handBackPosted = false;    // the server is told already
};

// Runs work on the pool, or at once when the server works inline; either way
// the watcher given the future reports in a later pass of the event loop.
template <typename Work>
QFuture<void> runWork(bool workInline, Work work)
{
    if (!workInline)
        return QtConcurrent::run(QThreadPool::globalInstance(), std::move(work));
    work();
    QFutureInterface<void> done;
    done.reportStarted();
    done.reportFinished();
    return done.future();
}

class VfsServerVelmPrivate
{
public:
    explicit VfsServerVelmPrivate(VfsServerVelm* server) : q(server) {}

    VfsServerVelm* const q;
    quint8 accessMode = VfsPathGuard::Restricted;
    quint16 peerVersion = 0;
    VfsServerVelm::Timings timings;
    VfsAccessTest access;
    std::unique_ptr<VfsTrash> trash;
    VfsServerVelm::DriveSource driveSource;
    VfsServerVelm::BacklogCheck backedUp;
    std::shared_ptr<const VfsServerVelm::WriteFault> writeFault; // null: none
    quint64 droppedWhileBackedUp = 0;

    mutable QMutex sharesMutex; // setShares() may come from the peer's thread
    std::vector<PeerAclDto> shares;

    QTimer* jobTimer = nullptr;
    QTimer* idleTimer = nullptr;

    std::vector<std::unique_ptr<QueryListDirectoryJob>> listingJobs; // active, in order
    std::vector<std::unique_ptr<QueryListDirectoryJob>> listingPool;
    std::deque<QueryListDirectoryJob*> waitingPages; // active, page asked for, not started yet
    int runningPages = 0;
    std::vector<std::unique_ptr<FileJob>> fileJobs; // active
    std::shared_ptr<FileWorkQueue> fileWork = std::make_shared<FileWorkQueue>();
    // Opens have a runner of their own: making a file can take long on a
    // busy file system, and neither waits for the other.
    std::shared_ptr<FileWorkQueue> openWork = std::make_shared<FileWorkQueue>();
    std::vector<std::unique_ptr<FileJob>> filePool[FileJob::KindCount];
    std::vector<QFutureWatcher<quint8>*> moveTasks;

    VfsOpenFileTable files;
    quint16 notificationCounter = 0;

    // Watched local directory -> the names a client listed it under.
    QHash<QString, QStringList> watchAliases;
    QStringList watchAliasOrder;

    VfsPathGuard guard() const
    {
        QMutexLocker lock(&sharesMutex);
        return VfsPathGuard(accessMode, shares);
    }
    bool restricted() const { return accessMode == VfsPathGuard::Restricted; }

    // The status that answers a path the guard did not let through.
    static quint8 refusal(const VfsPathGuard::Decision& decision);
    // The status that answers a write to the disk that failed with error: a
    // full file system (or quota) is told apart from any other failure.
    static quint8 writeFailure(int error);
    // The errno the write fault stand-in answers for the operation, 0 when
    // the write may go (always without a stand-in).
    static int faultOf(const std::shared_ptr<const VfsServerVelm::WriteFault>& fault,
                       VfsServerVelm::WriteOperation operation, const QByteArray& nativePath);
    // Whether anything, a link included, stands at the path.
    static bool exists(const QByteArray& nativePath, struct stat* st = nullptr);

    FileJob* takeFileJob(FileJob::Kind kind, const VfsMirkCommand* cmd, quint8* refusal,
                         quint8 (*check)(const VfsMirkCommand*) = nullptr);
    // A job of the kind from its pool, in the active list; null when the
    // peer has too many jobs queued already.
    FileJob* newFileJob(FileJob::Kind kind, const VfsMirkCommand* cmd);
    void start(FileJob* job, void (*worker)(FileJob*));
    void startWaitingPages();
    // On the pool: the waiting jobs, until none is left.
    static void runFileWork(const std::shared_ptr<FileWorkQueue>& work, VfsServerVelm* server);
    // Tells the server (once until it looks) that finished jobs wait. Called
    // with the queue's lock held.
    static void postHandBack(FileWorkQueue* work, VfsServerVelm* server);
    // Stops the runners: jobs not started stay undone; the running ones end.
    void stopFileWork();
    void recycle(FileJob* job);
    void closeAfterUse(FileJob* job);
    void rememberAlias(const QString& local, const QString& name);

    static void buildPage(QueryListDirectoryJob* job);
    static bool fillEntry(QueryListDirectoryJob* job, int position, VfsMirkListEntry* entry);
    static void readWorker(FileJob* job);
    static void writeWorker(FileJob* job);
    static void hashWorker(FileJob* job);
    static void openWorker(FileJob* job);
};
