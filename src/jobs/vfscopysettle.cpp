#include "jobs/vfscopyjob_p.h"

#include "peer/ipeer.h"
#include "vfs/protocol/fsostatus.h"

#include <QCryptographicHash>
#include <QMutexLocker>
#include <QTimer>

// A copied file counts only once its source is known not to have changed
// while it was read, it has the source's times, and (when it was new) it has
// taken its final name. Until then it is a hidden temporary file, or an
// existing file whose times say it was changed just now.

namespace {

constexpr int MaxNameBytes = 255; // of one name on the destination's file system

QHash<QString, VfsDirectoryEntry> entriesOf(const std::vector<VfsDirectoryEntry>& entries)
{
    QHash<QString, VfsDirectoryEntry> byName;
    for (const VfsDirectoryEntry& entry : entries)
        byName.insert(entry.name, entry);
    return byName;
}

bool isFileItem(const VfsCopyItem& item)
{
    return item.type != VfsCopyItem::TypeDirectory && item.type != VfsCopyItem::TypeDrive
        && item.type != VfsCopyItem::TypeSymbolicLink;
}

} // namespace

QString VfsCopyJob::partName(const QString& name)
{
    const QString suffix = QStringLiteral(".velm-part");
    const QString part = QLatin1Char('.') + name + suffix;
    if (part.toUtf8().size() <= MaxNameBytes)
        return part;
    // A long name: still one name per source name, so a later try finds it.
    const QByteArray digest = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1);
    return QLatin1Char('.') + QString::fromLatin1(digest.toHex()) + suffix;
}

// --- failure reasons ----------------------------------------------------------------

QString VfsCopyJobPrivate::peerName(int side) const
{
    const IPeer* peer = side == SourceSide ? sourcePeer.data() : destinationPeer.data();
    if (!peer)
        return QString();
    const QString name = peer->name();
    return name.isEmpty() ? peer->id() : name;
}

void VfsCopyJobPrivate::noteFailure(int reason, int side, const QString& path)
{
    const QString peer = side >= 0 ? peerName(side) : QString();
    QString text;
    switch (reason) {
    case VfsCopyJob::FailureNoSpace:
        text = qtTrId("copy-failure-no-space").arg(peer, path);
        break;
    case VfsCopyJob::FailureNotPermitted:
        text = qtTrId("copy-failure-not-permitted").arg(peer, path);
        break;
    case VfsCopyJob::FailureNotFound:
        text = qtTrId("copy-failure-not-found").arg(peer, path);
        break;
    case VfsCopyJob::FailurePeerUnreachable:
        text = qtTrId("copy-failure-unreachable").arg(peer);
        break;
    case VfsCopyJob::FailureTimedOut:
        text = qtTrId("copy-failure-timed-out").arg(peer, path);
        break;
    case VfsCopyJob::FailureChangedWhileCopied:
        text = qtTrId("copy-failure-changed").arg(path);
        break;
    default:
        text = side >= 0 ? qtTrId("copy-failure-other").arg(peer, path)
                         : qtTrId("copy-failure-unknown");
        break;
    }
    Logger::log(Logger::VMG2, "copy failure %d: %s", reason, qPrintable(text));
    {
        QMutexLocker lock(&mutex);
        failureReason = reason;
        failureText = text;
        failurePeer = peer;
        failurePath = path;
    }
    failureNoted = true;
    emit q->lastFailureChanged();
}

void VfsCopyJobPrivate::noteRequest(int side, const QString& path, const VfsClientJob& job)
{
    const IPeer* peer = side == SourceSide ? sourcePeer.data() : destinationPeer.data();
    const bool linkUp = peer && peer->linkState() == IPeer::LinkUp && !linkDroppedSinceStart(side);
    int reason = VfsCopyJob::FailureOther;
    switch (job.status) {
    case FSO_STATUS_NO_SPACE:
        reason = VfsCopyJob::FailureNoSpace;
        break;
    case FSO_STATUS_NOT_PERMITTED:
        reason = VfsCopyJob::FailureNotPermitted;
        break;
    case FSO_STATUS_NOT_FOUND:
        reason = VfsCopyJob::FailureNotFound;
        break;
    case FSO_STATUS_TIMEOUT:
        reason = linkUp ? VfsCopyJob::FailureTimedOut : VfsCopyJob::FailurePeerUnreachable;
        break;
    default:
        if (job.jobStatus != VfsClientJob::JobFinished && !linkUp)
            reason = VfsCopyJob::FailurePeerUnreachable;
        break;
    }
    noteFailure(reason, side, path);
}

void VfsCopyJobPrivate::failRequest(int side, const QString& path, const VfsClientJob& job,
                                    const char* reason, int line)
{
    noteRequest(side, path, job);
    abortJob(reason, line);
}

void VfsCopyJobPrivate::clearFailure()
{
    {
        QMutexLocker lock(&mutex);
        if (failureReason == VfsCopyJob::FailureNone && !nextRetryAt.isValid())
            return;
        failureReason = VfsCopyJob::FailureNone;
        failureText.clear();
        failurePeer.clear();
        failurePath.clear();
        nextRetryAt = QDateTime();
    }
    emit q->lastFailureChanged();
    emit q->nextRetryAtChanged();
}

// --- a peer that comes back -------------------------------------------------------------

void VfsCopyJobPrivate::watchPeers()
{
    if (peersWatched)
        return;
    peersWatched = true;
    for (int side : {SourceSide, DestinationSide}) {
        IPeer* peer = side == SourceSide ? sourcePeer.data() : destinationPeer.data();
        // Direct: a link that drops and comes back at once (the peer
        // restarted) shows as LinkUp by the time a queued call looks.
        const bool both = sourcePeer == destinationPeer;
        QObject::connect(peer, &IPeer::linkStateChanged, q, [this, peer, side, both] {
            if (peer->linkState() != IPeer::LinkUp) {
                ++linkDrops[side];
                if (both)
                    ++linkDrops[1 - side];
            }
        }, Qt::DirectConnection);
        QObject::connect(peer, &IPeer::linkStateChanged, q, [this] { onLinkStateChanged(); },
                         Qt::QueuedConnection);
        if (sourcePeer == destinationPeer)
            break;
    }
}

bool VfsCopyJobPrivate::linkDroppedSinceStart(int side) const
{
    return linkDrops[side].load() != linkDropsAtStart[side];
}

// While the job waits to start over, both links up again start it at once.
void VfsCopyJobPrivate::onLinkStateChanged()
{
    if (abortRequested || jobState != WaitRestart || !sourcePeer || !destinationPeer)
        return;
    if (sourcePeer->linkState() != IPeer::LinkUp || destinationPeer->linkState() != IPeer::LinkUp)
        return;
    Logger::log(Logger::VMG2, "peer links up again: start over now");
    if (q->timer())
        q->timer()->stop();
    schedule(VfsJob::ActionStep, __LINE__);
}

// --- totals -------------------------------------------------------------------------------

void VfsCopyJobPrivate::adjustTotal(quint64 from, quint64 to)
{
    if (from == to)
        return;
    const quint64 total = bytesTotal;
    quint64 next = to > from ? total + (to - from) : total - std::min(total, from - to);
    next = std::max<quint64>(next, bytesCopied);
    bytesTotal = next;
    emit q->bytesTotalChanged();
}

namespace {

// The listing's view of a file becomes the item's: what the next copy
// compares with.
void takeEntry(PendingItem* item, const VfsDirectoryEntry& entry)
{
    item->item.size = entry.size;
    item->item.atime = entry.atime;
    item->item.ctime = entry.ctime;
    item->item.mtime = entry.mtime;
    item->inode = entry.inode;
    item->fresh = true;
}

} // namespace

// --- before a file is opened ------------------------------------------------------------

// The source listing that came back, by name; false when it has not come
// back or failed (the step then fails).
bool VfsCopyJobPrivate::sourceListing(QString* path, QHash<QString, VfsDirectoryEntry>* entries)
{
    VfsListDirectoryJob& list = records->list;
    if (!take(&list))
        return false;
    QMutexLocker lock(&list.mutex);
    *path = list.path;
    if (list.jobStatus != VfsClientJob::JobFinished) {
        lock.unlock();
        failRequest(SourceSide, *path, list, "source listing failed", __LINE__);
        return false;
    }
    *entries = entriesOf(list.entries);
    return true;
}

// Files not taken from a listing of this pass (the request's own, and files
// copied again) get their size, times and inode from a listing of their
// directory, one listing for every such file waiting there.
void VfsCopyJobPrivate::baseline(int action)
{
    if (action == VfsJob::ActionUpdate) {
        QString path;
        QHash<QString, VfsDirectoryEntry> entries;
        if (!sourceListing(&path, &entries))
            return;
        for (PendingItem& item : pending) {
            if (item.fresh || !isFileItem(item.item) || parentOf(item.item.path) != path)
                continue;
            bool ok = false;
            const auto it = entries.find(nameOf(item.item.path, &ok));
            if (it != entries.end() && it->type == VfsDirectoryEntry::TypeFile) {
                adjustTotal(item.item.size, it->size);
                takeEntry(&item, *it);
            }
            item.fresh = true; // a missing file: its open says so
        }
        setJobState(NextItem, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    sendList(SourceSide, parentOf(pending.back().item.path), __LINE__);
}

// --- after a file is copied ---------------------------------------------------------------

void VfsCopyJobPrivate::giveUp(const PendingItem& item, const QString& reason)
{
    Logger::log(Logger::VMG2, "give up %s", qPrintable(item.item.path));
    {
        QMutexLocker lock(&mutex);
        failedItems.push_back(VfsCopyFailedItem{item.item.path, reason});
    }
    emit q->failedItemsChanged();
    adjustTotal(item.item.size, 0);
    settle(item.node, false);
}

void VfsCopyJobPrivate::copyAgain(PendingItem item, quint64 counted, bool changed)
{
    const quint64 copied = bytesCopied;
    bytesCopied.fetch_sub(std::min(counted, copied));
    changes |= ChangedCopied;
    if (changed) {
        const int tries = ++changedTries[item.item.path];
        Logger::log(Logger::VMG2, "source %s changed while copied (%d)",
                    qPrintable(item.item.path), tries);
        if (tries >= VfsCopyJob::MaxChangedTries) {
            giveUp(item, qtTrId("copy-failure-changed").arg(item.item.path));
            return;
        }
    }
    pending.push_back(std::move(item));
}

// The copied files of one directory against a new listing of their source:
// size, modification time and inode as they were before the file was opened.
void VfsCopyJobPrivate::checkSource(int action)
{
    if (action == VfsJob::ActionUpdate) {
        QString path;
        QHash<QString, VfsDirectoryEntry> entries;
        if (!sourceListing(&path, &entries))
            return;
        std::vector<SettlingFile> unchanged;
        for (SettlingFile& file : settling) {
            const PendingItem& was = file.item;
            bool ok = false;
            const auto it = entries.find(nameOf(was.item.path, &ok));
            const bool present = it != entries.end() && it->type == VfsDirectoryEntry::TypeFile;
            if (present && it->size == was.item.size && it->mtime == was.item.mtime
                && (it->inode == 0 || was.inode == 0 || it->inode == was.inode)) {
                unchanged.push_back(std::move(file));
                continue;
            }
            if (!present) {
                // Gone, or no longer a file: nothing to copy again.
                const quint64 copied = bytesCopied;
                bytesCopied.fetch_sub(std::min(file.counted, copied));
                giveUp(was, qtTrId("copy-failure-changed").arg(was.item.path));
                continue;
            }
            // What it counted goes first: the total follows its new size
            // and never drops below the bytes counted.
            const quint64 copied = bytesCopied;
            bytesCopied.fetch_sub(std::min(file.counted, copied));
            PendingItem again = was;
            adjustTotal(again.item.size, it->size);
            takeEntry(&again, *it);
            copyAgain(std::move(again), 0, true);
        }
        settling = std::move(unchanged);
        settleIndex = 0;
        settleNext();
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    settleDirectory = parentOf(settling.front().item.item.path);
    if (!sendList(SourceSide, settleDirectory, __LINE__))
        return;
    // The small files after the group are copied while it settles.
    walkAhead();
}

// The checked files get their times, then their names, the requests of a
// step side by side; then the walk goes on.
void VfsCopyJobPrivate::settleNext()
{
    settleIndex = 0;
    const bool times = std::any_of(settling.begin(), settling.end(),
                                   [this](const SettlingFile& f) { return settleNeedsTimes(f); });
    const bool names = std::any_of(settling.begin(), settling.end(),
                                   [](const SettlingFile& f) { return f.writePath != f.finalPath; });
    if (jobState != FileTimes && jobState != Rename && times) {
        setJobState(FileTimes, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    if (jobState != Rename && names) {
        setJobState(Rename, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    finishSettling();
}

bool VfsCopyJobPrivate::settleNeedsTimes(const SettlingFile& file) const
{
    return file.item.item.atime > 0 || file.item.item.mtime > 0;
}

void VfsCopyJobPrivate::sendSettleRequests()
{
    const bool times = jobState == FileTimes;
    int inFlight = 0;
    for (size_t i = 0; i < settleIndex; ++i) {
        const VfsClientJob* job = times ? static_cast<const VfsClientJob*>(records->settleTimes[i].get())
                                        : records->settleMoves[i].get();
        if (isOut(job))
            ++inFlight;
    }
    while (settleIndex < settling.size() && inFlight < limits.settleRequests) {
        const size_t i = settleIndex++;
        const SettlingFile& file = settling[i];
        if (times) {
            while (records->settleTimes.size() <= i)
                records->settleTimes.emplace_back(new VfsOpenFileJob());
            VfsOpenFileJob& open = *records->settleTimes[i];
            back.remove(&open);
            if (!settleNeedsTimes(file))
                continue;
            const VfsCopyItem& item = file.item.item;
            open.flags = C::OpenTimes;
            open.path = file.writePath;
            open.accessTime = item.atime;
            open.birthTime = item.ctime;
            open.modificationTime = item.mtime;
            open.size = 0;
            open.handle = 0;
            if (!send(DestinationSide, &open, &VfsClient::openFile, __LINE__))
                return;
        } else {
            while (records->settleMoves.size() <= i)
                records->settleMoves.emplace_back(new VfsMoveJob());
            VfsMoveJob& move = *records->settleMoves[i];
            back.remove(&move);
            if (file.writePath == file.finalPath)
                continue;
            {
                QMutexLocker lock(&move.mutex);
                move.flags = VfsMoveJob::RefuseExisting | VfsMoveJob::RefuseCrossDevice;
                move.sourcePath = file.writePath;
                move.destinationPath = file.finalPath;
            }
            Logger::log(Logger::VMG2, "rename %s to %s", qPrintable(file.writePath),
                        qPrintable(file.finalPath));
            if (!send(DestinationSide, &move, &VfsClient::move, __LINE__))
                return;
        }
        ++inFlight;
    }
}

bool VfsCopyJobPrivate::settleRequestsBack()
{
    if (settleIndex < settling.size())
        return false;
    const bool times = jobState == FileTimes;
    for (size_t i = 0; i < settleIndex; ++i) {
        const VfsClientJob* job = times ? static_cast<const VfsClientJob*>(records->settleTimes[i].get())
                                        : records->settleMoves[i].get();
        if (isOut(job))
            return false;
    }
    return true;
}

// Every file of the group is in place under its final name, with its times,
// unless its rename found the name taken.
void VfsCopyJobPrivate::finishSettling()
{
    std::vector<SettlingFile> files = std::move(settling);
    // The files closed meanwhile make the start of the next group.
    settling = std::move(settlingNext);
    settlingNext.clear();
    settleIndex = 0;
    for (const SettlingFile& file : files) {
        const VfsCopyItem& item = file.item.item;
        ownDestinations.insert(file.finalPath);
        bool ok = false;
        if (parentOf(file.finalPath) == namesDirectory)
            names.insert(nameOf(file.finalPath, &ok));
        changedTries.remove(item.path);
        addVerified(item);
        settle(file.item.node, true);
    }
    setJobState(NextItem, __LINE__);
    schedule(VfsJob::ActionStep, __LINE__);
}

void VfsCopyJobPrivate::fileTimes(int action)
{
    if (action != VfsJob::ActionStep && action != VfsJob::ActionUpdate)
        return;
    for (size_t i = 0; i < settleIndex; ++i) {
        VfsOpenFileJob& open = *records->settleTimes[i];
        if (!take(&open))
            continue;
        if (open.jobStatus == VfsClientJob::JobFinished
            && (open.status == FSO_STATUS_COMPLETE || open.status == FSO_STATUS_INVALID_PARAMETER))
            continue;
        Logger::log(Logger::VMG2, "failed to set times of %s, status %u",
                    qPrintable(open.path), unsigned(open.status));
        failRequest(DestinationSide, open.path, open, "failed to set file times", __LINE__);
        return;
    }
    sendSettleRequests();
    if (jobState == FileTimes && settleRequestsBack())
        settleNext();
}

void VfsCopyJobPrivate::rename(int action)
{
    if (action != VfsJob::ActionStep && action != VfsJob::ActionUpdate)
        return;
    sendSettleRequests();
    if (jobState != Rename || !settleRequestsBack())
        return;
    // All back: each file in order.
    std::vector<SettlingFile> done;
    const VfsMoveJob* failedMove = nullptr;
    size_t failedIndex = 0;
    for (size_t i = 0; i < settling.size(); ++i) {
        SettlingFile& file = settling[i];
        if (file.writePath == file.finalPath) {
            done.push_back(std::move(file));
            continue;
        }
        VfsMoveJob& move = *records->settleMoves[i];
        take(&move);
        QMutexLocker lock(&move.mutex);
        const quint32 jobStatus = move.jobStatus;
        const quint8 status = move.status;
        lock.unlock();
        if (jobStatus == VfsClientJob::JobFinished && status == FSO_STATUS_OK) {
            done.push_back(std::move(file));
        } else if (jobStatus == VfsClientJob::JobFinished && status == FSO_STATUS_EXISTS) {
            // The name was taken while the file was copied: the file goes
            // the way of one that existed, with the question whether to
            // replace it.
            Logger::log(Logger::VMG2, "%s appeared meanwhile", qPrintable(file.finalPath));
            bool ok = false;
            if (parentOf(file.finalPath) == namesDirectory)
                names.insert(nameOf(file.finalPath, &ok));
            copyAgain(file.item, file.counted, false);
        } else if (!failedMove) {
            failedMove = &move;
            failedIndex = i;
        } else {
            // Another failure: copied again after the restart.
        }
    }
    if (failedMove) {
        // The files in place count; the restart finds the others where
        // they were written.
        const QString finalPath = settling[failedIndex].finalPath;
        settling = std::move(done);
        for (const SettlingFile& file : settling) {
            ownDestinations.insert(file.finalPath);
            changedTries.remove(file.item.item.path);
            addVerified(file.item.item);
            settle(file.item.node, true);
        }
        settling.clear();
        settleIndex = 0;
        failRequest(DestinationSide, finalPath, *failedMove, "failed to rename the copied file",
                    __LINE__);
        return;
    }
    settling = std::move(done);
    finishSettling();
}
