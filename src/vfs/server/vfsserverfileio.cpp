#include "vfs/server/vfsservervelm_p.h"

#include "core/logger.h"
#include "crypto/sha1.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/server/vfsfileoperations.h"
#include "vfs/server/vfsfiletimes.h"

#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using C = VfsMirkCommand;

constexpr int kMaxDigestsPerReply = C::DigestSize / C::DigestBytes; // 3220
// Work a peer may have queued at once. Each file job holds up to 64400
// bytes; beyond this a request is refused instead of growing memory without
// bound.
constexpr int kMaxFileJobs = 256;

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

// Does one job: with its file's lock held when it has a file.
void runJob(FileJob* job)
{
    if (job->file) {
        QMutexLocker lock(&job->file->mutex());
        job->worker(job);
    } else {
        job->worker(job);
    }
    job->state = JobBuilt;
}

} // namespace

// A job for a request on the open file its handle names, from the pool of its
// kind. Null, with the status that refuses the request in *refusal, when the
// handle names no open file, when check() (if given) finds fault with the
// request, or when the peer has too many jobs queued already.
FileJob* VfsServerVelmPrivate::takeFileJob(FileJob::Kind kind, const VfsMirkCommand* cmd,
                                           quint8* refusal, quint8 (*check)(const VfsMirkCommand*))
{
    std::shared_ptr<VfsOpenFile> file = files.find(cmd->handle);
    *refusal = FSO_STATUS_OK;
    if (!file)
        *refusal = FSO_STATUS_INVALID_HANDLE;
    else if (check)
        *refusal = check(cmd);
    if (*refusal == FSO_STATUS_OK && int(fileJobs.size()) >= kMaxFileJobs)
        *refusal = FSO_STATUS_IO_ERROR;
    if (*refusal != FSO_STATUS_OK)
        return nullptr;
    FileJob* job = newFileJob(kind, cmd);
    job->file = std::move(file);
    return job;
}

FileJob* VfsServerVelmPrivate::newFileJob(FileJob::Kind kind, const VfsMirkCommand* cmd)
{
    if (int(fileJobs.size()) >= kMaxFileJobs)
        return nullptr;
    std::unique_ptr<FileJob> job;
    auto& pool = filePool[kind];
    if (!pool.empty()) {
        job = std::move(pool.back());
        pool.pop_back();
    } else {
        job.reset(new FileJob);
        job->kind = kind;
        if (kind != FileJob::Open)
            job->buffer.resize(kind == FileJob::Hash ? C::DigestSize : C::DataSize);
    }
    job->state = JobRunning;
    job->status = FSO_STATUS_IO_ERROR;
    job->written = 0;
    job->length = 0;
    job->trId = cmd->trId;
    job->flags = quint8(cmd->flags);
    job->offset = cmd->offset;
    job->writeFault = kind == FileJob::Write || kind == FileJob::Open ? writeFault : nullptr;
    FileJob* raw = job.get();
    fileJobs.push_back(std::move(job));
    return raw;
}

// Runs the worker in turn, with the file's lock held; the reply is built when
// it returns, in a later pass of the event loop.
void VfsServerVelmPrivate::start(FileJob* job, void (*worker)(FileJob*))
{
    job->worker = worker;
    const std::shared_ptr<FileWorkQueue>& queue =
        job->kind == FileJob::Open ? openWork : fileWork;
    FileWorkQueue* work = queue.get();
    if (timings.workInline) {
        runJob(job);
        QMutexLocker lock(&work->mutex);
        work->finished.push_back(job);
        postHandBack(work, q);
        return;
    }
    QMutexLocker lock(&work->mutex);
    work->waiting.push_back(job);
    if (work->running)
        return;
    work->running = true;
    std::shared_ptr<FileWorkQueue> shared = queue;
    VfsServerVelm* server = q;
    QThreadPool::globalInstance()->start([shared, server] { runFileWork(shared, server); });
}

void VfsServerVelmPrivate::runFileWork(const std::shared_ptr<FileWorkQueue>& work,
                                       VfsServerVelm* server)
{
    QMutexLocker lock(&work->mutex);
    while (!work->waiting.empty()) {
        FileJob* job = work->waiting.front();
        work->waiting.pop_front();
        lock.unlock();
        runJob(job);
        lock.relock();
        work->finished.push_back(job);
        postHandBack(work.get(), server);
    }
    // The server waits for this before it goes: it is not used after here.
    work->running = false;
    work->idle.wakeAll();
}

void VfsServerVelmPrivate::postHandBack(FileWorkQueue* work, VfsServerVelm* server)
{
    if (work->handBackPosted)
        return;
    work->handBackPosted = true;
    QMetaObject::invokeMethod(server, "fileWorkFinished", Qt::QueuedConnection);
}

void VfsServerVelmPrivate::stopFileWork()
{
    for (FileWorkQueue* work : {fileWork.get(), openWork.get()}) {
        QMutexLocker lock(&work->mutex);
        work->waiting.clear();
        while (work->running)
            work->idle.wait(&work->mutex);
    }
}

void VfsServerVelm::fileWorkFinished()
{
    for (FileWorkQueue* work : {d->fileWork.get(), d->openWork.get()}) {
        std::vector<FileJob*> jobs;
        {
            QMutexLocker lock(&work->mutex);
            jobs.swap(work->finished);
            work->handBackPosted = false;
        }
        for (FileJob* job : jobs)
            answer(job);
    }
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
    if (job->offset > size && !(job->flags & 0x04)) {
        job->status = FSO_STATUS_INVALID_OFFSET;
        return;
    }
    if (const int fault = faultOf(job->writeFault, VfsServerVelm::WriteBlock, file->nativePath())) {
        job->status = writeFailure(fault);
        return;
    }
    if (job->offset > size && ::ftruncate(file->fd(), off_t(job->offset + length)) != 0) {
        job->status = writeFailure(errno);
        return;
    }
    file->touch();
    const qint64 done = writeAt(file->fd(), job->buffer.constData(), qint64(length),
                                qint64(job->offset));
    if (done < 0) {
        job->status = writeFailure(errno);
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
        reply(VfsServerVelmPrivate::refusal(decision));
        return;
    }
    const QByteArray& path = decision.nativePath;
    if (wantRead || wantWrite) {
        // A file opened for writing may be made, which can take long on a
        // busy file system: the open runner does that. One opened for
        // reading only is opened here and now.
        FileJob here;
        here.kind = FileJob::Open;
        here.trId = trId;
        FileJob* job = wantWrite ? d->newFileJob(FileJob::Open, cmd) : &here;
        if (!job) {
            reply(FSO_STATUS_IO_ERROR);
            return;
        }
        job->path = path;
        job->openFlags = flags;
        job->timeFields = timeFields;
        job->accessTime = cmd->accessTime;
        job->birthTime = cmd->birthTime;
        job->modificationTime = cmd->modificationTime;
        job->openSize = cmd->fileSize;
        job->keepTimes =
            d->peerVersion > 1 && wantWrite && (flags & C::OpenTimes) && cmd->fields.has(0);
        job->restricted = d->restricted();
        job->tableFull = d->files.isFull();
        if (wantWrite) {
            d->start(job, &VfsServerVelmPrivate::openWorker);
        } else {
            VfsServerVelmPrivate::openWorker(job);
            openAnswered(job);
        }
        return;
    }
    struct stat st;
    const bool present = ::stat(path.constData(), &st) == 0;
    if ((flags & C::OpenExclusive) && (present || VfsServerVelmPrivate::exists(path))) {
        reply(FSO_STATUS_EXISTS);
        return;
    }
    if (!timesOnly) {
        reply(FSO_STATUS_INVALID_PARAMETER);
        return;
    }
    // Only the times that were given; the others are left as they are.
    const qint64 accessTime =
        (timeFields & C::TimeAccess) && cmd->accessTime > 0 ? cmd->accessTime : 0;
    const qint64 modificationTime =
        (timeFields & C::TimeModification) && cmd->modificationTime > 0 ? cmd->modificationTime
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
}

// On the open runner: the checks that look at the disk, and the open itself.
// The file is added to the table when the reply is built.
void VfsServerVelmPrivate::openWorker(FileJob* job)
{
    const QByteArray& path = job->path;
    const quint32 flags = job->openFlags;
    const bool wantRead = flags & C::OpenRead;
    const bool wantWrite = flags & C::OpenWrite;
    struct stat st;
    const bool present = ::stat(path.constData(), &st) == 0;
    if ((flags & C::OpenExclusive) && (present || exists(path))) {
        job->status = FSO_STATUS_EXISTS;
        return;
    }
    if (job->tableFull) {
        Logger::log(Logger::VSRV, "open-file table full, TrId %u", unsigned(job->trId));
        job->status = FSO_STATUS_IO_ERROR;
        return;
    }
    if (!wantWrite && !present) {
        job->status = FSO_STATUS_NOT_FOUND;
        return;
    }
    // Only regular files: a pipe or a device would block or never end.
    if (present && !S_ISREG(st.st_mode)) {
        job->status = FSO_STATUS_IO_ERROR;
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
    const int fault = wantWrite ? faultOf(job->writeFault, VfsServerVelm::OpenForWrite, path) : 0;
    const int fd = fault ? -1 : VfsFileOperations::openFile(path, mode, job->restricted);
    if (fd < 0) {
        const int error = fault ? fault : errno;
        Logger::log(Logger::VSRV, "failed to open file %s %s (%u), open mode 0x%X",
                    path.constData(), std::strerror(error), unsigned(error), unsigned(mode));
        if (error == EEXIST)
            job->status = FSO_STATUS_EXISTS;
        else
            job->status = wantWrite ? writeFailure(error) : FSO_STATUS_IO_ERROR;
        return;
    }
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        job->status = FSO_STATUS_IO_ERROR;
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    auto file = std::make_shared<VfsOpenFile>(fd, path, wantRead, wantWrite);
    if (job->keepTimes) {
        const quint32 fields = job->timeFields;
        file->keepTimes(fields & C::TimeAccess ? job->accessTime : 0,
                        fields & C::TimeBirth ? job->birthTime : 0,
                        fields & C::TimeModification ? job->modificationTime : 0);
        if ((flags & C::OpenTruncate) && (fields & C::TimeSize)
            && job->openSize < quint64(opened.st_size)
            && ::ftruncate(fd, off_t(job->openSize)) != 0) {
            Logger::log(Logger::VSRV, "failed to truncate file: %s", path.constData());
        }
    }
    job->file = std::move(file);
    job->status = FSO_STATUS_OK;
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
    quint8 refusal = FSO_STATUS_OK;
    FileJob* job = d->takeFileJob(FileJob::Read, cmd, &refusal);
    if (!job) {
        send(VfsMirkCommandWriter::readFileReply(cmd->trId, refusal, quint8(cmd->flags),
                                                 cmd->offset, nullptr, 0),
             "failed to send READ_FILE response TrId %u", cmd->trId);
        return;
    }
    job->size = cmd->size;
    d->start(job, &VfsServerVelmPrivate::readWorker);
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
    quint8 refusal = FSO_STATUS_OK;
    FileJob* job = d->takeFileJob(FileJob::Write, cmd, &refusal);
    if (!job) {
        refuse(refusal);
        return;
    }
    job->length = int(cmd->dataLength);
    std::memcpy(job->buffer.data(), cmd->data, cmd->dataLength);
    d->start(job, &VfsServerVelmPrivate::writeWorker);
}

void VfsServerVelm::processHashFileCommand(VfsMirkCommand* cmd)
{
    // Only SHA-1 digests of blocks that fit a data buffer.
    auto check = [](const VfsMirkCommand* request) -> quint8 {
        if (!(request->flags & 0x01))
            return FSO_STATUS_NOT_SUPPORTED;
        if (request->blockSize == 0 || request->blockSize > quint32(C::DataSize))
            return FSO_STATUS_INVALID_PARAMETER;
        return FSO_STATUS_OK;
    };
    quint8 refusal = FSO_STATUS_OK;
    FileJob* job = d->takeFileJob(FileJob::Hash, cmd, &refusal, check);
    if (!job) {
        send(VfsMirkCommandWriter::hashFileReply(cmd->trId, refusal, 0, 0, nullptr, 0),
             "failed to send HASH_FILE response TrId %u", cmd->trId);
        return;
    }
    job->count = cmd->count;
    job->blockSize = cmd->blockSize;
    d->start(job, &VfsServerVelmPrivate::hashWorker);
}

// The file an open opened goes into the table, and the reply with its handle.
void VfsServerVelm::openAnswered(FileJob* job)
{
    quint16 handle = 0;
    if (job->status == FSO_STATUS_OK && job->file) {
        handle = d->files.add(job->file);
        if (handle == 0)
            job->status = FSO_STATUS_IO_ERROR;
    }
    job->file.reset(); // the table holds it now, or nothing does
    send(VfsMirkCommandWriter::openFileReply(job->trId, job->status, handle),
         "failed to send OPEN_FILE response TrId %u", job->trId);
}

// The reply of a finished job, which then goes back to its pool.
void VfsServerVelm::answer(FileJob* job)
{
    if (job->state != JobBuilt) {
        Logger::log(Logger::VSRV, "unexpected file job state %d", job->state);
        d->recycle(job);
        return;
    }
    switch (job->kind) {
    case FileJob::Open:
        openAnswered(job);
        break;
    case FileJob::Read:
        if ((job->flags & 0x01)
            || ((job->flags & 0x04) && job->status == FSO_STATUS_END_OF_FILE))
            d->closeAfterUse(job);
        Logger::log(Logger::VSRV, "send READ_FILE response TrId %u", unsigned(job->trId));
        send(VfsMirkCommandWriter::readFileReply(job->trId, job->status, job->flags,
                                                    job->offset, job->buffer.constData(),
                                                    job->length),
                "failed to send READ_FILE response TrId %u", job->trId);
        break;
    case FileJob::Write:
        if (job->flags & 0x01)
            d->closeAfterUse(job);
        send(VfsMirkCommandWriter::writeFileReply(job->trId, job->status,
                                                     quint8(job->flags & 0x02), job->offset,
                                                     job->written),
                "failed to send WRITE_FILE response TrId %u", job->trId);
        break;
    case FileJob::Hash:
    default: {
        const quint16 count = quint16(job->length / C::DigestBytes);
        send(VfsMirkCommandWriter::hashFileReply(job->trId, job->status, 0x01, count,
                                                    job->buffer.constData(), job->length),
                "failed to send HASH_FILE response TrId %u", job->trId);
        break;
    }
    }
    d->recycle(job);
}
