// Small new files copied side by side. Each one still goes every step of a
// file: both sides opened, the source's digest taken, its data read and
// written, the written data hashed on the destination and compared with the
// source's digest, both handles closed, then checked, stamped and renamed with
// its directory's group. Only the waiting is shared: while one file waits for
// its answers, the next ones are asked for theirs. Files leave for closing in
// the order the walk gave them, so the verified files come out in that order.

#include "jobs/vfscopyjob_p.h"

#include "vfs/protocol/fsostatus.h"

#include <QDateTime>

#include <algorithm>
#include <cstring>

namespace {

bool holds(const LaneRecords* records, const VfsClientJob* job)
{
    return job == &records->open[SourceSide] || job == &records->open[DestinationSide]
        || job == &records->digest || job == &records->read || job == &records->write
        || job == &records->verify;
}

// A digest reply: answered, and as many digest bytes as digests, never more
// than the two asked for.
bool digestsWellFormed(const VfsHashFileJob& hash)
{
    return hash.jobStatus == VfsClientJob::JobFinished
        && (hash.status == FSO_STATUS_OK || hash.status == FSO_STATUS_END_OF_FILE)
        && hash.digestsReceived <= hash.count
        && hash.digestBytes == quint32(hash.digestsReceived) * DigestBytes;
}

} // namespace

LaneRecords* VfsCopyJobPrivate::freeLaneRecords()
{
    for (const auto& record : records->lanes) {
        LaneRecords* r = record.get();
        bool busy = std::any_of(lanes.begin(), lanes.end(),
                                [r](const Lane& lane) { return lane.records == r; });
        const VfsClientJob* jobs[] = {&r->open[SourceSide], &r->open[DestinationSide], &r->digest,
                                      &r->read, &r->write, &r->verify};
        for (const VfsClientJob* job : jobs)
            busy = busy || isOut(job);
        if (busy)
            continue;
        for (const VfsClientJob* job : jobs)
            back.remove(job);
        return r;
    }
    records->lanes.emplace_back(new LaneRecords());
    return records->lanes.back().get();
}

bool VfsCopyJobPrivate::walkLanes()
{
    QString writeTo, finalTo;
    if (pending.back().item.path.toUtf8().size() > MaxPathBytes
        || !laneFits(pending.back(), &writeTo, &finalTo)) {
        if (lanes.empty())
            return false;
        // A file that goes the usual way waits for the files before it.
        waitingForLanes = true;
        return true;
    }
    if (lanes.size() >= size_t(limits.files)) {
        waitingForLanes = true;
        return true;
    }
    startLane(writeTo, finalTo);
    schedule(VfsJob::ActionStep, __LINE__);
    return true;
}

void VfsCopyJobPrivate::walkAhead()
{
    while (settlingGroup() && !abortRequested && !pending.empty()
           && lanes.size() < size_t(limits.files)
           && lanes.size() + closing.size() + settlingNext.size() < size_t(VfsCopyJob::SettleGroup)) {
        const PendingItem& item = pending.back();
        const int type = item.item.type;
        if (type == VfsCopyItem::TypeDirectory || type == VfsCopyItem::TypeDrive
            || type == VfsCopyItem::TypeSymbolicLink
            || parentOf(item.item.path) != settleDirectory
            || item.item.path.toUtf8().size() > MaxPathBytes)
            return;
        QString writeTo, finalTo;
        if (!laneFits(item, &writeTo, &finalTo))
            return;
        startLane(writeTo, finalTo);
    }
}

void VfsCopyJobPrivate::startLane(const QString& writeTo, const QString& finalTo)
{
    LaneRecords* r = freeLaneRecords();
    lanes.emplace_back();
    Lane& lane = lanes.back();
    lane.item = pending.back();
    lane.writePath = writeTo;
    lane.finalPath = finalTo;
    lane.records = r;
    pending.pop_back();
    bool ok = false;
    setCurrentFile(nameOf(finalTo, &ok));
    Logger::log(Logger::VMG2, "open file %s beside others, write %s",
                qPrintable(lane.item.item.path), qPrintable(writeTo));
    // As on the usual way: the size travels with the present time, the
    // source's times come once the file is verified.
    VfsCopyItem stamp;
    stamp.atime = stamp.mtime = QDateTime::currentMSecsSinceEpoch();
    const quint64 size = lane.item.item.size;
    if (sendOpen(SourceSide, C::OpenRead, lane.item.item.path, VfsCopyItem(), 0, __LINE__,
                 &r->open[SourceSide]))
        sendOpen(DestinationSide, C::OpenRead | C::OpenWrite | C::OpenTruncate, writeTo, stamp, size,
                 __LINE__, &r->open[DestinationSide]);
}

bool VfsCopyJobPrivate::laneReplied(const VfsClientJob* job)
{
    LaneRecords* owner = nullptr;
    for (const auto& record : records->lanes) {
        if (holds(record.get(), job)) {
            owner = record.get();
            break;
        }
    }
    if (!owner)
        return false;
    int side = 0;
    if (!returned(job, &side))
        return true;
    take(job);
    Lane* lane = nullptr;
    for (Lane& candidate : lanes) {
        if (candidate.records == owner) {
            lane = &candidate;
            break;
        }
    }
    if (!lane || abortRequested) {
        // Its file was let go with a failed try: what its open opened is
        // closed, the rest is only taken back.
        if (job == &owner->open[SourceSide] || job == &owner->open[DestinationSide]) {
            const auto* open = static_cast<const VfsOpenFileJob*>(job);
            if (opened(*open))
                closeLeftHandle(side, open->handle);
        }
        recordsSettled();
        return true;
    }
    laneAdvance(lane);
    return true;
}

void VfsCopyJobPrivate::laneAdvance(Lane* lane)
{
    LaneRecords& r = *lane->records;
    switch (lane->step) {
    case LaneOpening: {
        VfsOpenFileJob& source = r.open[SourceSide];
        VfsOpenFileJob& destination = r.open[DestinationSide];
        if (isOut(&source) || isOut(&destination))
            return;
        if (opened(source))
            lane->handle[SourceSide] = source.handle;
        if (opened(destination))
            lane->handle[DestinationSide] = destination.handle;
        if (!lane->handle[SourceSide]) {
            // Nothing of it stays on the destination: the empty file its
            // open made goes again.
            const QString path = lane->item.item.path;
            if (lane->handle[DestinationSide]) {
                closeLeftHandle(DestinationSide, lane->handle[DestinationSide]);
                lane->handle[DestinationSide] = 0;
                deleteMadeFile(lane->writePath);
            }
            removeLane(lane);
            if (source.status == FSO_STATUS_NOT_PERMITTED
                && source.jobStatus == VfsClientJob::JobFinished)
                failFinally(qtTrId("open-src-file-access-denied").arg(path), "source refused",
                            __LINE__);
            else
                failRequest(SourceSide, path, source, "failed to open read file", __LINE__);
            return;
        }
        if (!lane->handle[DestinationSide]) {
            const QString path = lane->writePath;
            if (destination.status == FSO_STATUS_NOT_PERMITTED
                && destination.jobStatus == VfsClientJob::JobFinished) {
                failFinally(qtTrId("open-dst-file-access-denied").arg(path), "destination refused",
                            __LINE__);
            } else {
                failRequest(DestinationSide, path, destination, "failed to open write file",
                            __LINE__);
            }
            return;
        }
        lane->step = LaneReading;
        VfsHashFileJob& digest = r.digest;
        digest.flags = 0x01;
        digest.handle = lane->handle[SourceSide];
        digest.count = 2; // a second digest says the file grew past one block
        digest.blockSize = VfsCopyJob::BlockSize;
        digest.offset = 0;
        digest.digestsReceived = 0;
        digest.digestBytes = 0;
        if (!send(SourceSide, &digest, &VfsClient::hashFile, __LINE__))
            return;
        if (lane->item.item.size == 0)
            return;
        VfsReadFileJob& read = r.read;
        read.flags = 0;
        read.handle = lane->handle[SourceSide];
        read.offset = 0;
        read.size = VfsCopyJob::BlockSize;
        read.length = 0;
        send(SourceSide, &read, &VfsClient::readFile, __LINE__);
        return;
    }
    case LaneReading: {
        const bool empty = lane->item.item.size == 0;
        if (isOut(&r.digest) || (!empty && isOut(&r.read)))
            return;
        const VfsHashFileJob& digest = r.digest;
        if (!digestsWellFormed(digest)) {
            laneFailed(lane, SourceSide, digest, "source digest failed", __LINE__);
            return;
        }
        const int count = digest.digestsReceived;
        // A source that is no longer the size it was listed with goes the
        // usual way.
        if (digest.status != FSO_STATUS_END_OF_FILE || count > 1 || (count == 0) != empty) {
            laneChanged(lane);
            return;
        }
        lane->digestCount = count;
        if (count)
            std::memcpy(lane->digest, digest.digests, DigestBytes);
        if (empty) {
            lane->step = LaneVerifying;
        } else {
            const VfsReadFileJob& read = r.read;
            if (read.jobStatus != VfsClientJob::JobFinished
                || (read.status != FSO_STATUS_OK && read.status != FSO_STATUS_END_OF_FILE)
                || read.length > quint32(VfsReadFileJob::MaxData)) {
                laneFailed(lane, SourceSide, read, "failed to read", __LINE__);
                return;
            }
            if (read.length == 0) {
                laneChanged(lane);
                return;
            }
            VfsWriteFileJob& write = r.write;
            write.flags = 0x04;
            write.handle = lane->handle[DestinationSide];
            write.offset = 0;
            write.size = read.length;
            write.written = 0;
            std::memcpy(write.data, read.data, read.length);
            lane->step = LaneWriting;
            send(DestinationSide, &write, &VfsClient::writeFile, __LINE__);
            return;
        }
        break;
    }
    case LaneWriting: {
        const VfsWriteFileJob& write = r.write;
        if (isOut(&write))
            return;
        if (write.jobStatus != VfsClientJob::JobFinished || write.status != FSO_STATUS_OK
            || write.written != write.size) {
            laneFailed(lane, DestinationSide, write, "failed to write", __LINE__);
            return;
        }
        // A file counts no more than its size as listed.
        lane->counted = std::min<quint64>(write.size, lane->item.item.size);
        countCopied(lane->counted);
        updateSpeed(write.size);
        report();
        lane->step = LaneVerifying;
        break;
    }
    case LaneVerifying: {
        const VfsHashFileJob& verify = r.verify;
        if (isOut(&verify))
            return;
        if (!digestsWellFormed(verify)) {
            laneFailed(lane, DestinationSide, verify, "destination digest failed", __LINE__);
            return;
        }
        if (verify.digestsReceived != lane->digestCount
            || (lane->digestCount
                && std::memcmp(verify.digests, lane->digest, DigestBytes) != 0)) {
            // What was read is not what the digest was taken of: the
            // source changed between the two.
            Logger::log(Logger::VMG2, "written %s does not match its source",
                        qPrintable(lane->writePath));
            laneChanged(lane);
            return;
        }
        lane->step = LaneVerified;
        closeVerifiedLanes();
        return;
    }
    default:
        return;
    }
    // The written file is hashed on the destination: it counts only when
    // its digest is the source's.
    VfsHashFileJob& verify = r.verify;
    verify.flags = 0x01;
    verify.handle = lane->handle[DestinationSide];
    verify.count = 2;
    verify.blockSize = VfsCopyJob::BlockSize;
    verify.offset = 0;
    verify.digestsReceived = 0;
    verify.digestBytes = 0;
    send(DestinationSide, &verify, &VfsClient::hashFile, __LINE__);
}

void VfsCopyJobPrivate::laneFailed(Lane* lane, int side, const VfsClientJob& job,
                                   const char* reason, int line)
{
    const QString path = side == SourceSide ? lane->item.item.path : lane->writePath;
    Logger::log(Logger::VMG2, "%s: %s, job status %u", reason, qPrintable(path),
                unsigned(job.jobStatus));
    // The failed try lets go of every lane, this one included.
    failRequest(side, path, job, reason, line);
}

// The source changed while its lane copied it: the file goes back to the
// walk and is copied again the usual way, after a new look at its size and
// times; after too many changes it is given up.
void VfsCopyJobPrivate::laneChanged(Lane* lane)
{
    closeLeftHandle(SourceSide, lane->handle[SourceSide]);
    closeLeftHandle(DestinationSide, lane->handle[DestinationSide]);
    PendingItem item = lane->item;
    item.fresh = false;
    const quint64 counted = lane->counted;
    removeLane(lane);
    copyAgain(std::move(item), counted, true);
    closeVerifiedLanes();
}

void VfsCopyJobPrivate::removeLane(Lane* lane)
{
    for (auto it = lanes.begin(); it != lanes.end(); ++it) {
        if (&*it == lane) {
            lanes.erase(it);
            return;
        }
    }
}

void VfsCopyJobPrivate::closeVerifiedLanes()
{
    while (!lanes.empty() && lanes.front().step == LaneVerified) {
        const Lane lane = std::move(lanes.front());
        lanes.pop_front();
        Logger::log(Logger::VMG2, "verified %s", qPrintable(lane.writePath));
        closeAside(SettlingFile{lane.item, lane.writePath, lane.finalPath, lane.counted},
                   lane.handle[SourceSide], lane.handle[DestinationSide]);
        if (jobState == Failed)
            return;
    }
    wakeWalk();
}

void VfsCopyJobPrivate::wakeWalk()
{
    if (settlingGroup()) {
        walkAhead();
        return;
    }
    if (jobState != NextItem || abortRequested)
        return;
    if ((waitingForLanes && lanes.size() < size_t(limits.files))
        || (waitingForCloses && closing.empty() && lanes.empty())) {
        waitingForLanes = false;
        waitingForCloses = false;
        schedule(VfsJob::ActionStep, __LINE__);
    }
}

void VfsCopyJobPrivate::dropLanes()
{
    for (Lane& lane : lanes) {
        closeLeftHandle(SourceSide, lane.handle[SourceSide]);
        closeLeftHandle(DestinationSide, lane.handle[DestinationSide]);
    }
    lanes.clear();
    waitingForLanes = false;
}
