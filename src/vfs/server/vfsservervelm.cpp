#include "vfs/server/vfsservervelm.h"

#include "core/logger.h"
#include "crypto/sha1.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"
#include "vfs/server/vfsaccesstest.h"
#include "vfs/server/vfsfileoperations.h"
#include "vfs/server/vfsfiletimes.h"
#include "vfs/server/vfsopenfiletable.h"
#include "vfs/server/vfspathguard.h"
#include "vfs/server/vfsdesktoptrash.h"
#include "vfs/watch/vfswatcher.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <cerrno>
#include <climits>
#include <deque>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using C = VfsMirkCommand;
using Entry = VfsMirkListEntry;

// A listing page ends when less than this is left in its buffer.
constexpr int kPageReserve = 160;
constexpr int kMaxDigestsPerReply = C::DigestSize / C::DigestBytes; // 3220
// Work a peer may have queued at once. Each file job holds up to 64400
// bytes and each listing its entry list; beyond these a request is refused
// instead of growing memory without bound.
constexpr int kMaxFileJobs = 256;
// File work of a peer runs one job at a time, in the order the requests came
// (jobs on one file would only wait for its lock anyway): the rest wait here
// rather than on the shared pool, whose threads the whole program uses.
constexpr int kMaxRunningFileJobs = 1;
// Listing pages of a peer built at once; the others wait here too.
constexpr int kMaxRunningPages = 2;
constexpr int kMaxListingJobs = 64;
constexpr int kMaxMoveTasks = 8;
// Client names remembered for watched directories listed under another name.
constexpr int kMaxWatchAliases = 256;
constexpr int kMaxAliasesPerDirectory = 8;

enum JobState {
    JobRunning = 1, // a worker builds the page or does the file work
    JobWaiting = 2, // listing: waits for the next page request
    JobBuilt = 3,   // the reply is ready
    JobDone = 4,
};

const QString kDrivesPath = QStringLiteral("%drives");

quint8 refusal(const VfsPathGuard::Decision& decision)
{
    return decision.verdict == VfsPathGuard::Malformed ? FSO_STATUS_INVALID_PARAMETER
                                                       : FSO_STATUS_NOT_PERMITTED;
}

bool exists(const QByteArray& nativePath, struct stat* st = nullptr)
{
    struct stat local;
    return ::lstat(nativePath.constData(), st ? st : &local) == 0;
}

// pread until length bytes or the end of the file; -1 on error.
qint64 readAt(int fd, char* data, qint64 length, qint64 offset)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, data + done, size_t(length - done), off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

qint64 writeAt(int fd, const char* data, qint64 length, qint64 offset)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, data + done, size_t(length - done), off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += n;
    }
    return done;
}

// The request path less its last component.
QString parentOfRequestPath(const QByteArray& path)
{
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    const int slash = trimmed.lastIndexOf('/');
    if (slash < 0)
        return QString();
    return QString::fromUtf8(slash == 0 ? QByteArray("/") : trimmed.left(slash));
}

} // namespace

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

// A read, write or hash request on an open file.
struct FileJob
{
    enum Kind { Read, Write, Hash, KindCount };

    Kind kind = Read;
    int state = JobDone;
    quint16 trId = 0;
    quint8 flags = 0;
    quint64 offset = 0;
    quint32 size = 0;      // read: bytes wanted
    quint16 count = 0;     // hash: blocks wanted
    quint32 blockSize = 0; // hash
    std::shared_ptr<VfsOpenFile> file;
    void (*worker)(FileJob*) = nullptr;
    QByteArray buffer; // write: the data; read: the data read; hash: the digests
    int length = 0;
    quint8 status = FSO_STATUS_IO_ERROR;
    quint32 written = 0;
    QFutureWatcher<void> watcher;

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
    std::deque<FileJob*> waitingFileJobs;           // active, not started yet
    int runningFileJobs = 0;
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

    FileJob* takeFileJob(FileJob::Kind kind, const VfsMirkCommand* cmd,
                         std::shared_ptr<VfsOpenFile> file);
    void start(FileJob* job, void (*worker)(FileJob*));
    void startWaitingFileJobs();
    void startWaitingPages();
    FileJob* finishedFileJob(QObject* watcher, FileJob::Kind kind);
    void recycle(FileJob* job);
    void closeAfterUse(FileJob* job);
    void rememberAlias(const QString& local, const QString& name);

    static void buildPage(QueryListDirectoryJob* job);
    static bool fillEntry(QueryListDirectoryJob* job, int position, Entry* entry);
    static void readWorker(FileJob* job);
    static void writeWorker(FileJob* job);
    static void hashWorker(FileJob* job);
};

// A job for a request on an open file, from the pool of its kind; null when
// the peer has too many queued already.
FileJob* VfsServerVelmPrivate::takeFileJob(FileJob::Kind kind, const VfsMirkCommand* cmd,
                                           std::shared_ptr<VfsOpenFile> file)
{
    if (int(fileJobs.size()) >= kMaxFileJobs)
        return nullptr;
    std::unique_ptr<FileJob> job;
    auto& pool = filePool[kind];
    if (!pool.empty()) {
        job = std::move(pool.back());
        pool.pop_back();
    } else {
        using Slot = void (VfsServerVelm::*)();
        static const Slot finished[FileJob::KindCount] = {
            &VfsServerVelm::readFileFutureFinished,
            &VfsServerVelm::writeFileFutureFinished,
            &VfsServerVelm::hashFileFutureFinished,
        };
        job.reset(new FileJob);
        job->kind = kind;
        job->buffer.resize(kind == FileJob::Hash ? C::DigestSize : C::DataSize);
        job->watcher.setProperty("j", QVariant::fromValue<void*>(job.get()));
        QObject::connect(&job->watcher, &QFutureWatcher<void>::finished, q, finished[kind]);
    }
    job->state = JobRunning;
    job->status = FSO_STATUS_IO_ERROR;
    job->written = 0;
    job->length = 0;
    job->trId = cmd->trId;
    job->flags = quint8(cmd->flags);
    job->offset = cmd->offset;
    job->file = std::move(file);
    FileJob* raw = job.get();
    fileJobs.push_back(std::move(job));
    return raw;
}

// Runs the worker on the pool, in turn, with the file's lock held; the reply
// is built when it returns.
void VfsServerVelmPrivate::start(FileJob* job, void (*worker)(FileJob*))
{
    job->worker = worker;
    waitingFileJobs.push_back(job);
    startWaitingFileJobs();
}

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

void VfsServerVelmPrivate::startWaitingFileJobs()
{
    while (runningFileJobs < kMaxRunningFileJobs && !waitingFileJobs.empty()) {
        FileJob* job = waitingFileJobs.front();
        waitingFileJobs.pop_front();
        ++runningFileJobs;
        job->watcher.setFuture(runWork(timings.workInline, [job] {
            QMutexLocker lock(&job->file->mutex());
            job->worker(job);
            job->state = JobBuilt;
        }));
    }
}

void VfsServerVelmPrivate::startWaitingPages()
{
    while (runningPages < kMaxRunningPages && !waitingPages.empty()) {
        QueryListDirectoryJob* job = waitingPages.front();
        waitingPages.pop_front();
        ++runningPages;
        job->watcher.setFuture(runWork(timings.workInline, [job] { buildPage(job); }));
    }
}

// The job whose watcher reported, when its reply is ready to send; null for a
// stray signal, and for a job in another state, which goes back to its pool.
FileJob* VfsServerVelmPrivate::finishedFileJob(QObject* watcher, FileJob::Kind kind)
{
    static const char* const names[FileJob::KindCount] = { "ReadFileJob", "WriteFileJob",
                                                           "HashFileJob" };
    FileJob* job = activeJob(fileJobs, watcher);
    if (!job) {
        Logger::log(Logger::VSRV, "no 'j' property found for %s *", names[kind]);
        return nullptr;
    }
    // Its worker is done: the next one may go.
    --runningFileJobs;
    startWaitingFileJobs();
    if (job->state != JobBuilt) {
        Logger::log(Logger::VSRV, "unexpected %s->state %d", names[kind], job->state);
        recycle(job);
        return nullptr;
    }
    return job;
}

void VfsServerVelmPrivate::recycle(FileJob* job)
{
    job->state = JobDone;
    job->file.reset(); // let a closed file go now, not when the job is reused
    for (auto it = fileJobs.begin(); it != fileJobs.end(); ++it) {
        if (it->get() == job) {
            filePool[job->kind].push_back(std::move(*it));
            fileJobs.erase(it);
            return;
        }
    }
}

// A read or write that asked to close its handle. The handle may have been
// closed meanwhile and its number given to another file: that one stays open.
void VfsServerVelmPrivate::closeAfterUse(FileJob* job)
{
    const quint16 handle = job->file->handle();
    if (files.find(handle) == job->file)
        files.close(handle, true);
}

void VfsServerVelmPrivate::rememberAlias(const QString& local, const QString& name)
{
    if (local == name)
        return;
    QStringList& names = watchAliases[local];
    if (names.contains(name))
        return;
    if (names.isEmpty())
        watchAliasOrder.append(local);
    names.append(name);
    while (names.size() > kMaxAliasesPerDirectory)
        names.removeFirst();
    while (watchAliasOrder.size() > kMaxWatchAliases)
        watchAliases.remove(watchAliasOrder.takeFirst());
}

// --- listing pages (thread pool) --------------------------------------------

bool VfsServerVelmPrivate::fillEntry(QueryListDirectoryJob* job, int position, Entry* entry)
{
    QByteArray native;
    QString lexical;
    int share = -1;
    if (job->sharesRoot) {
        share = job->shareIndex[size_t(position)];
        const PeerAclDto& acl = job->guard.shares()[size_t(share)];
        native = QFile::encodeName(QDir::fromNativeSeparators(acl.selector));
        entry->name = acl.name.toUtf8();
    } else {
        entry->name = job->names.at(position);
        native = job->base + '/' + entry->name;
        lexical = job->lexicalDirectory + QLatin1Char('/') + QFile::decodeName(entry->name);
        if (job->guard.accessMode() == VfsPathGuard::Restricted) {
            share = job->guard.shareOf(lexical);
            if (share < 0)
                share = job->guard.shareOf(QFile::decodeName(job->directory + '/' + entry->name));
        }
    }

    // One statx for the entry itself and, for a link, one for its target.
    constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE
        | STATX_ATIME | STATX_MTIME | STATX_BTIME;
    struct statx own;
    if (::statx(AT_FDCWD, native.constData(), AT_SYMLINK_NOFOLLOW, kWanted, &own) != 0)
        return false; // gone since the listing was read
    struct statx target = own;
    bool targetKnown = true;
    if (S_ISLNK(own.stx_mode))
        targetKnown = ::statx(AT_FDCWD, native.constData(), 0, kWanted, &target) == 0;

    auto kindOf = [](unsigned mode) -> quint8 {
        if (S_ISLNK(mode))
            return Entry::TypeSymbolicLink;
        return S_ISDIR(mode) ? Entry::TypeDirectory : Entry::TypeFile;
    };
    auto millis = [](const statx_timestamp& time) {
        return qint64(time.tv_sec) * 1000 + qint64(time.tv_nsec) / 1000000;
    };
    const quint8 ownKind = kindOf(own.stx_mode);
    quint8 type = job->sharesRoot ? quint8(Entry::TypeShare) : ownKind;
    const QByteArray fileName = native.mid(native.lastIndexOf('/') + 1);
    if (fileName.startsWith('.'))
        type |= Entry::TypeHidden;
    entry->type = type;

    // Sizes and times are those of what a link leads to, as a file manager shows them.
    const struct statx& shown = targetKnown ? target : own;
    entry->size = shown.stx_size;
    entry->accessTime = (shown.stx_mask & STATX_ATIME) ? millis(shown.stx_atime) : 0;
    entry->birthTime = (shown.stx_mask & STATX_BTIME) ? millis(shown.stx_btime) : 0;
    entry->modificationTime = (shown.stx_mask & STATX_MTIME) ? millis(shown.stx_mtime) : 0;

    entry->reference.clear();
    entry->targetType = 0;
    if (job->sharesRoot) {
        entry->reference = job->guard.shares()[size_t(share)].uuid.toUtf8();
        entry->targetType = ownKind;
    } else if (ownKind == Entry::TypeSymbolicLink) {
        // The target as an absolute path; a relative one starts at the listed directory.
        QByteArray link(PATH_MAX, Qt::Uninitialized);
        const ssize_t length = ::readlink(native.constData(), link.data(), size_t(link.size()));
        link.truncate(length > 0 && length < link.size() ? int(length) : 0);
        if (!link.isEmpty()) {
            const QString target = QFile::decodeName(link);
            entry->reference = QFile::encodeName(QDir::cleanPath(
                target.startsWith(QLatin1Char('/'))
                    ? target
                    : QFile::decodeName(job->directory) + QLatin1Char('/') + target));
        }
        entry->targetType = targetKnown ? kindOf(target.stx_mode) : quint8(Entry::TypeFile);
    }

    quint16 access = 0;
    if (job->access.allows(native, VfsAccessTest::Read))
        access |= Entry::AccessReadable;
    if (job->access.allows(native, VfsAccessTest::Write))
        access |= Entry::AccessWritable;
    if (job->access.allows(native, VfsAccessTest::Execute))
        access |= Entry::AccessExecutable;
    if (targetKnown) {
        const unsigned m = target.stx_mode;
        access |= (m & S_IRUSR ? 0x0400 : 0) | (m & S_IWUSR ? 0x0200 : 0)
            | (m & S_IXUSR ? 0x0100 : 0) | (m & S_IRGRP ? 0x0040 : 0)
            | (m & S_IWGRP ? 0x0020 : 0) | (m & S_IXGRP ? 0x0010 : 0)
            | (m & S_IROTH ? 0x0004 : 0) | (m & S_IWOTH ? 0x0002 : 0)
            | (m & S_IXOTH ? 0x0001 : 0);
    }
    if (share >= 0 && !(job->guard.shares()[size_t(share)].flags & VfsPathGuard::ShareWrite))
        access &= quint16(~quint16(Entry::AccessWriteBits));
    entry->access = access;
    entry->inode = targetKnown ? quint64(target.stx_ino) : 0;
    entry->linkCount = targetKnown ? quint32(target.stx_nlink) : 0;
    return true;
}

void VfsServerVelmPrivate::buildPage(QueryListDirectoryJob* job)
{
    Logger::log(Logger::VSRV, "future QUERY_LIST_DIRECTORY request start job: %p, path %s",
                static_cast<void*>(job), job->path.constData());
    quint8 status = FSO_STATUS_COMPLETE;
    // The directory's entries are read and examined through a descriptor of
    // the directory that was checked, so that a name on the way swapped for a
    // link meanwhile shows nothing of where the link leads.
    static const bool descriptorPaths = ::access("/proc/self/fd", X_OK) == 0;
    int fd = -1;
    bool readable = true;

    if (!job->sharesRoot) {
        // Every page is checked again: a link may have been swapped meanwhile.
        const VfsPathGuard::Decision decision =
            job->guard.check(job->path, VfsPathGuard::FollowLastLink);
        if (!decision.allowed() || (job->listed && decision.nativePath != job->directory)) {
            status = FSO_STATUS_NOT_PERMITTED;
        } else {
            if (!job->listed) {
                job->directory = decision.nativePath;
                job->lexicalDirectory = decision.lexicalPath;
            }
            fd = VfsFileOperations::openFile(decision.nativePath, O_RDONLY | O_DIRECTORY,
                                             job->guard.accessMode() == VfsPathGuard::Restricted);
            struct stat st;
            if (fd < 0) {
                // A directory that is gone has no entries left; anything else is refused.
                readable = false;
                if (errno != ENOENT)
                    status = FSO_STATUS_NOT_PERMITTED;
            } else if (::fstat(fd, &st) != 0
                       || (job->listed && (st.st_dev != job->device || st.st_ino != job->inode))) {
                status = FSO_STATUS_NOT_PERMITTED;
            } else if (!job->listed) {
                job->device = st.st_dev;
                job->inode = st.st_ino;
            }
            job->base = fd >= 0 && descriptorPaths
                ? QByteArray("/proc/self/fd/") + QByteArray::number(fd)
                : job->directory;
        }
    }

    if (status == FSO_STATUS_COMPLETE && !job->listed) {
        job->listed = true;
        if (job->sharesRoot) {
            const std::vector<PeerAclDto>& shares = job->guard.shares();
            for (size_t i = 0; i < shares.size(); ++i) {
                if (shares[i].selector != QLatin1String("*")
                    && !(shares[i].flags & VfsPathGuard::ShareDrive)) {
                    job->shareIndex.push_back(int(i));
                }
            }
        } else {
            QDir::Filters filters = QDir::AllEntries | QDir::NoDotAndDotDot;
            if (job->flags & C::ListHidden)
                filters |= QDir::Hidden;
            if (job->flags & C::ListSystem)
                filters |= QDir::System;
            const QDir dir(QFile::decodeName(job->base));
            const QStringList names = readable ? dir.entryList(
                filters, QDir::DirsFirst | QDir::Name | QDir::LocaleAware) : QStringList();
            job->names.reserve(names.size());
            for (const QString& name : names)
                job->names.append(QFile::encodeName(name));
        }
    }

    int position = 0;
    if (status == FSO_STATUS_COMPLETE) {
        // The client names the entries it has received; entries skipped on
        // the way (gone, or too long to send) make positions run ahead.
        if (job->index == job->sentCount)
            position = job->nextPosition;
        else if (job->index <= quint32(job->entryCount()))
            position = int(job->index);
        else
            status = FSO_STATUS_INVALID_PARAMETER;
    }

    VfsMirkListPageWriter page(job->trId, status, job->index, job->fieldSet);
    if (status == FSO_STATUS_COMPLETE) {
        const int count = readable ? job->entryCount() : position;
        Entry entry;
        while (position < count) {
            if (!fillEntry(job, position, &entry)) {
                ++position;
                continue;
            }
            const VfsMirkListPageWriter::AddResult added = page.addEntry(entry);
            if (added == VfsMirkListPageWriter::NoRoom && page.count() > 0) {
                status = FSO_STATUS_OK;
                break;
            }
            ++position; // added, or no page could ever carry it
            if (page.remaining() < kPageReserve && position < count) {
                status = FSO_STATUS_OK;
                break;
            }
        }
        page.setStatus(status);
        job->sentCount = job->index + quint32(page.count());
        job->nextPosition = position;
    }
    if (fd >= 0)
        ::close(fd);
    job->base.clear();
    job->status = status;
    job->page = page.finish();
    Logger::log(Logger::VSRV, "future QUERY_LIST_DIRECTORY request finished job: %p",
                static_cast<void*>(job));
    job->state = JobBuilt;
}

// --- file workers (thread pool) ---------------------------------------------

void VfsServerVelmPrivate::readWorker(FileJob* job)
{
    quint64 size = 0;
    if (!job->fileSize(&size)) {
        job->status = FSO_STATUS_IO_ERROR;
        return;
    }
    if (job->offset >= size) {
        Logger::log(Logger::VSRV,
                    "failed to process READ_FILE request TrId %u, INVALID_OFFSET file.size = "
                    "%llu, offset = %llu",
                    unsigned(job->trId), static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(job->offset));
        job->status = FSO_STATUS_INVALID_OFFSET;
        return;
    }
    job->file->touch();
    const qint64 wanted = qMin<qint64>(job->size, C::DataSize);
    const qint64 got = readAt(job->file->fd(), job->buffer.data(), wanted, qint64(job->offset));
    if (got < 0) {
        job->status = FSO_STATUS_IO_ERROR;
    } else {
        job->length = int(got);
        if (size - job->offset > quint64(got))
            job->status = got > 0 ? FSO_STATUS_OK : FSO_STATUS_IO_ERROR;
        else
            job->status = FSO_STATUS_END_OF_FILE;
    }
    Logger::log(Logger::VSRV, "finished READ_FILE request TrId %u, size = %llu, offset = %llu",
                unsigned(job->trId), static_cast<unsigned long long>(job->length),
                static_cast<unsigned long long>(job->offset));
}

void VfsServerVelmPrivate::writeWorker(FileJob* job)
{
    VfsOpenFile* file = job->file.get();
    quint64 size = 0;
    if (!job->fileSize(&size)) {
        job->status = FSO_STATUS_IO_ERROR;
        return;
    }
    const quint64 length = quint64(job->length);
    if (job->offset > quint64(std::numeric_limits<qint64>::max()) - length) {
        job->status = FSO_STATUS_INVALID_OFFSET;
        return;
    }
    if (job->offset > size) {
        if (!(job->flags & 0x04)) {
            job->status = FSO_STATUS_INVALID_OFFSET;
            return;
        }
        if (::ftruncate(file->fd(), off_t(job->offset + length)) != 0) {
            job->status = FSO_STATUS_IO_ERROR;
            return;
        }
    }
    file->touch();
    const qint64 done = writeAt(file->fd(), job->buffer.constData(), qint64(length),
                                qint64(job->offset));
    if (done < 0) {
        job->status = FSO_STATUS_IO_ERROR;
        return;
    }
    job->written = quint32(done);
    job->status = FSO_STATUS_OK;
}

void VfsServerVelmPrivate::hashWorker(FileJob* job)
{
    VfsOpenFile* file = job->file.get();
    quint64 size = 0;
    if (!job->fileSize(&size)) {
        job->status = FSO_STATUS_IO_ERROR;
        return;
    }
    if (job->offset > size) {
        job->status = FSO_STATUS_INVALID_OFFSET;
        return;
    }
    file->touch();
    const int blocks = qMin<int>(job->count, kMaxDigestsPerReply);
    QByteArray block(int(job->blockSize), Qt::Uninitialized);
    qint64 offset = qint64(job->offset);
    job->status = FSO_STATUS_OK;
    for (int i = 0; i < blocks; ++i) {
        const qint64 got = readAt(file->fd(), block.data(), job->blockSize, offset);
        if (got < 0) {
            job->status = FSO_STATUS_IO_ERROR;
            break;
        }
        if (got == 0) {
            job->status = FSO_STATUS_END_OF_FILE;
            break;
        }
        if (!crypto::sha1(block.constData(), std::size_t(got),
                          reinterpret_cast<unsigned char*>(job->buffer.data() + job->length))) {
            job->status = FSO_STATUS_IO_ERROR;
            break;
        }
        job->length += C::DigestBytes;
        offset += got;
        if (got < qint64(job->blockSize)) {
            job->status = FSO_STATUS_END_OF_FILE;
            break;
        }
    }
}

// --- the server ---------------------------------------------------------------

VfsServerVelm::VfsServerVelm(int accessMode, QObject* parent)
    : QObject(parent), d(new VfsServerVelmPrivate(this))
{
    qRegisterMetaType<VfsMirkCommand*>();
    d->accessMode = accessMode == Unrestricted ? VfsPathGuard::Unrestricted
                                               : VfsPathGuard::Restricted;
    d->trash.reset(new VfsDesktopTrash);
    d->driveSource = [] {
        VfsWatcher* watcher = VfsWatcher::instance();
        return watcher ? watcher->drives() : std::vector<DriveCache>();
    };

    if (VfsWatcher* watcher = VfsWatcher::instance()) {
        connect(watcher, &VfsWatcher::directoryChanged, this, &VfsServerVelm::directoryChanged,
                Qt::QueuedConnection);
    }
    connect(this, &VfsServerVelm::notifyDirectoryChanged, this,
            &VfsServerVelm::directoryChanged, Qt::QueuedConnection);

    d->jobTimer = new QTimer(this);
    d->jobTimer->setInterval(d->timings.jobTick);
    connect(d->jobTimer, &QTimer::timeout, this, &VfsServerVelm::jobTimerFired);

    d->idleTimer = new QTimer(this);
    d->idleTimer->setSingleShot(true);
    connect(d->idleTimer, &QTimer::timeout, this, &VfsServerVelm::closeFileTimerFired);
    closeFileTimerFired();
}

VfsServerVelm::~VfsServerVelm()
{
    d->jobTimer->stop();
    d->idleTimer->stop();
    // Workers hold raw pointers to their jobs: let every one finish first.
    for (const auto& job : d->listingJobs)
        job->watcher.waitForFinished();
    for (const auto& job : d->fileJobs)
        job->watcher.waitForFinished();
    for (QFutureWatcher<quint8>* task : d->moveTasks) {
        task->waitForFinished();
        delete task;
    }
    d->files.closeAll(); // without the kept times: those files were not finished
}

int VfsServerVelm::accessMode() const
{
    return d->accessMode;
}

void VfsServerVelm::setShares(const std::vector<PeerAclDto>& shares)
{
    bool changed;
    {
        QMutexLocker lock(&d->sharesMutex);
        changed = d->shares != shares;
        d->shares = shares;
    }
    if (changed) {
        emit notifyDirectoryChanged(VfsPathGuard::SharesRoot);
        emit notifyDirectoryChanged(kDrivesPath);
    }
}

std::vector<PeerAclDto> VfsServerVelm::shares() const
{
    QMutexLocker lock(&d->sharesMutex);
    return d->shares;
}

void VfsServerVelm::setPeerVersion(quint16 version)
{
    d->peerVersion = version;
}

quint16 VfsServerVelm::peerVersion() const
{
    return d->peerVersion;
}

void VfsServerVelm::setTimings(const Timings& timings)
{
    d->timings = timings;
    d->jobTimer->setInterval(timings.jobTick);
    d->idleTimer->start(timings.idleCheckInterval);
}

void VfsServerVelm::setAccessTest(const VfsAccessTest& test)
{
    d->access = test;
}

void VfsServerVelm::setTrash(std::unique_ptr<VfsTrash> trash)
{
    if (trash)
        d->trash = std::move(trash);
}

void VfsServerVelm::setBacklogCheck(BacklogCheck backedUp)
{
    d->backedUp = std::move(backedUp);
}

quint64 VfsServerVelm::droppedWhileBackedUp() const
{
    return d->droppedWhileBackedUp;
}

void VfsServerVelm::setDriveSource(DriveSource source)
{
    if (source)
        d->driveSource = std::move(source);
}

int VfsServerVelm::openFileCount() const
{
    return d->files.count();
}

int VfsServerVelm::listingJobCount() const
{
    return int(d->listingJobs.size());
}

bool VfsServerVelm::hasRunningWork() const
{
    if (!d->fileJobs.empty() || !d->moveTasks.empty())
        return true;
    for (const auto& job : d->listingJobs) {
        if (job->state == JobRunning || job->state == JobBuilt)
            return true;
    }
    return false;
}

void VfsServerVelm::send(const QByteArray& frame, const char* failure, unsigned trId)
{
    if (frame.isNull()) {
        Logger::log(Logger::VSRV, failure, trId);
        return;
    }
    emit fsoTransmit(frame);
}

void VfsServerVelm::processIncomingCommand(VfsMirkCommand* cmd)
{
    if (!cmd)
        return;
    if (cmd->command != C::CloseFile && d->backedUp && d->backedUp()) {
        if (d->droppedWhileBackedUp++ == 0 || d->droppedWhileBackedUp % 1000 == 0)
            Logger::log(Logger::VSRV, "drop command 0x%02X TrId %u: the link is backed up (%llu dropped)",
                        unsigned(cmd->command), unsigned(cmd->trId),
                        static_cast<unsigned long long>(d->droppedWhileBackedUp));
        emit processedCommand(cmd);
        return;
    }
    switch (cmd->command) {
    case C::ListDrives:
        Logger::log(Logger::VSRV, "process LIST_DRIVES request TrId %u index: %u",
                    unsigned(cmd->trId), unsigned(cmd->driveStart));
        processListDrivesCommand(cmd);
        break;
    case C::ListDirectory:
        Logger::log(Logger::VSRV, "process LIST_DIRECTORY request TrId %u path: %s",
                    unsigned(cmd->trId), cmd->path);
        processListDirectoryCommand(cmd);
        break;
    case C::QueryListDirectory:
        Logger::log(Logger::VSRV, "process QUERY_LIST_DIRECTORY request TrId %u index: %u",
                    unsigned(cmd->trId), unsigned(cmd->index));
        processQueryListDirectoryCommand(cmd);
        break;
    case C::Move:
        Logger::log(Logger::VSRV,
                    "process MOVE request TrId %u flags: 0x%08X srcPath: %s, dstPath: %s",
                    unsigned(cmd->trId), unsigned(cmd->flags), cmd->path, cmd->destinationPath);
        processMoveCommand(cmd);
        break;
    case C::OpenFile:
        Logger::log(Logger::VSRV, "process OPEN_FILE request TrId %u flags: 0x%08X path: %s",
                    unsigned(cmd->trId), unsigned(cmd->flags), cmd->path);
        processOpenFileCommand(cmd);
        break;
    case C::CloseFile:
        Logger::log(Logger::VSRV, "process CLOSE_FILE request TrId %u flags: 0x%08X handle: %u",
                    unsigned(cmd->trId), unsigned(cmd->flags), unsigned(cmd->handle));
        processCloseFileCommand(cmd);
        break;
    case C::ReadFile:
        Logger::log(Logger::VSRV,
                    "process READ_FILE request TrId %u flags: 0x%02X handle: %u, offset: %llu, "
                    "size: %u",
                    unsigned(cmd->trId), unsigned(cmd->flags), unsigned(cmd->handle),
                    static_cast<unsigned long long>(cmd->offset), unsigned(cmd->size));
        processReadFileCommand(cmd);
        break;
    case C::WriteFile:
        Logger::log(Logger::VSRV,
                    "process WRITE_FILE request TrId %u, thread: %p, flags: 0x%02X handle: %u, "
                    "offset: %llu, size: %u",
                    unsigned(cmd->trId), static_cast<void*>(QThread::currentThread()),
                    unsigned(cmd->flags), unsigned(cmd->handle),
                    static_cast<unsigned long long>(cmd->offset), unsigned(cmd->dataLength));
        processWriteFileCommand(cmd);
        break;
    case C::DeleteFile:
        Logger::log(Logger::VSRV, "process DELETE_FILE request TrId %u flags: 0x%08X path: %s",
                    unsigned(cmd->trId), unsigned(cmd->flags), cmd->path);
        processDeleteFileCommand(cmd);
        break;
    case C::HashFile:
        Logger::log(Logger::VSRV, "process HASH_FILE request TrId %u flags: 0x%02X handle: %u",
                    unsigned(cmd->trId), unsigned(cmd->flags), unsigned(cmd->handle));
        processHashFileCommand(cmd);
        break;
    case C::MakeDirectory:
        Logger::log(Logger::VSRV, "process MAKE_DIRECTORY request TrId %u path: %s",
                    unsigned(cmd->trId), cmd->path);
        processMakeDirectoryCommand(cmd);
        break;
    default:
        Logger::log(Logger::VSRV, "drop unknown command 0x%02X", unsigned(cmd->command));
        break;
    }
    emit processedCommand(cmd);
}

// --- LIST_DRIVES --------------------------------------------------------------

void VfsServerVelm::processListDrivesCommand(VfsMirkCommand* cmd)
{
    const std::vector<DriveCache> drives = d->driveSource();
    const VfsPathGuard guard = d->guard();
    std::vector<DriveCache> listed;
    // What the reader on the other side keeps: 32 drives whose strings, each
    // with a terminator, share 64400 bytes.
    int stringBytes = 0;
    int capacity = 64;
    for (size_t i = cmd->driveStart; i < drives.size(); ++i) {
        const DriveCache& drive = drives[i];
        if (d->restricted()) {
            QByteArray root;
            if (!VfsPathGuard::normalise(drive.rootPath, &root))
                continue;
            const int share = VfsPathGuard::findShare(guard.shares(), root, true);
            if (share < 0 || !(guard.shares()[size_t(share)].flags & VfsPathGuard::ShareDrive))
                continue;
        }
        if (drive.rootPath.size() >= C::PathSize || drive.name.size() >= C::PathSize)
            continue;
        const int strings = drive.rootPath.size() + drive.name.size() + 2;
        if (int(listed.size()) == MaxListedDrives || stringBytes + strings > C::DriveStringSize)
            break;
        stringBytes += strings;
        capacity += 4 * 2 + 2 * 9 + 2 * 5 + drive.rootPath.size() + drive.name.size();
        listed.push_back(drive);
    }
    send(VfsMirkCommandWriter::listDrivesReply(cmd->trId, cmd->driveStart, listed, capacity),
         "failed to send LIST_DRIVES response %u", cmd->trId);
}

// --- LIST_DIRECTORY and its pages -----------------------------------------------

void VfsServerVelm::processListDirectoryCommand(VfsMirkCommand* cmd)
{
    const quint32 flags = cmd->flags & C::ListReplyFlags;
    VfsMirkFieldMask fields;
    if (cmd->fields.has(0))
        fields.set(0, cmd->fields.value(0) & Entry::FieldsAll);
    const QByteArray path = cmd->pathBytes();
    const VfsPathGuard guard = d->guard();
    const VfsPathGuard::Decision decision = guard.check(
        path, VfsPathGuard::FollowLastLink | VfsPathGuard::AcceptSharesRoot);

    quint8 status = FSO_STATUS_OK;
    quint64 fileId = 0;
    if (!decision.allowed()) {
        status = refusal(decision);
    } else if (!decision.sharesRoot) {
        struct stat st;
        if (::stat(decision.nativePath.constData(), &st) != 0)
            status = FSO_STATUS_NOT_FOUND;
        else if (!S_ISDIR(st.st_mode))
            status = FSO_STATUS_NOT_A_DIRECTORY;
        else if (!d->access.allows(decision.nativePath, VfsAccessTest::Execute))
            status = FSO_STATUS_NOT_PERMITTED;
        else
            fileId = quint64(st.st_ino);
    }
    if (status == FSO_STATUS_OK && int(d->listingJobs.size()) >= kMaxListingJobs) {
        Logger::log(Logger::VSRV, "too many open listings, refusing TrId %u", unsigned(cmd->trId));
        status = FSO_STATUS_IO_ERROR;
    }

    const QByteArray reply =
        VfsMirkCommandWriter::listDirectoryReply(cmd->trId, status, flags, fields, fileId);
    if (reply.isNull()) {
        Logger::log(Logger::VSRV, "failed to send LIST_DIRECTORY response");
        return;
    }
    if (status != FSO_STATUS_OK) {
        emit fsoTransmit(reply);
        return;
    }

    // A client that reuses a transaction id starts that listing afresh.
    for (const auto& listing : d->listingJobs) {
        if (listing->trId == cmd->trId && listing->state == JobWaiting)
            listing->state = JobDone;
    }

    std::unique_ptr<QueryListDirectoryJob> job;
    if (!d->listingPool.empty()) {
        job = std::move(d->listingPool.back());
        d->listingPool.pop_back();
    } else {
        job.reset(new QueryListDirectoryJob);
        job->watcher.setProperty("j", QVariant::fromValue<void*>(job.get()));
        connect(&job->watcher, &QFutureWatcher<void>::finished, this,
                &VfsServerVelm::queryListDirectoryFutureFinished);
    }
    job->guard = guard;
    job->access = d->access;
    job->state = JobWaiting;
    job->countdown = d->timings.listingCountdown;
    job->index = 0;
    job->trId = cmd->trId;
    job->flags = flags;
    job->fieldSet = fields.value(0);
    job->path = path;
    job->listed = false;
    job->sharesRoot = decision.sharesRoot;
    job->directory.clear();
    job->lexicalDirectory.clear();
    job->names.clear();
    job->shareIndex.clear();
    job->sentCount = 0;
    job->nextPosition = 0;
    job->page.clear();
    d->listingJobs.push_back(std::move(job));
    if (!d->jobTimer->isActive())
        d->jobTimer->start(d->timings.jobTick);

    if ((cmd->flags & C::ListWatch) && !decision.sharesRoot) {
        d->rememberAlias(decision.path, QString::fromUtf8(path));
        if (VfsWatcher* watcher = VfsWatcher::instance())
            watcher->watchDirectory(decision.path);
    }
    // Sent once the listing exists, so that its first page may be asked for at once.
    emit fsoTransmit(reply);
}

void VfsServerVelm::processQueryListDirectoryCommand(VfsMirkCommand* cmd)
{
    for (const auto& job : d->listingJobs) {
        if (job->trId != cmd->trId)
            continue;
        if (job->state != JobWaiting) {
            // A page is being built or sent; its answer is on the way. A
            // second worker must never share the job.
            if (job->state == JobDone)
                continue;
            Logger::log(Logger::VSRV, "page of TrId %u already in progress", unsigned(cmd->trId));
            return;
        }
        job->state = JobRunning;
        job->index = cmd->index;
        d->waitingPages.push_back(job.get());
        d->startWaitingPages();
        return;
    }
    Logger::log(Logger::VSRV, "no listing for QUERY_LIST_DIRECTORY TrId %u", unsigned(cmd->trId));
}

void VfsServerVelm::queryListDirectoryFutureFinished()
{
    QueryListDirectoryJob* job = activeJob(d->listingJobs, sender());
    if (!job) {
        Logger::log(Logger::VSRV, "no 'j' property found for QueryListDirectoryJob *");
        return;
    }
    // Its page is built: the next one may go.
    --d->runningPages;
    d->startWaitingPages();
    if (job->state != JobBuilt) {
        Logger::log(Logger::VSRV, "unexpected job->state %d", job->state);
        job->state = JobDone;
        return;
    }
    Logger::log(Logger::VSRV, "send QUERY_LIST_DIRECTORY response TrId: %u", unsigned(job->trId));
    const QByteArray page = job->page;
    job->page.clear();
    // The next request may come while the page is being sent.
    if (job->status == FSO_STATUS_OK) {
        job->state = JobWaiting;
        job->countdown = d->timings.listingCountdown;
    } else {
        job->state = JobDone; // complete, refused or asked for a page that does not exist
    }
    if (page.isNull())
        Logger::log(Logger::VSRV, "failed to send QUERY_LIST_DIRECTORY response");
    else
        emit fsoTransmit(page);
}

void VfsServerVelm::jobTimerFired()
{
    for (auto it = d->listingJobs.begin(); it != d->listingJobs.end(); ++it) {
        QueryListDirectoryJob* job = it->get();
        if (job->state == JobWaiting && --job->countdown <= 0) {
            Logger::log(Logger::VSRV, "timeout query job request TrId %u", unsigned(job->trId));
            job->state = JobDone;
        }
        if (job->state == JobDone) {
            Logger::log(Logger::VSRV, "cleanup job request TrId %u", unsigned(job->trId));
            job->names.clear(); // a pooled job keeps no listing in memory
            job->shareIndex.clear();
            d->listingPool.push_back(std::move(*it));
            d->listingJobs.erase(it);
            break;
        }
    }
    if (d->listingJobs.empty())
        d->jobTimer->stop();
}

// --- MOVE -----------------------------------------------------------------------

void VfsServerVelm::processMoveCommand(VfsMirkCommand* cmd)
{
    const quint16 trId = cmd->trId;
    auto reply = [this, trId](quint8 status) {
        send(VfsMirkCommandWriter::moveReply(trId, status), "failed to send MOVE response %u",
             trId);
    };
    const VfsPathGuard guard = d->guard();
    const VfsPathGuard::Decision source = guard.check(cmd->pathBytes(), VfsPathGuard::NeedWrite);
    const VfsPathGuard::Decision destination =
        guard.check(cmd->destinationPathBytes(), VfsPathGuard::NeedWrite);
    if (!source.allowed()) {
        reply(refusal(source));
        return;
    }
    if (!destination.allowed()) {
        reply(refusal(destination));
        return;
    }
    // A share's own folder is neither moved away nor replaced.
    if (guard.holdsShareFolder(source.path) || guard.holdsShareFolder(destination.path)) {
        reply(FSO_STATUS_NOT_PERMITTED);
        return;
    }
    struct stat st;
    if (!exists(source.nativePath, &st)) {
        reply(FSO_STATUS_NOT_FOUND);
        return;
    }
    if (source.nativePath == destination.nativePath) {
        reply(FSO_STATUS_SAME_PATH);
        return;
    }
    const bool noReplace = cmd->flags & 0x02;
    const bool refuseCrossDevice = cmd->flags & 0x01;
    if (noReplace && exists(destination.nativePath)) {
        reply(FSO_STATUS_EXISTS);
        return;
    }
    if (refuseCrossDevice) {
        // Compare the file systems the source and the destination's directory live on.
        const QByteArray parent = destination.nativePath.left(
            qMax(1, destination.nativePath.lastIndexOf('/')));
        struct stat target;
        if (::stat(parent.constData(), &target) != 0) {
            reply(FSO_STATUS_IO_ERROR);
            return;
        }
        if (target.st_dev != st.st_dev) {
            reply(FSO_STATUS_CROSS_DEVICE);
            return;
        }
    }

    // For a peer confined to its shares no name on the way may have become a
    // link since the paths were checked.
    const bool noLinks = d->restricted();
    switch (VfsFileOperations::rename(source.nativePath, destination.nativePath, noReplace,
                                      noLinks)) {
    case VfsFileOperations::Done:
        reply(FSO_STATUS_OK);
        return;
    case VfsFileOperations::Exists:
        reply(FSO_STATUS_EXISTS);
        return;
    case VfsFileOperations::Failed:
        Logger::log(Logger::VSRV, "failed to move %s TrId %u: %s", source.nativePath.constData(),
                    unsigned(trId), std::strerror(errno));
        reply(FSO_STATUS_IO_ERROR);
        return;
    case VfsFileOperations::CrossDevice:
        break;
    }
    if (refuseCrossDevice) {
        reply(FSO_STATUS_CROSS_DEVICE);
        return;
    }
    if (int(d->moveTasks.size()) >= kMaxMoveTasks) {
        reply(FSO_STATUS_IO_ERROR);
        return;
    }
    // Copying may take long: do it on the pool and answer when it is done.
    auto* task = new QFutureWatcher<quint8>(this);
    task->setProperty("trId", unsigned(trId));
    connect(task, &QFutureWatcher<quint8>::finished, this, &VfsServerVelm::moveFutureFinished);
    d->moveTasks.push_back(task);
    const QByteArray from = source.nativePath;
    const QByteArray to = destination.nativePath;
    task->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [from, to, noReplace,
                                                                       noLinks] {
        switch (VfsFileOperations::moveAcrossDevices(from, to, noReplace, noLinks)) {
        case VfsFileOperations::Done:
            return quint8(FSO_STATUS_OK);
        case VfsFileOperations::Exists:
            return quint8(FSO_STATUS_EXISTS);
        default:
            return quint8(FSO_STATUS_IO_ERROR);
        }
    }));
}

void VfsServerVelm::moveFutureFinished()
{
    auto* task = static_cast<QFutureWatcher<quint8>*>(sender());
    auto it = std::find(d->moveTasks.begin(), d->moveTasks.end(), task);
    if (it == d->moveTasks.end())
        return;
    d->moveTasks.erase(it);
    const quint16 trId = quint16(task->property("trId").toUInt());
    const quint8 status = task->result();
    task->deleteLater();
    send(VfsMirkCommandWriter::moveReply(trId, status), "failed to send MOVE response %u", trId);
}

// --- OPEN_FILE and CLOSE_FILE -------------------------------------------------------

void VfsServerVelm::processOpenFileCommand(VfsMirkCommand* cmd)
{
    const quint16 trId = cmd->trId;
    auto reply = [this, trId](quint8 status, quint16 handle = 0) {
        send(VfsMirkCommandWriter::openFileReply(trId, status, handle),
             "failed to send OPEN_FILE response TrId %u", trId);
    };
    // For a peer confined to its shares, no name on the way may have become a
    // link since the path was checked, and a link at the end gets the times itself.
    auto applyTimes = [this](const QByteArray& path, qint64 accessTime, qint64 modificationTime) {
        if (!d->restricted())
            return VfsFileTimes::apply(path, accessTime, modificationTime);
        QByteArray name;
        const int dir = VfsFileOperations::openParent(path, true, &name);
        if (dir < 0)
            return false;
        const bool applied = VfsFileTimes::applyAt(dir, name, accessTime, modificationTime);
        const int error = errno;
        ::close(dir);
        errno = error;
        return applied;
    };
    const quint32 flags = cmd->flags;
    const quint32 timeFields = cmd->fields.value(0);
    const bool wantRead = flags & C::OpenRead;
    const bool wantWrite = flags & C::OpenWrite;
    const bool timesOnly = !wantRead && !wantWrite && (flags & C::OpenTimes);

    quint32 need = VfsPathGuard::FollowLastLink;
    if (wantRead)
        need |= VfsPathGuard::NeedRead;
    if (wantWrite || timesOnly)
        need |= VfsPathGuard::NeedWrite;
    const VfsPathGuard::Decision decision = d->guard().check(cmd->pathBytes(), need);
    if (!decision.allowed()) {
        reply(refusal(decision));
        return;
    }
    const QByteArray& path = decision.nativePath;
    struct stat st;
    const bool present = ::stat(path.constData(), &st) == 0;
    if ((flags & C::OpenExclusive) && (present || exists(path))) {
        reply(FSO_STATUS_EXISTS);
        return;
    }

    if (timesOnly) {
        // Only the times that were given; the others are left as they are.
        const qint64 accessTime =
            (timeFields & C::TimeAccess) && cmd->accessTime > 0 ? cmd->accessTime : 0;
        const qint64 modificationTime =
            (timeFields & C::TimeModification) && cmd->modificationTime > 0
            ? cmd->modificationTime
            : 0;
        if (accessTime == 0 && modificationTime == 0) {
            reply(FSO_STATUS_INVALID_PARAMETER);
            return;
        }
        if (!applyTimes(path, accessTime, modificationTime)) {
            Logger::log(Logger::ERR1, "failed to set atime, mtime: %s", std::strerror(errno));
            reply(FSO_STATUS_IO_ERROR);
            return;
        }
        reply(FSO_STATUS_COMPLETE);
        return;
    }
    if (!wantRead && !wantWrite) {
        reply(FSO_STATUS_INVALID_PARAMETER);
        return;
    }
    if (d->files.isFull()) {
        Logger::log(Logger::VSRV, "open-file table full, TrId %u", unsigned(trId));
        reply(FSO_STATUS_IO_ERROR);
        return;
    }
    if (!wantWrite && !present) {
        reply(FSO_STATUS_NOT_FOUND);
        return;
    }
    // Only regular files: a pipe or a device would block or never end.
    if (present && !S_ISREG(st.st_mode)) {
        reply(FSO_STATUS_IO_ERROR);
        return;
    }

    int mode = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (wantRead && wantWrite)
        mode |= O_RDWR | O_CREAT;
    else if (wantWrite)
        mode |= O_WRONLY | O_CREAT | O_TRUNC;
    else
        mode |= O_RDONLY;
    if ((flags & C::OpenExclusive) && wantWrite)
        mode |= O_EXCL;
    const int fd = VfsFileOperations::openFile(path, mode, d->restricted());
    if (fd < 0) {
        const int error = errno;
        Logger::log(Logger::VSRV, "failed to open file %s %s (%u), open mode 0x%X",
                    path.constData(), std::strerror(error), unsigned(error), unsigned(mode));
        Logger::log(Logger::VSRV, "failed path %s", cmd->path);
        reply(error == EEXIST ? FSO_STATUS_EXISTS : FSO_STATUS_IO_ERROR);
        return;
    }
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        reply(FSO_STATUS_IO_ERROR);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    auto file = std::make_shared<VfsOpenFile>(fd, path, wantRead, wantWrite);
    if (d->peerVersion > 1 && wantWrite && (flags & C::OpenTimes) && cmd->fields.has(0)) {
        file->keepTimes(timeFields & C::TimeAccess ? cmd->accessTime : 0,
                        timeFields & C::TimeBirth ? cmd->birthTime : 0,
                        timeFields & C::TimeModification ? cmd->modificationTime : 0);
        if ((flags & C::OpenTruncate) && (timeFields & C::TimeSize)
            && cmd->fileSize < quint64(opened.st_size)
            && ::ftruncate(fd, off_t(cmd->fileSize)) != 0) {
            Logger::log(Logger::VSRV, "failed to truncate file: %s", path.constData());
        }
    }
    const quint16 handle = d->files.add(file);
    if (handle == 0) {
        reply(FSO_STATUS_IO_ERROR);
        return;
    }
    reply(FSO_STATUS_OK, handle);
}

void VfsServerVelm::processCloseFileCommand(VfsMirkCommand* cmd)
{
    quint8 status = FSO_STATUS_OK;
    if (cmd->flags != 0)
        status = FSO_STATUS_INVALID_PARAMETER;
    else if (!d->files.close(cmd->handle, true))
        status = FSO_STATUS_NOT_FOUND;
    const QByteArray frame = VfsMirkCommandWriter::closeFileReply(cmd->trId, status, cmd->handle);
    if (frame.isNull()) {
        Logger::log(Logger::VSRV, "failed to send CLOSE_FILE response TrId %u handle %u",
                    unsigned(cmd->trId), unsigned(cmd->handle));
        return;
    }
    emit fsoTransmit(frame);
}

void VfsServerVelm::closeFileTimerFired()
{
    if (const quint16 handle = d->files.closeIdle(d->timings.idleTimeout))
        Logger::log(Logger::VSRV, "closed idle file handle %u", unsigned(handle));
    d->idleTimer->start(d->timings.idleCheckInterval);
}

// --- READ_FILE, WRITE_FILE, HASH_FILE --------------------------------------------------

void VfsServerVelm::processReadFileCommand(VfsMirkCommand* cmd)
{
    auto refuse = [this, cmd](quint8 status) {
        send(VfsMirkCommandWriter::readFileReply(cmd->trId, status, quint8(cmd->flags),
                                                 cmd->offset, nullptr, 0),
             "failed to send READ_FILE response TrId %u", cmd->trId);
    };
    std::shared_ptr<VfsOpenFile> file = d->files.find(cmd->handle);
    if (!file) {
        refuse(FSO_STATUS_INVALID_HANDLE);
        return;
    }
    FileJob* job = d->takeFileJob(FileJob::Read, cmd, std::move(file));
    if (!job) {
        refuse(FSO_STATUS_IO_ERROR);
        return;
    }
    job->size = cmd->size;
    d->start(job, &VfsServerVelmPrivate::readWorker);
}

void VfsServerVelm::readFileFutureFinished()
{
    FileJob* job = d->finishedFileJob(sender(), FileJob::Read);
    if (!job)
        return;
    if ((job->flags & 0x01) || ((job->flags & 0x04) && job->status == FSO_STATUS_END_OF_FILE))
        d->closeAfterUse(job);
    Logger::log(Logger::VSRV, "send READ_FILE response TrId %u", unsigned(job->trId));
    send(VfsMirkCommandWriter::readFileReply(job->trId, job->status, job->flags, job->offset,
                                             job->buffer.constData(), job->length),
         "failed to send READ_FILE response TrId %u", job->trId);
    d->recycle(job);
}

void VfsServerVelm::processWriteFileCommand(VfsMirkCommand* cmd)
{
    const quint8 replyFlags = quint8(cmd->flags & 0x02);
    auto refuse = [this, cmd, replyFlags](quint8 status) {
        send(VfsMirkCommandWriter::writeFileReply(cmd->trId, status, replyFlags, cmd->offset, 0),
             "failed to send WRITE_FILE response TrId %u", cmd->trId);
    };
    // The reader keeps the data only when it holds 1 to 64400 bytes.
    if (cmd->dataLength == 0 || cmd->dataLength > quint32(C::DataSize)) {
        refuse(FSO_STATUS_INVALID_PARAMETER);
        return;
    }
    std::shared_ptr<VfsOpenFile> file = d->files.find(cmd->handle);
    if (!file) {
        refuse(FSO_STATUS_INVALID_HANDLE);
        return;
    }
    FileJob* job = d->takeFileJob(FileJob::Write, cmd, std::move(file));
    if (!job) {
        refuse(FSO_STATUS_IO_ERROR);
        return;
    }
    job->length = int(cmd->dataLength);
    std::memcpy(job->buffer.data(), cmd->data, cmd->dataLength);
    d->start(job, &VfsServerVelmPrivate::writeWorker);
}

void VfsServerVelm::writeFileFutureFinished()
{
    Logger::log(Logger::VSRV, "future WRITE_FILE finished, thread %p",
                static_cast<void*>(QThread::currentThread()));
    FileJob* job = d->finishedFileJob(sender(), FileJob::Write);
    if (!job)
        return;
    if (job->flags & 0x01)
        d->closeAfterUse(job);
    send(VfsMirkCommandWriter::writeFileReply(job->trId, job->status, quint8(job->flags & 0x02),
                                              job->offset, job->written),
         "failed to send WRITE_FILE response TrId %u", job->trId);
    d->recycle(job);
}

void VfsServerVelm::processHashFileCommand(VfsMirkCommand* cmd)
{
    const quint16 trId = cmd->trId;
    auto refuse = [this, trId](quint8 status) {
        send(VfsMirkCommandWriter::hashFileReply(trId, status, 0, 0, nullptr, 0),
             "failed to send HASH_FILE response TrId %u", trId);
    };
    std::shared_ptr<VfsOpenFile> file = d->files.find(cmd->handle);
    if (!file) {
        refuse(FSO_STATUS_INVALID_HANDLE);
        return;
    }
    if (!(cmd->flags & 0x01)) {
        refuse(FSO_STATUS_NOT_SUPPORTED);
        return;
    }
    if (cmd->blockSize == 0 || cmd->blockSize > quint32(C::DataSize)) {
        refuse(FSO_STATUS_INVALID_PARAMETER);
        return;
    }
    FileJob* job = d->takeFileJob(FileJob::Hash, cmd, std::move(file));
    if (!job) {
        refuse(FSO_STATUS_IO_ERROR);
        return;
    }
    job->count = cmd->count;
    job->blockSize = cmd->blockSize;
    d->start(job, &VfsServerVelmPrivate::hashWorker);
}

void VfsServerVelm::hashFileFutureFinished()
{
    FileJob* job = d->finishedFileJob(sender(), FileJob::Hash);
    if (!job)
        return;
    const quint16 count = quint16(job->length / C::DigestBytes);
    send(VfsMirkCommandWriter::hashFileReply(job->trId, job->status, 0x01, count,
                                             job->buffer.constData(), job->length),
         "failed to send HASH_FILE response TrId %u", job->trId);
    d->recycle(job);
}

// --- DELETE_FILE and MAKE_DIRECTORY ------------------------------------------------------

void VfsServerVelm::processDeleteFileCommand(VfsMirkCommand* cmd)
{
    const QByteArray requestPath = cmd->pathBytes();
    const VfsPathGuard guard = d->guard();
    // The link itself is deleted, never what it points to.
    const VfsPathGuard::Decision decision = guard.check(requestPath, VfsPathGuard::NeedWrite);
    quint8 status = FSO_STATUS_IO_ERROR;
    if (!decision.allowed()) {
        status = refusal(decision);
    } else if (guard.holdsShareFolder(decision.path)
               || guard.holdsShareFolder(decision.lexicalPath)) {
        status = FSO_STATUS_NOT_PERMITTED;
    } else if (!exists(decision.nativePath)) {
        status = FSO_STATUS_NOT_FOUND;
    } else if (cmd->flags & 0x01) {
        // The trash acts on the entry of the directory reached here, walked
        // without following links like every other operation, never on a
        // name looked up again: a folder on the way swapped for a link since
        // the check fails instead of sending something outside to the trash.
        QByteArray name;
        const int folder = VfsFileOperations::openParent(decision.nativePath, d->restricted(), &name);
        const VfsTrash::Result trashed = folder < 0
            ? (errno == ENOENT ? VfsTrash::NotFound : VfsTrash::Failed)
            : d->trash->moveToTrash(folder, name.constData(), decision.nativePath.constData());
        if (folder >= 0)
            ::close(folder);
        switch (trashed) {
        case VfsTrash::Trashed:
            status = FSO_STATUS_OK;
            break;
        case VfsTrash::PermissionDenied:
            status = FSO_STATUS_NOT_PERMITTED;
            break;
        case VfsTrash::NotSupported:
            status = FSO_STATUS_NOT_SUPPORTED;
            break;
        case VfsTrash::NotFound:
            status = FSO_STATUS_NOT_FOUND;
            break;
        case VfsTrash::Failed:
            status = FSO_STATUS_IO_ERROR;
            break;
        }
    } else if (VfsFileOperations::removeTree(decision.nativePath, d->restricted())) {
        status = FSO_STATUS_OK;
    } else {
        Logger::log(Logger::VSRV, "failed to delete %s: %s", decision.nativePath.constData(),
                    std::strerror(errno));
    }

    send(VfsMirkCommandWriter::deleteFileReply(cmd->trId, status, requestPath),
         "failed to send DELETE_FILE response TrId %u", cmd->trId);
    if (status == FSO_STATUS_OK) {
        const QString parent = parentOfRequestPath(requestPath);
        if (!parent.isEmpty())
            emit notifyDirectoryChanged(parent);
    }
}

void VfsServerVelm::processMakeDirectoryCommand(VfsMirkCommand* cmd)
{
    const VfsPathGuard::Decision decision = d->guard().check(
        cmd->pathBytes(), VfsPathGuard::NeedWrite | VfsPathGuard::FollowLastLink);
    quint8 status = FSO_STATUS_IO_ERROR;
    quint32 existing = 0;
    struct stat st;
    if (!decision.allowed()) {
        status = refusal(decision);
    } else if (::stat(decision.nativePath.constData(), &st) == 0
               || ::lstat(decision.nativePath.constData(), &st) == 0) {
        const bool directory = S_ISDIR(st.st_mode);
        existing = directory ? 4 : 12;
        status = (cmd->flags & 0x01) || !directory ? FSO_STATUS_IO_ERROR : FSO_STATUS_OK;
    } else if (VfsFileOperations::makePath(decision.nativePath, d->restricted())) {
        status = FSO_STATUS_OK;
    }
    send(VfsMirkCommandWriter::makeDirectoryReply(cmd->trId, status, existing),
         "failed to send MAKE_DIRECTORY response TrId %u", cmd->trId);
}

// --- change notices -------------------------------------------------------------------------

void VfsServerVelm::directoryChanged(const QString& path)
{
    QStringList names;
    if (path == VfsPathGuard::SharesRoot || path == kDrivesPath) {
        names.append(path);
    } else {
        const VfsPathGuard guard = d->guard();
        const VfsPathGuard::Decision decision = guard.check(path, VfsPathGuard::FollowLastLink);
        if (!decision.allowed())
            return; // not something this peer may see
        names.append(path);
        // The client hears of a directory under the names it listed it by.
        for (const QString& local : { decision.path, path }) {
            for (const QString& alias : d->watchAliases.value(local)) {
                if (!names.contains(alias)
                    && guard.check(alias, VfsPathGuard::FollowLastLink).allowed()) {
                    names.append(alias);
                }
            }
        }
    }
    for (const QString& name : names) {
        Logger::log(Logger::VSRV, "directory changed %s", qPrintable(name));
        const quint16 trId = d->notificationCounter++;
        send(VfsMirkCommandWriter::directoryChangedNotice(trId, name.toUtf8()),
             "failed to send DIRECTORY_CHANGED %u", trId);
    }
}
