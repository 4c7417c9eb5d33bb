#include "vfs/models/vfsmodel.h"

#include "core/logger.h"
#include "peer/ipeer.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfsdirectoryentry.h"
#include "vfs/client/vfslistdirectoryjob.h"
#include "vfs/client/vfslistdrivesjob.h"
#include "vfs/models/preview.h"
#include "vfs/models/vfsdrivemodel.h"
#include "vfs/models/vfsentry.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

const QString kSharesPath = QStringLiteral("%shares");
const QString kDrivesPath = QStringLiteral("%drives");
const QString kDirectoryMime = QStringLiteral("application/x-directory");
const QString kDriveMime = QStringLiteral("application/vnd.velm.drive");
const QString kNetworkMime = QStringLiteral("application/vnd.velm.network");

// Recycled entries kept for the next listings; a directory larger than this
// that vanishes gives its memory back.
constexpr size_t kMaxFreeEntries = 4096;

// A listing of one directory, with the model's bookkeeping beside the
// client's request.
struct ListJob : VfsListDirectoryJob
{
    VfsEntry* entry = nullptr; // null once the entry left the tree
    quint64 sequence = 0;      // fetch sequence number of this listing
    quint64 sizeSum = 0;       // sizes of the records merged so far
    size_t mergeIndex = 0;     // next record to merge
    bool merging = false;      // complete and handed to the merge
};

struct DrivesJob : VfsListDrivesJob
{
    bool inFlight = false; // guarded by the job's mutex
};

bool isLettered(const QString& path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':');
}

qint64 defaultClock()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer.elapsed();
}

const QString& componentOf(const VfsEntry* entry)
{
    if (entry->type == VfsModel::DriveType)
        return entry->path;
    return entry->origType == VfsModel::ShareType ? entry->ref : entry->name;
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

bool hasChildList(const VfsEntry* entry)
{
    return entry->type == VfsModel::DriveType || entry->type == VfsModel::DirectoryType;
}

QVariant timeValue(qint64 ms)
{
    return ms != 0 ? QVariant(QDateTime::fromMSecsSinceEpoch(ms)) : QVariant(QDateTime());
}

} // namespace

class VfsModelPrivate
{
public:
    explicit VfsModelPrivate(VfsModel* q) : q(q) { root.mode = VfsModel::ExecUser; }

    VfsModel* const q;
    VfsEntry root;
    IPeer* peer = nullptr;
    QPointer<QAbstractItemModel> driveModel;
    QPointer<VfsClient> client;
    VfsModel::Clock clock = defaultClock;

    std::vector<ListJob*> activeJobs; // in start order
    std::vector<ListJob*> freeJobs;
    std::vector<VfsEntry*> freeEntries;
    DrivesJob* drivesJob = nullptr;
    qint64 drivesRequestedAt = -1; // clock ms; -1 never
    QTimer* checkTimer = nullptr;
    // Wide enough never to come round again: an entry whose last listing
    // carried the same number as the current one would survive its removal.
    quint64 fetchSeq = 0;
    QChar separator; // null until known

    qint64 now() const { return clock(); }
    bool linkUp() const { return peer && peer->linkState() == IPeer::LinkUp; }
    VfsClient* fileClient() const
    {
        if (client)
            return client;
        return peer ? peer->vfsClient() : nullptr;
    }
    QChar sep() const { return separator.isNull() ? QLatin1Char('/') : separator; }

    VfsEntry* entryOf(const QModelIndex& index) const
    {
        return index.isValid() ? static_cast<VfsEntry*>(index.internalPointer()) : nullptr;
    }
    QModelIndex indexOf(const VfsEntry* entry, int column = 0) const
    {
        if (!entry || entry == &root)
            return QModelIndex();
        return q->createIndex(entry->row, column, const_cast<VfsEntry*>(entry));
    }

    QString pathOf(const VfsEntry* entry, QChar separator) const;
    QString convertPath(const QString& path) const;
    VfsEntry* findEntry(const QString& path) const;
    VfsEntry* findChild(const VfsEntry* dir, const QString& component) const;
    VfsEntry* matchRecord(const VfsEntry* dir, const VfsDirectoryEntry& record) const;

    VfsEntry* newEntry(VfsEntry* parent);
    void addToIndex(VfsEntry* dir, VfsEntry* child);
    void insertChild(VfsEntry* dir, VfsEntry* child, int row);
    void removeChildren(VfsEntry* dir, int first, int last);
    void recycle(VfsEntry* entry);
    void clearTree();

    ListJob* takeJob();
    void recycleJob(ListJob* job);
    void finishJob(ListJob* job);
    void requestDrives();
    void retireDrivesJob();

    VfsEntry* mergeRecord(ListJob* job, const VfsDirectoryEntry& record, bool* added);
    void completeListing(ListJob* job);
    void insertDrive(const VfsDrive& drive);
};

// --- Paths -------------------------------------------------------------------

QString VfsModelPrivate::pathOf(const VfsEntry* entry, QChar separator) const
{
    QStringList components;
    for (const VfsEntry* e = entry; e && e != &root; e = e->parent)
        components.prepend(componentOf(e));
    if (components.isEmpty())
        return QString();
    if (components.first() == QString(separator)) {
        components.removeFirst();
        return separator + components.join(separator);
    }
    return components.join(separator);
}

QString VfsModelPrivate::convertPath(const QString& path) const
{
    if (separator.isNull() || path.contains(separator))
        return path;
    const QChar other = separator == QLatin1Char('/') ? QLatin1Char('\\') : QLatin1Char('/');
    return path.split(other).join(separator);
}

VfsEntry* VfsModelPrivate::findChild(const VfsEntry* dir, const QString& component) const
{
    if (!dir->byComponent)
        return nullptr;
    return dir->byComponent->value(component, nullptr);
}

// Walks the top-level rows whose path holds the wanted path (by whole
// components) and then down by component. On a peer with '/' paths the
// drives other than "/" are reached through "/", where they are mounted.
VfsEntry* VfsModelPrivate::findEntry(const QString& rawPath) const
{
    const QString path = convertPath(rawPath);
    if (path.isEmpty())
        return nullptr;
    const QChar s = sep();
    for (VfsEntry* top : root.children) {
        if (separator == QLatin1Char('/') && top->type == VfsModel::DriveType
            && top->path != QLatin1String("/"))
            continue;
        const QString topPath = pathOf(top, s);
        if (topPath == path)
            return top;
        if (topPath.isEmpty() || !path.startsWith(topPath))
            continue;
        if (!topPath.endsWith(s) && path.at(topPath.size()) != s)
            continue;
        const QStringList components = path.mid(topPath.size()).split(s, Qt::SkipEmptyParts);
        VfsEntry* e = top;
        for (const QString& component : components) {
            e = findChild(e, component);
            if (!e)
                break;
        }
        if (e)
            return e;
    }
    return nullptr;
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
        e->mtime = record.mtime;
        e->ref = record.ref;
        e->origType = origTypeOf(record.type);
        const quint8 shown = record.targetType != 0 ? record.targetType : record.type;
        if (shown == VfsDirectoryEntry::TypeDirectory) {
            e->type = VfsModel::DirectoryType;
            e->size = 0;
            e->mime = kDirectoryMime;
        } else {
            e->type = VfsModel::FileType;
            e->size = record.size;
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
        e->mtime = record.mtime;
        roles << VfsModel::MtimeStringRole << VfsModel::MtimeRole;
        if (dir->useCount > 0 && peer && Preview::canPreview(peer->uuid(), pathOf(e, sep())))
            emit q->noPreviewCached(indexOf(e));
    }
    if (!roles.isEmpty()) {
        if (Logger::isEnabled(Logger::VMDL))
            Logger::log(Logger::VMDL, "\tupd  mode: 0x%04X, %s %llu 0x%02X", unsigned(e->mode),
                        qUtf8Printable(e->name), static_cast<unsigned long long>(e->size),
                        unsigned(record.type));
        emit q->dataChanged(indexOf(e, 0), indexOf(e, VfsModel::ColumnCount - 1), roles);
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
        emit q->dataChanged(indexOf(dir, 0), indexOf(dir, VfsModel::ColumnCount - 1),
                            {VfsModel::ChildSizeRole});
    }
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
    Logger::log(Logger::VMDL, "add drive name: %s, path: %s to VfsModel at index: %d",
                qUtf8Printable(e->name), qUtf8Printable(e->path), row);
    insertChild(&root, e, row);
}

// --- VfsModel ----------------------------------------------------------------

VfsModel::VfsModel(QObject* parent) : QAbstractItemModel(parent), d(new VfsModelPrivate(this))
{
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
    d->clearTree();
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
    if (peer)
        connect(peer, &IPeer::linkStateChanged, this, &VfsModel::onPeerLinkStateChanged);

    VfsEntry* shares = d->newEntry(&d->root);
    //% "Shares"
    shares->name = qtTrId("place-shares");
    shares->path = kSharesPath;
    shares->ref = kSharesPath;
    shares->type = DirectoryType;
    shares->origType = ShareType;
    shares->mode = ExecUser;
    shares->mime = kDriveMime;
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

QVariant VfsModel::data(const QModelIndex& index, int role) const
{
    const VfsEntry* e = d->entryOf(index);
    if (!e)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return index.column() == NameColumn ? QVariant(e->name) : QVariant();
    case NameRole:
        return e->name;
    case PathRole:
        return d->pathOf(e, d->sep());
    case SizeRole:
        return QVariant::fromValue<quint64>(e->size);
    case TypeRole:
        return int(e->type);
    case OrigTypeRole:
        return int(e->origType);
    case AtimeRole:
        return timeValue(e->atime);
    case CtimeRole:
        return timeValue(e->ctime);
    case MtimeRole:
        return timeValue(e->mtime);
    case MimeRole:
        return e->mime;
    case HiddenRole:
        return bool(e->hidden);
    case FlagsRole:
        return int(e->flags);
    case InfoRole:
        return uint(e->mode);
    case ChildSizeRole:
        return QVariant::fromValue<quint64>(e->childSize);
    case IdRole:
        return QVariant::fromValue<quint64>(e->inode);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> VfsModel::roleNames() const
{
    return {
        {NameRole, "name"},
        {AccessRole, "access"},
        {PathRole, "path"},
        {PathListRole, "pathList"},
        {DisplayPathListRole, "displayPathList"},
        {SizeRole, "size"},
        {SizeStringRole, "sizeString"},
        {TypeStringRole, "typeString"},
        {TypeRole, "type"},
        {OrigTypeRole, "origType"},
        {AtimeRole, "atime"},
        {CtimeRole, "ctime"},
        {MtimeStringRole, "mtimeString"},
        {MtimeRole, "mtime"},
        {IconRole, "icon"},
        {MimeRole, "mime"},
        {HiddenRole, "hidden"},
        {FlagsRole, "flags"},
        {PreviewRole, "preview"},
        {InfoRole, "info"},
        {ChildSizeRole, "childSize"},
    };
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
    job->sequence = ++d->fetchSeq;
    Logger::log(Logger::VMDL, "start fetch %s, watch: %u", qUtf8Printable(job->path), unsigned(job->watch));
    if (e->type == DriveType && job->path.endsWith(QLatin1Char(':')))
        job->path += d->sep();
    d->activeJobs.push_back(job);
    client->listDirectory(job);
}

void VfsModel::expanded(const QModelIndex& index)
{
    if (VfsEntry* e = d->entryOf(index)) {
        if (hasChildList(e)) {
            e->expanded = 1;
            Logger::log(Logger::VMDL, "expanded %s", qUtf8Printable(d->pathOf(e, '/')));
        }
    }
}

void VfsModel::collapsed(const QModelIndex& index)
{
    if (VfsEntry* e = d->entryOf(index)) {
        if (hasChildList(e)) {
            e->expanded = 0;
            Logger::log(Logger::VMDL, "collapsed %s", qUtf8Printable(d->pathOf(e, '/')));
        }
    }
}

QModelIndex VfsModel::indexForPath(const QString& path) const
{
    return d->indexOf(d->findEntry(path));
}

QString VfsModel::pathForIndex(const QModelIndex& index) const
{
    return d->pathOf(d->entryOf(index), d->sep());
}

QChar VfsModel::pathSeparator() const
{
    return d->sep();
}

bool VfsModel::isBusy(const QModelIndex& index) const
{
    const VfsEntry* e = d->entryOf(index);
    return e && e->busy;
}

void VfsModel::retainEntry(const QString& path)
{
    if (VfsEntry* e = d->findEntry(path))
        ++e->useCount;
}

void VfsModel::releaseEntry(const QString& path)
{
    VfsEntry* e = d->findEntry(path);
    if (e && e->useCount > 0)
        --e->useCount;
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
