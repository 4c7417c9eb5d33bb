#include "vfs/server/vfsservervelm_p.h"

#include "core/logger.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"
#include "vfs/server/vfsfileoperations.h"
#include "vfs/watch/vfswatcher.h"

#include <QDir>
#include <QFile>
#include <QTimer>

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using C = VfsMirkCommand;
using Entry = VfsMirkListEntry;

// A listing page ends when less than this is left in its buffer.
constexpr int kPageReserve = 160;
// Listing pages of a peer built at once; the others wait in line.
constexpr int kMaxRunningPages = 2;
// Listings a peer may hold open at once; each holds its entry list.
constexpr int kMaxListingJobs = 64;
// Client names remembered for watched directories listed under another name.
constexpr int kMaxWatchAliases = 256;
constexpr int kMaxAliasesPerDirectory = 8;

} // namespace

void VfsServerVelmPrivate::startWaitingPages()
{
    while (runningPages < kMaxRunningPages && !waitingPages.empty()) {
        QueryListDirectoryJob* job = waitingPages.front();
        waitingPages.pop_front();
        ++runningPages;
        job->watcher.setFuture(runWork(timings.workInline, [job] { buildPage(job); }));
    }
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
        status = VfsServerVelmPrivate::refusal(decision);
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
