#include "vfs/client/vfsclientvelm_p.h"

#include "com/wire/termstreamreader.h"
#include "vfs/protocol/vfsentryname.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"

#include <QPointer>

#include <limits>

namespace {

using C = VfsMirkCommand;

// Listing types: the wire numbers directories 1 and files 2, the client the
// other way round; links and the values up to highest pass unchanged. An
// entry may be a share (8), what a link leads to never is (7).
quint8 mapType(quint8 wire, quint8 highest)
{
    switch (wire) {
    case 1:
        return VfsDirectoryEntry::TypeDirectory;
    case 2:
        return VfsDirectoryEntry::TypeFile;
    default:
        return wire >= 3 && wire <= highest ? wire : quint8(VfsDirectoryEntry::TypeUnknown);
    }
}

} // namespace

// --- Request frames and log texts ---------------------------------------------

QByteArray buildFrame(VfsListDirectoryJob* job, Request& r)
{
    if (r.command == C::QueryListDirectory)
        return VfsMirkCommandWriter::queryListDirectoryRequest(r.trId, r.index);
    return VfsMirkCommandWriter::listDirectoryRequest(r.trId, r.flags, r.fields, utf8(job->path));
}

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

QByteArray logName(const VfsListDirectoryJob*, const Request&)
{
    return "list dir job";
}

QByteArray buildFrame(VfsListDrivesJob*, Request& r)
{
    return VfsMirkCommandWriter::listDrivesRequest(r.trId, 16, 0);
}

void logSent(const VfsListDrivesJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send LIST_DRIVES request TrId %u", unsigned(r.trId));
    Logger::log(Logger::VCLI, "send list drives req TrId %u %s", unsigned(r.trId),
                job->label.toUtf8().constData());
}

QByteArray logName(const VfsListDrivesJob* job, const Request&)
{
    return "list drives job 0x" + QByteArray::number(quintptr(job), 16);
}

// --- Replies ----------------------------------------------------------------

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
            entry.type = mapType(wire.type & 0x7F, 8);
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
            entry.targetType = mapType(wire.targetType, 7);
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

// --- Requests ---------------------------------------------------------------

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
