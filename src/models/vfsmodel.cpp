#include "models/vfsmodel_p.h"

#include "core/logger.h"
#include "models/vfsdrivemodel.h"
#include "vfs/client/vfsdirectoryentry.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThreadPool>

#include <algorithm>
#include <memory>

using namespace vfsmodel;

namespace {

// Recycled entries kept for the next listings; a directory larger than this
// that vanishes gives its memory back.
constexpr size_t kMaxFreeEntries = 4096;

bool isLettered(const QString& path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':');
}

quint32 origTypeOf(quint8 recordType)
{
    switch (recordType) {
    case VfsDirectoryEntry::TypeSymbolicLink:
        return VfsModel::SymlinkType;
    case VfsDirectoryEntry::TypeShare:
        return VfsModel::ShareType;
    case VfsDirectoryEntry::TypeDirectory:
        return VfsModel::DirectoryType;
    default:
        return VfsModel::FileType;
    }
}

} // namespace

qint64 vfsmodel::defaultClock()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer.elapsed();
}

qint64 vfsmodel::wallClockNow()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// --- Entries -----------------------------------------------------------------

VfsEntry* VfsModelPrivate::newEntry(VfsEntry* parent)
{
    VfsEntry* entry;
    if (!freeEntries.empty()) {
        entry = freeEntries.back();
        freeEntries.pop_back();
    } else {
        entry = new VfsEntry;
    }
    entry->parent = parent;
    return entry;
}

void VfsModelPrivate::addToIndex(VfsEntry* dir, VfsEntry* child)
{
    if (!dir->byComponent)
        dir->byComponent.reset(new QMultiHash<QString, VfsEntry*>);
    dir->byComponent->insert(componentOf(child), child);
}

void VfsModelPrivate::insertChild(VfsEntry* dir, VfsEntry* child, int row)
{
    q->beginInsertRows(indexOf(dir), row, row);
    dir->children.insert(dir->children.begin() + row, child);
    for (size_t i = size_t(row); i < dir->children.size(); ++i)
        dir->children[i]->row = int(i);
    addToIndex(dir, child);
    q->endInsertRows();
}

void VfsModelPrivate::recycle(VfsEntry* entry)
{
    for (VfsEntry* child : entry->children)
        recycle(child);
    if (entry->busy) {
        // Its listing comes back to nobody.
        for (ListJob* job : activeJobs) {
            if (job->entry == entry)
                job->entry = nullptr;
        }
    }
    forget(entry);
    *entry = VfsEntry();
    if (freeEntries.size() < kMaxFreeEntries)
        freeEntries.push_back(entry);
    else
        delete entry;
}

void VfsModelPrivate::removeChildren(VfsEntry* dir, int first, int last)
{
    q->beginRemoveRows(indexOf(dir), first, last);
    for (int row = first; row <= last; ++row) {
        VfsEntry* child = dir->children[size_t(row)];
        if (Logger::isEnabled(Logger::VMDL))
            Logger::log(Logger::VMDL, "remove entry %s", qUtf8Printable(pathOf(child, '/')));
        dir->byComponent->remove(componentOf(child), child);
        recycle(child);
    }
    dir->children.erase(dir->children.begin() + first, dir->children.begin() + last + 1);
    for (size_t i = size_t(first); i < dir->children.size(); ++i)
        dir->children[i]->row = int(i);
    q->endRemoveRows();
}

void VfsModelPrivate::clearTree()
{
    for (VfsEntry* child : root.children)
        recycle(child);
    root.children.clear();
    root.byComponent.reset();
    root.fetched = 0;
    root.lastFetch = -1;
}

// A view shows or hides the children of a drive or directory.
void VfsModelPrivate::setExpanded(const QModelIndex& index, bool expanded)
{
    VfsEntry* e = entryOf(index);
    if (!e || !hasChildList(e))
        return;
    e->expanded = expanded ? 1 : 0;
    Logger::log(Logger::VMDL, "%s %s", expanded ? "expanded" : "collapsed", qUtf8Printable(pathOf(e, '/')));
}

// --- Jobs --------------------------------------------------------------------

ListJob* VfsModelPrivate::takeJob()
{
    if (freeJobs.empty())
        return new ListJob;
    ListJob* job = freeJobs.back();
    freeJobs.pop_back();
    return job;
}

void VfsModelPrivate::recycleJob(ListJob* job)
{
    job->entry = nullptr;
    job->merging = false;
    job->mergeIndex = 0;
    job->sizeSum = 0;
    job->jobStatus = VfsClientJob::JobQueued;
    job->status = 0;
    std::vector<VfsDirectoryEntry>().swap(job->entries);
    freeJobs.push_back(job);
}

// Takes a finished listing out of the running ones.
void VfsModelPrivate::finishJob(ListJob* job)
{
    Logger::log(Logger::VMDL, "finished list dir job: %s", qUtf8Printable(job->path));
    activeJobs.erase(std::find(activeJobs.begin(), activeJobs.end(), job));
    recycleJob(job);
}

void VfsModelPrivate::requestDrives()
{
    VfsClient* c = fileClient();
    if (!c || !drivesJob)
        return;
    {
        QMutexLocker lock(&drivesJob->mutex);
        if (drivesJob->inFlight || !linkUp())
            return;
        drivesJob->inFlight = true;
    }
    drivesRequestedAt = now();
    root.lastFetch = drivesRequestedAt;
    c->listDrives(drivesJob);
}

// The drive-list record goes; while the client still holds it, only once
// the client hands it back.
void VfsModelPrivate::retireDrivesJob()
{
    DrivesJob* job = drivesJob;
    drivesJob = nullptr;
    if (!job)
        return;
    bool inFlight;
    {
        QMutexLocker lock(&job->mutex);
        inFlight = job->inFlight;
    }
    VfsClient* c = fileClient();
    if (!inFlight || !c) {
        delete job;
        return;
    }
    // Deleted when the client hands it back, or when the client goes (its
    // destructor forgets queued records without touching them).
    struct Reaper
    {
        DrivesJob* job;
        QMetaObject::Connection returned;
        QMetaObject::Connection destroyed;
        void reap()
        {
            QObject::disconnect(returned);
            QObject::disconnect(destroyed);
            delete job;
            job = nullptr;
        }
    };
    auto reaper = std::make_shared<Reaper>();
    reaper->job = job;
    reaper->returned = QObject::connect(c, &VfsClient::listDrivesUpdate, c, [reaper](VfsListDrivesJob* done) {
        if (reaper->job && done == reaper->job)
            reaper->reap();
    });
    reaper->destroyed = QObject::connect(c, &QObject::destroyed, [reaper]() {
        if (reaper->job)
            reaper->reap();
    });
}

// --- Merge -------------------------------------------------------------------

VfsEntry* VfsModelPrivate::matchRecord(const VfsEntry* dir, const VfsDirectoryEntry& record) const
{
    if (!dir->byComponent)
        return nullptr;
    const QString& key = record.type == VfsDirectoryEntry::TypeShare ? record.ref : record.name;
    for (auto it = dir->byComponent->constFind(key); it != dir->byComponent->cend() && it.key() == key;
         ++it) {
        VfsEntry* e = it.value();
        if (e->name == record.name && e->ref == record.ref)
            return e;
    }
    return nullptr;
}

// Merges one record into the job's directory; a new entry is made but not
// yet a row (*added is set), the caller inserts the new ones as one block.
VfsEntry* VfsModelPrivate::mergeRecord(ListJob* job, const VfsDirectoryEntry& record, bool* added)
{
    VfsEntry* dir = job->entry;
    VfsEntry* e = matchRecord(dir, record);
    *added = !e;
    if (e && e->seen == job->sequence)
        return nullptr; // the same entry twice in one listing: the first counts
    if (!e) {
        e = newEntry(dir);
        e->name = record.name;
        e->seen = job->sequence;
        e->hidden = record.hidden;
        e->mode = record.mode;
        e->inode = record.inode;
        e->nlinks = record.nlinks;
        e->atime = record.atime;
        e->ctime = record.ctime;
        setMtime(e, record.mtime);
        e->ref = record.ref;
        e->origType = origTypeOf(record.type);
        const quint8 shown = record.targetType != 0 ? record.targetType : record.type;
        if (shown == VfsDirectoryEntry::TypeDirectory) {
            e->type = VfsModel::DirectoryType;
            e->size = 0;
            e->mime = kDirectoryMime;
            e->pending |= PendingDirectoryIcon;
        } else {
            e->type = VfsModel::FileType;
            e->size = record.size;
            setFileTypeData(e);
        }
        addToIndex(dir, e);
        if (Logger::isEnabled(Logger::VMDL))
            Logger::log(Logger::VMDL, "\tadd  [%u]  mode: 0x%04X, inode: %llu, nlinks: %u, %s %s %llu 0x%02X",
                        unsigned(dir->children.size()), unsigned(e->mode),
                        static_cast<unsigned long long>(e->inode), e->nlinks, qUtf8Printable(e->name),
                        qUtf8Printable(e->ref), static_cast<unsigned long long>(e->size),
                        unsigned(record.type));
        job->sizeSum += e->size;
        return e;
    }

    e->seen = job->sequence;
    QVector<int> roles;
    if (e->mode != record.mode) {
        e->mode = record.mode;
        roles << VfsModel::InfoRole;
    }
    e->inode = record.inode;
    e->nlinks = record.nlinks;
    // A directory's own size on the server means nothing here; it stays 0.
    const quint64 size = e->type == VfsModel::DirectoryType ? 0 : record.size;
    if (e->size != size) {
        e->size = size;
        if (e->type != VfsModel::DirectoryType)
            e->pending |= PendingSizeText;
        roles << VfsModel::SizeRole;
    }
    if (record.atime != 0 && record.atime != e->atime) {
        e->atime = record.atime;
        roles << VfsModel::AtimeRole;
    }
    if (record.ctime != 0 && record.ctime != e->ctime) {
        e->ctime = record.ctime;
        roles << VfsModel::CtimeRole;
    }
    if (record.mtime != 0 && record.mtime != e->mtime) {
        setMtime(e, record.mtime);
        roles << VfsModel::MtimeStringRole << VfsModel::MtimeRole;
        if (dir->useCount > 0 && peer && Preview::canPreview(peer->uuid(), pathOf(e, sep()))) {
            VfsPreviewCache::instance().remove(q, e);
            emit q->noPreviewCached(indexOf(e));
        }
    }
    if (!roles.isEmpty()) {
        if (Logger::isEnabled(Logger::VMDL))
            Logger::log(Logger::VMDL, "\tupd  mode: 0x%04X, %s %llu 0x%02X", unsigned(e->mode),
                        qUtf8Printable(e->name), static_cast<unsigned long long>(e->size),
                        unsigned(record.type));
        rowChanged(e, roles);
    }
    job->sizeSum += e->size;
    return e;
}

// The last record of a listing is merged: the directory is fetched, and the
// entries this listing did not hold go.
void VfsModelPrivate::completeListing(ListJob* job)
{
    VfsEntry* dir = job->entry;
    dir->fetched = 1;
    dir->busy = 0;
    dir->lastFetch = now();
    if (dir->childSize != job->sizeSum) {
        dir->childSize = job->sizeSum;
        Logger::log(Logger::VMDL, "data changed %s, childSize: %llu", qUtf8Printable(job->path),
                    static_cast<unsigned long long>(dir->childSize));
        rowChanged(dir, {VfsModel::ChildSizeRole});
    }
    // Watched files of this listing, reported once the tree is settled.
    const std::vector<FoundWatchItem> found = watchedChildren(dir, job->sequence);
    // Runs of vanished children, from the back so that the rows in front
    // keep their numbers.
    int row = int(dir->children.size()) - 1;
    while (row >= 0) {
        if (dir->children[size_t(row)]->seen == job->sequence) {
            --row;
            continue;
        }
        const int last = row;
        while (row >= 0 && dir->children[size_t(row)]->seen != job->sequence)
            --row;
        removeChildren(dir, row + 1, last);
    }
    Logger::log(Logger::VMDL, "mark entry %s fetched", qUtf8Printable(job->path));
    for (const FoundWatchItem& f : found)
        emit q->foundWatchItem(f.path, f.inode, f.watchPath);
}

void VfsModelPrivate::insertDrive(const VfsDrive& drive)
{
    int row = int(root.children.size());
    if (isLettered(drive.path)) {
        for (VfsEntry* top : root.children) {
            if (isLettered(top->path) && top->path.at(0) > drive.path.at(0)) {
                row = top->row;
                break;
            }
        }
    }
    const bool smb = drive.type == VfsDriveModel::SmbType;
    VfsEntry* e = newEntry(&root);
    e->fileId = quint64(qHash(drive.path, 0)) << 48;
    e->type = VfsModel::DriveType;
    e->origType = VfsModel::DriveType;
    e->mode = VfsModel::ReadUser | VfsModel::WriteUser | VfsModel::ExecUser;
    e->size = drive.bytesTotal;
    e->path = drive.path;
    if (isLettered(drive.path)) {
        if (smb) {
            const QStringList parts = drive.name.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
            e->name = parts.isEmpty() ? drive.path
                                      : QStringLiteral("%1 (\\\\%2) (%3)").arg(parts.last(), parts.first(),
                                                                               drive.path);
        } else {
            e->name = qtTrId("drive-local-disk").arg(drive.path);
        }
    } else {
        e->name = drive.name;
    }
    e->mime = smb ? kNetworkMime : kDriveMime;
    e->icon = driveIcon(smb);
    Logger::log(Logger::VMDL, "add drive name: %s, path: %s to VfsModel at index: %d",
                qUtf8Printable(e->name), qUtf8Printable(e->path), row);
    insertChild(&root, e, row);
}

// --- VfsModel ----------------------------------------------------------------

VfsModel::VfsModel(QObject* parent) : QAbstractItemModel(parent), d(new VfsModelPrivate(this))
{
    d->resolveTimer = new QTimer(this);
    d->resolveTimer->setObjectName(QStringLiteral("vfsModelResolveTimer"));
    d->resolveTimer->setSingleShot(true);
    connect(d->resolveTimer, &QTimer::timeout, this, &VfsModel::onResolvePathTimerFired);

    d->iconTimer = new QTimer(this);
    d->iconTimer->setObjectName(QStringLiteral("vfsModelIconTimer"));
    d->iconTimer->setSingleShot(true);
    connect(d->iconTimer, &QTimer::timeout, this, &VfsModel::processIconQueue);
    d->iconWatcher = new QFutureWatcher<QIcon>(this);
    connect(d->iconWatcher, &QFutureWatcherBase::finished, this, [this] { d->onIconLoaded(); });

    d->previewTimer = new QTimer(this);
    d->previewTimer->setObjectName(QStringLiteral("vfsModelPreviewTimer"));
    d->previewTimer->setSingleShot(true);
    connect(d->previewTimer, &QTimer::timeout, this, &VfsModel::onPreviewTimerFired);
    d->previewLoadLimit = std::max(1, QThreadPool::globalInstance()->maxThreadCount() / 2);

    connect(this, &VfsModel::noPreviewCached, this, &VfsModel::requestPreview);
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            d->priorityQueue.clear();
            d->normalQueue.clear();
            d->resolveTimer->stop();
        });
    }
}

VfsModel::~VfsModel()
{
    // Listings still queued leave the client; the ones it already handed
    // back are only ours.
    for (ListJob* job : d->activeJobs) {
        if (job->release)
            job->release(job);
        delete job;
    }
    d->activeJobs.clear();
    for (ListJob* job : d->freeJobs)
        delete job;
    d->freeJobs.clear();
    d->retireDrivesJob();
    // A load still running finishes on the pool and finds no one.
    d->iconWatcher->disconnect(this);
    for (const VfsModelPrivate::PreviewLoad& load : d->previewLoads)
        load.watcher->disconnect(this);
    d->clearTree();
    VfsPreviewCache::instance().removeAll(this);
    for (VfsEntry* entry : d->freeEntries)
        delete entry;
}

void VfsModel::setPeer(IPeer* peer)
{
    beginResetModel();
    d->clearTree();
    for (ListJob* job : d->activeJobs)
        job->entry = nullptr;
    if (d->driveModel)
        disconnect(d->driveModel, nullptr, this, nullptr);
    if (d->peer)
        disconnect(d->peer, nullptr, this, nullptr);
    d->peer = peer;
    d->updateOwnPeer();
    d->separator = QChar();
    d->drivesRequestedAt = -1;
    d->retireDrivesJob();
    d->drivesJob = new DrivesJob;
    d->drivesJob->label = QStringLiteral("drive model");
    if (!d->checkTimer) {
        d->checkTimer = new QTimer(this);
        d->checkTimer->setObjectName(QStringLiteral("vfsModelCheckTimer"));
        d->checkTimer->setSingleShot(true);
        connect(d->checkTimer, &QTimer::timeout, this, &VfsModel::onCheckTimerFired);
    }
    d->driveModel = peer ? peer->vfsDriveModel() : nullptr;
    if (d->driveModel) {
        connect(d->driveModel, &QAbstractItemModel::rowsInserted, this, &VfsModel::onUpdatedDrives);
        connect(d->driveModel, &QAbstractItemModel::rowsRemoved, this, &VfsModel::onUpdatedDrives);
    }
    if (peer) {
        connect(peer, &IPeer::linkStateChanged, this, &VfsModel::onPeerLinkStateChanged);
        connect(peer, &IPeer::uuidChanged, this, [this] { d->updateOwnPeer(); });
    }

    VfsEntry* shares = d->newEntry(&d->root);
    //% "Shares"
    shares->name = qtTrId("place-shares");
    shares->path = kSharesPath;
    shares->ref = kSharesPath;
    shares->type = DirectoryType;
    shares->origType = ShareType;
    shares->mode = ExecUser;
    shares->mime = kDriveMime;
    shares->icon = driveIcon(false);
    shares->fileId = quint64(qHash(kSharesPath, 0)) << 48;
    d->root.children.push_back(shares);
    d->addToIndex(&d->root, shares);
    d->root.mode = ExecUser;
    endResetModel();
}

IPeer* VfsModel::peer() const
{
    return d->peer;
}

void VfsModel::connectClient(VfsClient* client)
{
    d->client = client;
    if (!client)
        return;
    connect(client, &VfsClient::listDirectoryUpdate, this, &VfsModel::onListDirectoryUpdate,
            Qt::QueuedConnection);
    connect(client, &VfsClient::listDrivesUpdate, this, &VfsModel::onListDrivesJobUpdate,
            Qt::QueuedConnection);
    connect(client, &VfsClient::directoryChanged, this, &VfsModel::onDirectoryChanged,
            Qt::QueuedConnection);
}

void VfsModel::setClock(Clock clock)
{
    d->clock = clock ? std::move(clock) : Clock(defaultClock);
}

void VfsModel::setWallClock(Clock clock)
{
    d->wallClock = clock ? std::move(clock) : Clock(wallClockNow);
}

QModelIndex VfsModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= ColumnCount)
        return QModelIndex();
    const VfsEntry* dir = parent.isValid() ? d->entryOf(parent) : &d->root;
    if (!dir || size_t(row) >= dir->children.size())
        return QModelIndex();
    return createIndex(row, column, dir->children[size_t(row)]);
}

QModelIndex VfsModel::parent(const QModelIndex& index) const
{
    const VfsEntry* e = d->entryOf(index);
    if (!e || !e->parent || e->parent == &d->root)
        return QModelIndex();
    return d->indexOf(e->parent);
}

int VfsModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return int(d->root.children.size());
    const VfsEntry* e = d->entryOf(parent);
    if (parent.column() != 0 || !e || !hasChildList(e))
        return 0;
    return int(e->children.size());
}

int VfsModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

bool VfsModel::hasChildren(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return !d->root.children.empty();
    const VfsEntry* e = d->entryOf(parent);
    if (parent.column() != 0 || !e || !hasChildList(e))
        return false;
    return !e->fetched || !e->children.empty();
}

bool VfsModel::canFetchMore(const QModelIndex& parent) const
{
    if (!d->linkUp())
        return false;
    if (!parent.isValid()) {
        // Only the shares root: the drives have not come yet.
        return d->root.children.size() == 1
               && (d->drivesRequestedAt < 0 || d->now() - d->drivesRequestedAt >= DriveListPauseMs);
    }
    const VfsEntry* e = d->entryOf(parent);
    if (!e || (e->type != DriveType && e->type != DirectoryType && e->type != ShareType))
        return false;
    if (e->lastFetch >= 0 && d->now() - e->lastFetch < RefetchPauseMs)
        return false;
    if (e->busy)
        return false;
    return (e->mode & ExecUser) != 0;
}

void VfsModel::fetchMore(const QModelIndex& parent)
{
    Logger::log(Logger::VMDL, "fetchMore (%d,%d) %p", parent.row(), parent.column(), parent.internalPointer());
    if (!parent.isValid()) {
        if (d->root.children.size() > 1)
            d->root.fetched = 1;
        if (d->drivesRequestedAt >= 0 && d->now() - d->drivesRequestedAt < DriveListPauseMs)
            return;
        d->requestDrives();
        return;
    }
    VfsEntry* e = d->entryOf(parent);
    if (!e || !hasChildList(e))
        return;
    if (e->busy) {
        Logger::log(Logger::VMDL, "already busy fetching %s", qUtf8Printable(d->pathOf(e, '/')));
        return;
    }
    VfsClient* client = d->fileClient();
    if (!client || !d->linkUp())
        return;
    ListJob* job = d->takeJob();
    e->busy = 1;
    job->entry = e;
    job->sizeSum = 0;
    job->mergeIndex = 0;
    job->merging = false;
    job->watch = 1;
    job->path = d->pathOf(e, d->sep());
    // An ancestor listed for a resolution is watched only when the
    // resolution was asked for with priority.
    if (!d->resolveTarget.isEmpty() && d->resolveTarget.startsWith(job->path))
        job->watch = d->resolvePriority;
    job->sequence = ++d->fetchSeq;
    Logger::log(Logger::VMDL, "start fetch %s, watch: %u", qUtf8Printable(job->path), unsigned(job->watch));
    if (e->type == DriveType && job->path.endsWith(QLatin1Char(':')))
        job->path += d->sep();
    d->activeJobs.push_back(job);
    client->listDirectory(job);
}

void VfsModel::expanded(const QModelIndex& index)
{
    d->setExpanded(index, true);
}

void VfsModel::collapsed(const QModelIndex& index)
{
    d->setExpanded(index, false);
}

bool VfsModel::isBusy(const QModelIndex& index) const
{
    const VfsEntry* e = d->entryOf(index);
    return e && e->busy;
}

void VfsModel::onListDirectoryUpdate(VfsListDirectoryJob* listJob)
{
    auto it = std::find(d->activeJobs.begin(), d->activeJobs.end(), listJob);
    if (it == d->activeJobs.end())
        return;
    ListJob* job = *it;
    quint32 jobStatus;
    {
        QMutexLocker lock(&job->mutex);
        jobStatus = job->jobStatus;
        if (jobStatus == VfsClientJob::JobFinished)
            job->merging = true;
    }
    Logger::log(Logger::VMDL, "onListDirectoryUpdate status: %u, count: %u, path: %s", unsigned(jobStatus),
                unsigned(job->entries.size()), qUtf8Printable(job->path));
    if (jobStatus == VfsClientJob::JobFinished && job->entry) {
        d->checkTimer->start(0);
    } else if (jobStatus == VfsClientJob::JobFailed || jobStatus == VfsClientJob::JobFinished) {
        // Failed, or its directory left the tree: the children stay as they
        // were, and views may list the directory again after the pause.
        if (job->entry) {
            job->entry->busy = 0;
            job->entry->lastFetch = d->now();
        }
        d->finishJob(job);
    }
}

void VfsModel::onListDrivesJobUpdate(VfsListDrivesJob* listJob)
{
    if (!d->drivesJob || listJob != d->drivesJob)
        return;
    DrivesJob* job = d->drivesJob;
    std::vector<VfsDrive> drives;
    bool hand = false;
    {
        QMutexLocker lock(&job->mutex);
        Logger::log(Logger::VMDL, "onListDrivesJobUpdate status: %u", unsigned(job->jobStatus));
        if (job->jobStatus != VfsClientJob::JobFailed && job->jobStatus != VfsClientJob::JobFinished)
            return;
        hand = job->jobStatus == VfsClientJob::JobFinished || !job->drives.empty();
        drives.swap(job->drives);
        job->jobStatus = VfsClientJob::JobQueued;
        job->inFlight = false;
    }
    if (hand) {
        if (auto* driveModel = qobject_cast<VfsDriveModel*>(d->driveModel.data()))
            driveModel->updateDrives(drives);
    }
}

void VfsModel::onDirectoryChanged(const QString& path)
{
    if (path == kDrivesPath) {
        d->requestDrives();
        return;
    }
    const QModelIndex index = indexForPath(path);
    if (index.isValid())
        fetchMore(index);
}

void VfsModel::onUpdatedDrives()
{
    QAbstractItemModel* model = d->driveModel;
    if (!model)
        return;
    auto* driveModel = qobject_cast<VfsDriveModel*>(model);
    const int rows = model->rowCount();
    for (int row = 0; row < rows; ++row) {
        VfsDrive drive;
        if (driveModel) {
            drive = driveModel->drive(row);
        } else {
            const QModelIndex index = model->index(row, 0);
            drive.path = model->data(index, VfsDriveModel::PathRole).toString();
            drive.name = model->data(index, VfsDriveModel::NameRole).toString();
            drive.bytesTotal = model->data(index, VfsDriveModel::BytesTotalRole).toULongLong();
        }
        if (d->separator.isNull())
            d->separator = isLettered(drive.path) && drive.path.size() == 2 ? QLatin1Char('\\')
                                                                            : QLatin1Char('/');
        bool known = false;
        for (const VfsEntry* top : d->root.children)
            known |= top->path == drive.path;
        if (!known)
            d->insertDrive(drive);
    }
}

void VfsModel::onCheckTimerFired()
{
    Logger::log(Logger::VMDL, "check timer fired");
    int budget = MergeSliceSize;
    bool handled = false;
    for (size_t j = 0; j < d->activeJobs.size() && budget > 0;) {
        ListJob* job = d->activeJobs[j];
        if (!job->merging) {
            ++j;
            continue;
        }
        handled = true;
        VfsEntry* dir = job->entry;
        if (!dir) {
            d->finishJob(job); // its directory left the tree meanwhile
            continue;
        }
        if (d->separator.isNull() && !job->separator.isNull())
            d->separator = job->separator;

        const int oldCount = int(dir->children.size());
        if (job->mergeIndex == 0) {
            // Room for the whole listing at once: the index never grows by
            // rehashing a large directory in the middle of a slice.
            if (!dir->byComponent)
                dir->byComponent.reset(new QMultiHash<QString, VfsEntry*>);
            dir->byComponent->reserve(int(std::max(dir->children.size(), job->entries.size())));
        }
        std::vector<VfsEntry*> added;
        while (job->mergeIndex < job->entries.size() && budget > 0) {
            bool isNew = false;
            VfsEntry* e = d->mergeRecord(job, job->entries[job->mergeIndex], &isNew);
            if (e && isNew)
                added.push_back(e);
            ++job->mergeIndex;
            --budget;
        }
        const bool complete = job->mergeIndex >= job->entries.size();
        if (complete) {
            std::vector<VfsDirectoryEntry>().swap(job->entries);
            job->mergeIndex = 0;
        }
        if (!added.empty()) {
            beginInsertRows(d->indexOf(dir), oldCount, oldCount + int(added.size()) - 1);
            for (VfsEntry* e : added) {
                e->row = int(dir->children.size());
                dir->children.push_back(e);
            }
            endInsertRows();
        }
        if (complete) {
            // The job's directory may have gone with the signals above.
            if (job->entry) {
                d->completeListing(job);
            }
            d->finishJob(job);
            d->checkTimer->start(0);
            return;
        }
        ++j;
    }
    if (handled)
        d->checkTimer->start(0);
    else if (!d->iconTimer->isActive() && !d->iconBusy)
        d->iconTimer->start(0);
}

void VfsModel::onPeerLinkStateChanged()
{
    if (!d->peer)
        return;
    const IPeer::LinkState state = d->peer->linkState();
    if (state != IPeer::LinkUp && state != IPeer::LinkDown)
        return;
    Logger::log(Logger::VMDL, "layout to be changed:%d %s", int(state), qUtf8Printable(d->peer->name()));
    emit layoutAboutToBeChanged();
    emit layoutChanged();
}
