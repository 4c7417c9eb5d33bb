#include "jobs/vfscopyjob_p.h"

#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsentryname.h"

#include <QDir>
#include <QMutexLocker>
#include <QTimer>

namespace {

const QString SharesRoot = QStringLiteral("%shares");

QString cleaned(const QString& path)
{
    return QDir::cleanPath(path);
}

bool isBraced(const QString& name)
{
    return name.size() >= 2 && name.startsWith(QLatin1Char('{')) && name.endsWith(QLatin1Char('}'));
}

bool isShareRoot(const QString& path)
{
    bool ok = false;
    return isBraced(nameOf(path, &ok)) && ok && parentOf(path) == SharesRoot;
}

bool usableName(const QString& name)
{
    return isSafeEntryName(name.toUtf8());
}

// The destination path of an item: the renaming it carries applied.
QString renamed(const QString& path, const VfsCopyItem& item)
{
    if (item.renameFrom.isEmpty() || !path.startsWith(item.renameFrom))
        return path;
    return item.renameTo + path.mid(item.renameFrom.size());
}

} // namespace

void VfsCopyJobPrivate::addVerified(const VfsCopyItem& item)
{
    QMutexLocker lock(&mutex);
    verified.push_back(item);
}

// One child of node is done (complete: copied and verified, or otherwise
// left out); a directory whose last child is done is done itself.
void VfsCopyJobPrivate::settle(int node, bool complete)
{
    while (node >= 0 && node < int(nodes.size())) {
        DirectoryNode& directory = nodes[size_t(node)];
        if (!complete)
            directory.incomplete = true;
        if (--directory.open > 0)
            return;
        complete = !directory.incomplete;
        if (complete)
            addVerified(directory.item);
        node = directory.parent;
    }
}

std::vector<PendingItem> VfsCopyJobPrivate::requestItems() const
{
    std::vector<PendingItem> items;
    items.reserve(request.entries.size());
    for (const VfsCopyItem& entry : request.entries) {
        PendingItem item{entry, -1};
        const auto it = renames.find(entry.path);
        if (it != renames.end()) {
            item.item.renameFrom = entry.path;
            item.item.renameTo = it.value();
        }
        items.push_back(std::move(item));
    }
    return items;
}

bool VfsCopyJobPrivate::lookUpPeers()
{
    PeerModel* model = PeerModel::instance();
    if (!sourcePeer && model)
        sourcePeer = model->getPeerForUuid(request.srcPeerUuid);
    if (!destinationPeer && model)
        destinationPeer = model->getPeerForUuid(request.dstPeerUuid);
    return sourcePeer && destinationPeer;
}

// What no restart can mend: names that cannot become paths, and a folder
// copied into itself, which would copy what it has just made without end.
bool VfsCopyJobPrivate::checkRequest(QString* prompt, const char** reason) const
{
    if (request.dstPath.isEmpty()) {
        *prompt = qtTrId("copy-no-destination");
        *reason = "no destination directory";
        return false;
    }
    const QString destination = cleaned(request.dstPath);
    for (const VfsCopyItem& item : request.entries) {
        if (item.type == VfsCopyItem::TypeDrive || item.type == VfsCopyItem::TypeSymbolicLink)
            continue; // left out by the walk
        bool ok = false;
        const QString name = nameOf(item.path, &ok);
        if (!ok || !usableName(name)) {
            *prompt = qtTrId("copy-unsafe-name").arg(item.path);
            *reason = "unusable name in the request";
            return false;
        }
        if (!samePeer || (item.type != VfsCopyItem::TypeDirectory && item.type != VfsCopyItem::TypeShare))
            continue;
        const QString source = cleaned(item.path);
        const QString inside = source.endsWith(QLatin1Char('/')) ? source : source + QLatin1Char('/');
        if (destination == source || destination.startsWith(inside)) {
            *prompt = qtTrId("copy-into-itself").arg(item.path);
            *reason = "destination inside the source";
            return false;
        }
    }
    return true;
}

QString VfsCopyJobPrivate::shareName(const QString& name) const
{
    const QString found = shareNames.value(name);
    return !found.isEmpty() && usableName(found) ? found : name;
}

// A path the protocol cannot carry ends the job.
bool VfsCopyJobPrivate::pathFits(const QString& path, int line)
{
    if (path.toUtf8().size() <= MaxPathBytes)
        return true;
    failFinally(qtTrId("copy-path-too-long").arg(path), "path too long", line);
    return false;
}

// --- states -------------------------------------------------------------------

void VfsCopyJobPrivate::startUp(int action)
{
    if (action != VfsJob::ActionStep)
        return;
    lookUpPeers();
    if (!sourcePeer || !destinationPeer) {
        abortJob("src or dst peer unknown", __LINE__);
        return;
    }
    watchPeers();
    for (int side : {SourceSide, DestinationSide})
        linkDropsAtStart[side] = linkDrops[side].load();
    failureNoted = false;
    {
        QMutexLocker lock(&mutex);
        nextRetryAt = QDateTime();
    }
    emit q->nextRetryAtChanged();
    if (sourcePeer->linkState() != IPeer::LinkUp || destinationPeer->linkState() != IPeer::LinkUp) {
        noteFailure(VfsCopyJob::FailurePeerUnreachable,
                    sourcePeer->linkState() != IPeer::LinkUp ? SourceSide : DestinationSide,
                    QString());
        abortJob("src or dst peer link not up", __LINE__);
        return;
    }
    VfsClient* sourceClient = sourcePeer->vfsClient();
    VfsClient* destinationClient = destinationPeer->vfsClient();
    if (!sourceClient || !destinationClient) {
        abortJob("src or dst peer has no file-system client", __LINE__);
        return;
    }
    clients[SourceSide] = sourceClient;
    clients[DestinationSide] = destinationClient;
    clientKeys[SourceSide] = sourceClient;
    clientKeys[DestinationSide] = destinationClient;
    watchClient(sourceClient);
    watchClient(destinationClient);
    samePeer = sourcePeer == destinationPeer;

    replaceAllActive |= request.overwriteAll != 0;
    replaceCurrent |= request.overwrite != 0;
    back.clear();
    waitingForRecords = false;
    windowStart = -1;
    windowBytes = 0;
    bytesPerSecond = 0;
    lastCopiedSignal = now();

    pending = requestItems();
    targetDirectory = request.dstPath;
    pendingDirectory = VfsCopyItem();
    pendingDirectoryNode = -1;
    batches.clear();
    nodes.clear();
    settling.clear();
    settlingNext.clear();
    settleIndex = 0;
    closing.clear();
    waitingForCloses = false;
    lanes.clear();
    waitingForLanes = false;
    aheadSent = false;
    aheadDropped = false;
    namesDirectory.clear();
    names.clear();
    freshDirectories.clear();
    listingDestination = false;
    sourceMoved = false;
    if (countingPass) {
        quint64 total = 0;
        int files = 0;
        for (const VfsCopyItem& item : request.entries) {
            if (item.type == VfsCopyItem::TypeFile) {
                total += item.size;
                ++files;
            }
        }
        totalFileCount = files;
        bytesCopied = 0;
        bytesTotal = total;
        emit q->bytesTotalChanged();
        emit q->totalFileCountChanged();
        emit q->stateChanged();
    } else {
        bool hadFailed = false;
        {
            QMutexLocker lock(&mutex);
            verified.clear();
            hadFailed = !failedItems.empty();
            failedItems.clear();
        }
        if (hadFailed)
            emit q->failedItemsChanged();
    }

    QString prompt;
    const char* reason = nullptr;
    if (!checkRequest(&prompt, &reason)) {
        failFinally(prompt, reason, __LINE__);
        return;
    }
    lookUpStep = 0;
    setJobState(namesResolved ? NextItem : LookUpNames, __LINE__);
    {
        QMutexLocker lock(&mutex);
        currentFile.clear();
        userActionPrompt.clear();
    }
    schedule(VfsJob::ActionStep, __LINE__);
    if (abortRequested)
        abortJob("aborted by user", __LINE__);
}

// Once per job: the names of shares given by uuid, and free names for copies
// that land in the directory they come from. Both stay for every restart, so
// a copy keeps the name it got first.
void VfsCopyJobPrivate::lookUpNames(int action)
{
    VfsListDirectoryJob& list = records->list;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&list))
            return;
        QMutexLocker lock(&list.mutex);
        if (list.jobStatus != VfsClientJob::JobFinished) {
            lock.unlock();
            abortJob("listing for names failed", __LINE__);
            return;
        }
        if (lookUpStep == 1) {
            for (const VfsDirectoryEntry& entry : list.entries) {
                if (entry.type != VfsDirectoryEntry::TypeShare || entry.ref.isEmpty())
                    continue;
                QString uuid = entry.ref;
                if (!isBraced(uuid))
                    uuid = QLatin1Char('{') + uuid + QLatin1Char('}');
                shareNames.insert(uuid, entry.name);
            }
            lookUpStep = 2;
        } else if (lookUpStep == 3) {
            QSet<QString> taken;
            for (const VfsDirectoryEntry& entry : list.entries)
                taken.insert(entry.name);
            lock.unlock();
            const QString destination = cleaned(request.dstPath);
            for (const VfsCopyItem& item : request.entries) {
                bool ok = false;
                const QString name = nameOf(item.path, &ok);
                if (item.type == VfsCopyItem::TypeDrive || item.type == VfsCopyItem::TypeSymbolicLink
                    || cleaned(parentOf(item.path)) != destination || !taken.contains(name))
                    continue;
                const QString copy = VfsCopyJob::duplicateName(
                    name, item.type == VfsCopyItem::TypeDirectory,
                    [&taken](const QString& candidate) { return taken.contains(candidate); });
                if (copy.isEmpty()) {
                    Logger::log(Logger::VMG2, "failed to figure out a duplicate name for %s",
                                qPrintable(item.path));
                    failFinally(qtTrId("copy-no-duplicate-name").arg(item.path),
                                "no free name for a copy", __LINE__);
                    return;
                }
                Logger::log(Logger::VMG2, "> %s --> %s", qPrintable(name), qPrintable(copy));
                taken.insert(copy);
                renames.insert(item.path, joinPath(request.dstPath, copy));
            }
            lookUpStep = 4;
        }
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    if (lookUpStep == 0) {
        lookUpStep = 2;
        for (const VfsCopyItem& item : request.entries) {
            if (isShareRoot(item.path)) {
                lookUpStep = 1;
                sendList(SourceSide, SharesRoot, __LINE__);
                return;
            }
        }
    }
    if (lookUpStep == 2) {
        lookUpStep = 4;
        const QString destination = cleaned(request.dstPath);
        for (const VfsCopyItem& item : request.entries) {
            if (samePeer && cleaned(parentOf(item.path)) == destination) {
                lookUpStep = 3;
                sendList(DestinationSide, request.dstPath, __LINE__);
                return;
            }
        }
    }
    if (lookUpStep == 4) {
        namesResolved = true;
        pending = requestItems();
        setJobState(NextItem, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
    }
}

void VfsCopyJobPrivate::nextItem(int action)
{
    if (action != VfsJob::ActionStep)
        return;
    // Copied files are checked against their source a directory at a time,
    // before that directory's times are set; files still being closed
    // belong to the group, and so do the small files still in flight.
    const PendingItem* first = !closing.empty() ? &closing.front().file.item
        : !settling.empty()                      ? &settling.front().item
        : !lanes.empty()                         ? &lanes.front().item
                                                 : nullptr;
    if (first
        && (pending.empty()
            || settling.size() + closing.size() + lanes.size() >= size_t(VfsCopyJob::SettleGroup)
            || parentOf(pending.back().item.path) != parentOf(first->item.path))) {
        if (!closing.empty() || !lanes.empty()) {
            waitingForCloses = true;
            return;
        }
        setJobState(CheckSource, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    if (pending.empty()) {
        if (!pendingDirectory.path.isEmpty()) {
            Logger::log(Logger::VMG2, "process timestamp %s", qPrintable(pendingDirectory.path));
            setJobState(DirectoryTimes, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
            return;
        }
        if (batches.empty()) {
            if (countingPass) {
                countingPass = false;
                setJobState(StartUp, __LINE__);
            } else {
                flushProgress();
                setJobState(Finished, __LINE__);
            }
            schedule(VfsJob::ActionStep, __LINE__);
            return;
        }
        Batch batch = std::move(batches.back());
        batches.pop_back();
        pending = std::move(batch.items);
        targetDirectory = batch.destinationPath;
        if (!countingPass) {
            pendingDirectory = batch.directory;
            pendingDirectoryNode = batch.node;
        }
        Logger::log(Logger::VMG2, "process batch %s", qPrintable(batch.sourcePath));
        if (pending.empty()) {
            schedule(VfsJob::ActionStep, __LINE__);
            return;
        }
    }
    const PendingItem& item = pending.back();
    switch (item.item.type) {
    case VfsCopyItem::TypeDirectory:
        setJobState(MakeDirectory, __LINE__);
        break;
    case VfsCopyItem::TypeDrive:
    case VfsCopyItem::TypeSymbolicLink:
        Logger::log(Logger::VMG2, "ignore copy drive or link entry %s", qPrintable(item.item.path));
        if (!countingPass)
            settle(item.node, false);
        pending.pop_back();
        break;
    default:
        if (countingPass) {
            pending.pop_back();
            break;
        }
        if (walkLanes())
            return;
        fileSize = item.item.size;
        setJobState(item.fresh ? OpenSource : Baseline, __LINE__);
        break;
    }
    schedule(VfsJob::ActionStep, __LINE__);
}

void VfsCopyJobPrivate::makeDirectory(int action)
{
    VfsMakeDirectoryJob& job = records->makeDirectory;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&job))
            return;
        if (succeeded(job)) {
            if (job.existing == 0)
                freshDirectories.insert(job.path); // made just now: empty
            setJobState(ListDirectory, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else if (job.status == FSO_STATUS_NOT_PERMITTED) {
            failFinally(qtTrId("copy-dst-dir-access-denied").arg(job.path), "mkdir refused",
                        __LINE__);
        } else if (job.existing == 12) {
            failFinally(qtTrId("copy-dst-not-a-directory").arg(job.path),
                        "mkdir over a file", __LINE__);
        } else {
            Logger::log(Logger::VMG2, "mkdir %s failed, status: %u", qPrintable(job.path),
                        unsigned(job.status));
            failRequest(DestinationSide, job.path, job, "mkdir failed", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    const PendingItem item = pending.back();
    bool ok = false;
    QString name = nameOf(item.item.path, &ok);
    if (isShareRoot(item.item.path))
        name = shareName(name);
    if (!ok || !usableName(name)) {
        failFinally(qtTrId("copy-unsafe-name").arg(item.item.path), "mkdir malformed path",
                    __LINE__);
        return;
    }
    Batch batch;
    batch.sourcePath = item.item.path;
    batch.destinationPath = joinPath(targetDirectory, name);
    batch.renameFrom = item.item.renameFrom;
    batch.renameTo = item.item.renameTo;
    pending.pop_back();
    if (countingPass) {
        Logger::log(Logger::VMG2, "crawl dir %s", qPrintable(batch.sourcePath));
        batches.push_back(std::move(batch));
        setJobState(ListDirectory, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    const QString destination = renamed(batch.destinationPath, item.item);
    if (!pathFits(destination, __LINE__))
        return;
    batch.node = int(nodes.size());
    nodes.push_back(DirectoryNode{item.item, item.node, 1, false});
    batch.directory = item.item;
    batch.directory.path = destination;
    batches.push_back(std::move(batch));
    job.flags = 0;
    job.path = destination;
    job.existing = 0;
    Logger::log(Logger::VMG2, "mkdir %s", qPrintable(destination));
    if (send(DestinationSide, &job, &VfsClient::makeDirectory, __LINE__))
        setCurrentFile(destination);
}

void VfsCopyJobPrivate::listDirectory(int action)
{
    VfsListDirectoryJob& list = records->list;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&list))
            return;
        QMutexLocker lock(&list.mutex);
        if (list.jobStatus != VfsClientJob::JobFinished) {
            const quint8 status = list.status;
            const QString path = list.path;
            lock.unlock();
            // The directory's contents would be missing: never a quiet success.
            if (status == FSO_STATUS_NOT_PERMITTED)
                failFinally(qtTrId("copy-list-access-denied").arg(path), "listing refused",
                            __LINE__);
            else
                failRequest(SourceSide, path, list, "listing failed", __LINE__);
            return;
        }
        Batch& batch = batches.back();
        quint64 bytes = 0;
        int files = 0;
        bool leftOut = false;
        for (const VfsDirectoryEntry& entry : list.entries) {
            // Names become destination paths: a source must not lead the
            // copy out of the destination directory.
            if (!usableName(entry.name)) {
                const QString name = entry.name;
                lock.unlock();
                Logger::log(Logger::ERR1, "unusable name in listing of %s",
                            qPrintable(batch.sourcePath));
                failFinally(qtTrId("copy-unsafe-name").arg(joinPath(batch.sourcePath, name)),
                            "unusable name in a listing", __LINE__);
                return;
            }
            PendingItem item;
            item.node = batch.node;
            item.inode = entry.inode;
            item.fresh = true;
            item.item.path = joinPath(list.path, entry.name);
            item.item.renameFrom = batch.renameFrom;
            item.item.renameTo = batch.renameTo;
            item.item.atime = entry.atime;
            item.item.ctime = entry.ctime;
            item.item.mtime = entry.mtime;
            switch (entry.type) {
            case VfsDirectoryEntry::TypeFile:
                item.item.type = VfsCopyItem::TypeFile;
                item.item.size = entry.size;
                if (countingPass) {
                    bytes += entry.size;
                    ++files;
                }
                break;
            case VfsDirectoryEntry::TypeDirectory:
                item.item.type = VfsCopyItem::TypeDirectory;
                break;
            case VfsDirectoryEntry::TypeSymbolicLink:
                item.item.type = VfsCopyItem::TypeSymbolicLink;
                break;
            default:
                Logger::log(Logger::VMG2, "ignore special file %s", qPrintable(item.item.path));
                leftOut = true;
                continue;
            }
            batch.items.push_back(std::move(item));
        }
        lock.unlock();
        if (!countingPass && batch.node >= 0) {
            DirectoryNode& node = nodes[size_t(batch.node)];
            node.open += int(batch.items.size());
            node.incomplete |= leftOut;
        }
        if (files) {
            bytesTotal.fetch_add(bytes);
            totalFileCount.fetch_add(files);
            emit q->bytesTotalChanged();
            emit q->totalFileCountChanged();
        }
        setJobState(NextItem, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    const QString path = batches.back().sourcePath;
    if (!pathFits(path, __LINE__))
        return;
    sendList(SourceSide, path, __LINE__);
}

void VfsCopyJobPrivate::openSource(int action)
{
    VfsOpenFileJob& open = records->open;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&open))
            return;
        if (opened(open)) {
            Logger::log(Logger::VMG2, "\topen file SUCCESS");
            sourceHandle = open.handle;
            setJobState(OpenDestination, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
            return;
        }
        dropAhead();
        if (open.status == FSO_STATUS_NOT_PERMITTED) {
            failFinally(qtTrId("open-src-file-access-denied").arg(open.path), "source refused",
                        __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to open read file %s", qPrintable(open.path));
            failRequest(SourceSide, open.path, open, "failed to open read file", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    const VfsCopyItem& item = pending.back().item;
    if (!pathFits(item.path, __LINE__))
        return;
    Logger::log(Logger::VMG2, "open file %s", qPrintable(item.path));
    if (!sendOpen(SourceSide, C::OpenRead, item.path, VfsCopyItem(), 0, __LINE__))
        return;
    // The destination is opened beside it when nothing has to be asked
    // first; its answer waits for the source's.
    aheadSent = limits.closeAside && !question && sendDestinationOpen(&records->openAhead, true);
}

void VfsCopyJobPrivate::dropAhead()
{
    VfsOpenFileJob& ahead = records->openAhead;
    if (!aheadSent)
        return;
    aheadSent = false;
    if (isOut(&ahead)) {
        // Let go when it comes back.
        aheadDropped = true;
        return;
    }
    if (take(&ahead) && opened(ahead))
        closeLeftHandle(DestinationSide, ahead.handle);
    if (aheadMadeFile)
        deleteMadeFile(ahead.path);
}

void VfsCopyJobPrivate::aheadReturned(const VfsOpenFileJob* job)
{
    if (job != &records->openAhead || !aheadDropped)
        return;
    aheadDropped = false;
    if (aheadMadeFile)
        deleteMadeFile(job->path);
}

// The temporary file an open made in vain is empty: it goes again.
void VfsCopyJobPrivate::deleteMadeFile(const QString& path)
{
    if (!clients[DestinationSide])
        return;
    VfsDeleteFileJob* job = nullptr;
    for (const auto& record : records->deletes) {
        if (!isOut(record.get())) {
            job = record.get();
            break;
        }
    }
    if (!job) {
        records->deletes.emplace_back(new VfsDeleteFileJob());
        job = records->deletes.back().get();
    }
    job->flags = 0;
    job->path = path;
    job->failedPath.clear();
    Logger::log(Logger::VMG2, "delete %s, opened in vain", qPrintable(path));
    send(DestinationSide, job, &VfsClient::deleteFile, __LINE__);
}

void VfsCopyJobPrivate::openDestination(int action)
{
    VfsOpenFileJob& open = records->open;
    if (action == VfsJob::ActionUpdate) {
        if (listingDestination) {
            VfsListDirectoryJob& list = records->list;
            if (!take(&list))
                return;
            listingDestination = false;
            QMutexLocker lock(&list.mutex);
            const QString path = list.path;
            if (list.jobStatus != VfsClientJob::JobFinished) {
                lock.unlock();
                failRequest(DestinationSide, path, list, "destination listing failed", __LINE__);
                return;
            }
            names.clear();
            for (const VfsDirectoryEntry& entry : list.entries)
                names.insert(entry.name);
            lock.unlock();
            namesDirectory = path;
            schedule(VfsJob::ActionStep, __LINE__);
            return;
        }
        VfsOpenFileJob* reply = nullptr;
        if (take(&open))
            reply = &open;
        else if (aheadSent && take(&records->openAhead))
            reply = &records->openAhead;
        if (!reply)
            return;
        aheadSent = false;
        return destinationOpened(*reply);
    }
    if (action != VfsJob::ActionStep || question)
        return;
    if (aheadSent) {
        // Sent with the source's open: its answer may be here already.
        if (back.contains(&records->openAhead))
            openDestination(VfsJob::ActionUpdate);
        return;
    }
    sendDestinationOpen(&open, false);
}

void VfsCopyJobPrivate::destinationOpened(const VfsOpenFileJob& open)
{
    {
        if (opened(open)) {
            Logger::log(Logger::VMG2, "\topen file SUCCESS");
            replaceCurrent = replaceAllActive;
            current = pending.back();
            pending.pop_back();
            destinationHandle = open.handle;
            // Written by this job from now on: a restart replaces it without asking.
            if (writePath == finalPath)
                ownDestinations.insert(finalPath);
            setJobState(Transfer, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else if (open.status == FSO_STATUS_EXISTS) {
            Logger::log(Logger::VMG2, "\topen file failed, file EXISTS");
            questionPath = open.path;
            {
                QMutexLocker lock(&mutex);
                userActionPrompt = qtTrId("file-copy-q-overwrite").arg(open.path);
            }
            emit q->totalFileCountChanged();
            emit q->userActionPromptChanged();
            q->timer()->stop();
            question = true;
            flushProgress();
            emit q->stateChanged();
            emit q->jobUpdated();
        } else if (open.status == FSO_STATUS_NOT_PERMITTED) {
            failFinally(qtTrId("open-dst-file-access-denied").arg(open.path),
                        "destination refused", __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to open write file status: %u",
                        unsigned(open.status));
            failRequest(DestinationSide, open.path, open, "failed to open write file", __LINE__);
        }
    }
}

// Opens the current item's destination with record. Ahead (beside the
// source's open) only when nothing is to be listed, skipped or refused
// first: false then, and nothing was done.
bool VfsCopyJobPrivate::sendDestinationOpen(VfsOpenFileJob* record, bool ahead)
{
    const VfsCopyItem& item = pending.back().item;
    bool ok = false;
    QString name = nameOf(item.path, &ok);
    if (isShareRoot(item.path))
        name = shareName(name);
    if (!ok || !usableName(name)) {
        if (ahead)
            return false;
        failFinally(qtTrId("copy-unsafe-name").arg(item.path),
                    "failed to open write file, malformed path", __LINE__);
        return false;
    }
    const QString destination = renamed(joinPath(targetDirectory, name), item);
    const QString directory = parentOf(destination);
    if (ahead
        && (skipList.contains(destination)
            || (namesDirectory != directory && !freshDirectories.contains(directory))
            || destination.toUtf8().size() > MaxPathBytes
            || joinPath(directory, VfsCopyJob::partName(nameOf(destination, &ok))).toUtf8().size()
                > MaxPathBytes))
        return false;
    if (!pathFits(destination, __LINE__))
        return false;
    setCurrentFile(name);
    if (skipList.contains(destination)) {
        // Answered before a restart.
        Logger::log(Logger::VMG2, "skip file %s", qPrintable(destination));
        settle(pending.back().node, false);
        pending.pop_back();
        setJobState(CloseSource, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return false;
    }
    // Whether the file is there decides where it is written: the names of
    // its directory are listed once (a directory this pass made is empty).
    if (namesDirectory != directory) {
        if (freshDirectories.contains(directory)) {
            namesDirectory = directory;
            names.clear();
        } else {
            listingDestination = true;
            sendList(DestinationSide, directory, __LINE__);
            return false;
        }
    }
    const QString destinationName = nameOf(destination, &ok);
    finalPath = destination;
    // The open cuts a longer file to the source's size. The size travels
    // with times only: the file gets the present time, and the source's
    // times only once it is verified.
    quint32 flags = C::OpenRead | C::OpenWrite | C::OpenTruncate;
    aheadMadeFile = false;
    if (names.contains(destinationName) || ownDestinations.contains(destination)) {
        // An existing file is updated in place, block by block.
        writePath = destination;
        if (!replaceCurrent && !replaceAllActive && !replaceList.contains(destination)
            && !ownDestinations.contains(destination))
            flags |= C::OpenExclusive;
    } else {
        // A new file is written under a temporary name; one left by an
        // earlier try is resumed.
        writePath = joinPath(directory, VfsCopyJob::partName(destinationName));
        aheadMadeFile = ahead && !names.contains(VfsCopyJob::partName(destinationName));
        if (!pathFits(writePath, __LINE__))
            return false;
    }
    Logger::log(Logger::VMG2, "open write file %s", qPrintable(writePath));
    VfsCopyItem stamp;
    stamp.atime = stamp.mtime = QDateTime::currentMSecsSinceEpoch();
    return sendOpen(DestinationSide, flags, writePath, stamp, item.size, __LINE__, record);
}

bool VfsCopyJobPrivate::laneFits(const PendingItem& pendingItem, QString* writeTo, QString* finalTo)
{
    const VfsCopyItem& item = pendingItem.item;
    if (limits.files < 2 || !limits.closeAside || question || !pendingItem.fresh
        || item.size > VfsCopyJob::BlockSize)
        return false;
    bool ok = false;
    QString name = nameOf(item.path, &ok);
    if (isShareRoot(item.path))
        name = shareName(name);
    if (!ok || !usableName(name))
        return false;
    const QString destination = renamed(joinPath(targetDirectory, name), item);
    const QString directory = parentOf(destination);
    if (skipList.contains(destination) || ownDestinations.contains(destination)
        || destination.toUtf8().size() > MaxPathBytes)
        return false;
    if (namesDirectory != directory) {
        if (!freshDirectories.contains(directory))
            return false;
        namesDirectory = directory;
        names.clear();
    }
    // Only a new file: one that is there, or a temporary one left by an
    // earlier try, goes the usual way.
    const QString destinationName = nameOf(destination, &ok);
    const QString part = VfsCopyJob::partName(destinationName);
    if (names.contains(destinationName) || names.contains(part))
        return false;
    const QString temporary = joinPath(directory, part);
    if (temporary.toUtf8().size() > MaxPathBytes)
        return false;
    for (const Lane& lane : lanes) {
        if (lane.finalPath == destination)
            return false;
    }
    *writeTo = temporary;
    *finalTo = destination;
    return true;
}

// Closes the file on one side: the source first, then the destination,
// whose close sets the file's times.
void VfsCopyJobPrivate::closeFile(int action, int side)
{
    VfsCloseFileJob& close = records->close;
    const bool source = side == SourceSide;
    quint16& handle = source ? sourceHandle : destinationHandle;
    const char* const which = source ? "read" : "write";
    const quint32 next = source ? CloseDestination : NextItem;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&close))
            return;
        if (succeeded(close)) {
            Logger::log(Logger::VMG2, "\tclose %s file handle %u SUCCESS", which, unsigned(handle));
            handle = 0;
            close.jobStatus = 0;
            if (!source) {
                // The blocks were confirmed in place before the close; the
                // file is checked against its source before it counts.
                if (fileVerified)
                    settling.push_back(SettlingFile{current, writePath, finalPath, fileCounted});
                else if (sourceMoved)
                    copyAgain(PendingItem{current.item, current.node, 0, false}, fileCounted,
                              true);
                else
                    settle(current.node, false);
                sourceMoved = false;
                fileVerified = false;
            }
            setJobState(next, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to close %s file handle %u", which, unsigned(handle));
            if (close.status == FSO_STATUS_NOT_FOUND)
                handle = 0;
            failRequest(side, source ? current.item.path : writePath, close,
                        source ? "failed to close read file" : "failed to close write file",
                        __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    if (!handle) { // not opened, or the file was skipped
        setJobState(next, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    close.flags = 0;
    close.handle = handle;
    Logger::log(Logger::VMG2, "close %s file handle %u", which, unsigned(handle));
    send(side, &close, &VfsClient::closeFile, __LINE__);
}

void VfsCopyJobPrivate::directoryTimes(int action)
{
    VfsOpenFileJob& open = records->open;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&open))
            return;
        const int node = pendingDirectoryNode;
        pendingDirectory = VfsCopyItem();
        pendingDirectoryNode = -1;
        if (open.jobStatus == VfsClientJob::JobFinished
            && (open.status == FSO_STATUS_COMPLETE || open.status == FSO_STATUS_INVALID_PARAMETER)) {
            Logger::log(Logger::VMG2, "\tupdate attributes %s",
                        open.status == FSO_STATUS_COMPLETE ? "SUCCESS" : "INVALID_PARAMETER");
            settle(node, true);
            setJobState(NextItem, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to update attributes status: %u",
                        unsigned(open.status));
            failRequest(DestinationSide, open.path, open, "failed to update attributes", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    Logger::log(Logger::VMG2, "open update attributes %s", qPrintable(pendingDirectory.path));
    sendOpen(DestinationSide, C::OpenTimes, pendingDirectory.path, pendingDirectory, 0, __LINE__);
}

void VfsCopyJobPrivate::failed(int action)
{
    if (action != VfsJob::ActionStep)
        return;
    retryCount = retryCount + 1;
    if (retryCount > VfsCopyJob::FinalFailure - 1) {
        if (!abortEmitted) {
            abortEmitted = true;
            emit q->stateChanged();
            emit q->jobAborted();
        }
        return; // the owner deletes the job
    }
    {
        QMutexLocker lock(&mutex);
        nextRetryAt = QDateTime::currentDateTimeUtc().addMSecs(restartDelay);
    }
    emit q->retryCountChanged();
    emit q->nextRetryAtChanged();
    setJobState(WaitRestart, __LINE__);
    schedule(VfsJob::ActionStep, __LINE__, restartDelay);
    // A link that dropped during this try may be up again already (its
    // change was seen before the job got here): the job need not wait.
    if (linkDroppedSinceStart(SourceSide) || linkDroppedSinceStart(DestinationSide))
        QMetaObject::invokeMethod(q, [this] { onLinkStateChanged(); }, Qt::QueuedConnection);
}

void VfsCopyJobPrivate::waitRestart(int action)
{
    if (action != VfsJob::ActionStep)
        return;
    if (!out.isEmpty()) {
        // The records of the last attempt are still at a client; they come
        // back answered or timed out.
        Logger::log(Logger::VMG1, "io jobs busy, wait finished");
        waitingForRecords = true;
        schedule(VfsJob::ActionStep, __LINE__, restartDelay);
        return;
    }
    countingPass = true;
    remainingSeconds = 0;
    bytesPerSecond = 0;
    windowBytes = 0;
    windowStart = -1;
    bytesCopied = 0;
    bytesTotal = 0;
    changes |= ChangedCopied;
    flushProgress();
    setJobState(StartUp, __LINE__);
    schedule(VfsJob::ActionStep, __LINE__);
}

void VfsCopyJobPrivate::finished(int action)
{
    if (action == VfsJob::ActionDelete) {
        if (out.isEmpty())
            q->deleteLater();
        else
            waitingForRecords = true;
        return;
    }
    if (action != VfsJob::ActionStep || finishEmitted)
        return;
    finishEmitted = true;
    clearFailure();
    Logger::log(Logger::VMG1, "copy job finished");
    emit q->jobFinished();
    schedule(VfsJob::ActionDelete, __LINE__, DeleteAfterFinish);
}

void VfsCopyJobPrivate::aborting(int action)
{
    if (action == VfsJob::ActionEnter || action == VfsJob::ActionLeave)
        return;
    if (q->timer())
        q->timer()->stop();
    if (!abortEmitted) {
        abortEmitted = true;
        Logger::log(Logger::VMG1, "copy job aborted by user");
        windDown();
        flushProgress();
        question = false;
        if (jobState != Failed)
            setJobState(Failed, __LINE__);
        else
            emit q->stateChanged();
        emit q->jobAborted();
    }
    if (action == VfsJob::ActionDelete) {
        // Requests still out write into the records: wait for them.
        if (out.isEmpty())
            q->deleteLater();
        return;
    }
    schedule(VfsJob::ActionDelete, __LINE__, DeleteAfterAbort);
}

