#pragma once

// The private class of VfsModel, shared by its three source files:
// vfsmodel.cpp (construction, the tree, fetching and merging listings),
// vfsmodelpresentation.cpp (what views see: data, roles, icons, previews)
// and vfsmodelresolve.cpp (paths, path resolution and watched files).

#include "models/vfsmodel.h"

#include "core/uuid.h"
#include "models/preview.h"
#include "models/vfsentry.h"
#include "models/vfspreviewcache.h"
#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfslistdirectoryjob.h"
#include "vfs/client/vfslistdrivesjob.h"

#include <QFutureWatcher>
#include <QIcon>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <vector>

struct VfsDirectoryEntry;
struct VfsDrive;

namespace vfsmodel {

const QString kSharesPath = QStringLiteral("%shares");
const QString kDrivesPath = QStringLiteral("%drives");
const QString kDirectoryMime = QStringLiteral("application/x-directory");
const QString kDriveMime = QStringLiteral("application/vnd.velm.drive");
const QString kNetworkMime = QStringLiteral("application/vnd.velm.network");

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

// A watched file: the top-level row it is reached through and its number on
// the server. Both are compared whole, so that no two files of different
// drives, nor two numbers that differ only in their high bits, are taken
// for one another.
struct WatchKey
{
    QString top;
    quint64 inode = 0;
    bool operator==(const WatchKey& other) const { return inode == other.inode && top == other.top; }
};

inline uint qHash(const WatchKey& key, uint seed = 0)
{
    return ::qHash(key.top, seed) ^ ::qHash(key.inode, seed);
}

// A watched file found in a listing: its current path, its number on the
// server and the path it was registered with.
struct FoundWatchItem
{
    QString path;
    quint64 inode;
    QString watchPath;
};

// The name an entry has in a path: a drive's root path, a share's
// reference, everything else's name.
inline const QString& componentOf(const VfsEntry* entry)
{
    if (entry->type == VfsModel::DriveType)
        return entry->path;
    return entry->origType == VfsModel::ShareType ? entry->ref : entry->name;
}

inline bool hasChildList(const VfsEntry* entry)
{
    return entry->type == VfsModel::DriveType || entry->type == VfsModel::DirectoryType;
}

// The model's default clocks: monotonic ms, and ms since the epoch.
qint64 defaultClock();
qint64 wallClockNow();

// Defined with the presentation.
QIcon driveIcon(bool network);
QString widenedDateFormat();
QString widenedTimeFormat();

} // namespace vfsmodel

class VfsModelPrivate
{
public:
    using ListJob = vfsmodel::ListJob;
    using DrivesJob = vfsmodel::DrivesJob;
    using WatchKey = vfsmodel::WatchKey;
    using FoundWatchItem = vfsmodel::FoundWatchItem;

    explicit VfsModelPrivate(VfsModel* q)
        : q(q), dateFormat(vfsmodel::widenedDateFormat()), timeFormat(vfsmodel::widenedTimeFormat())
    {
        root.mode = VfsModel::ExecUser;
    }

    VfsModel* const q;
    VfsEntry root;
    IPeer* peer = nullptr;
    QPointer<QAbstractItemModel> driveModel;
    QPointer<VfsClient> client;
    VfsModel::Clock clock = vfsmodel::defaultClock;
    VfsModel::Clock wallClock = vfsmodel::wallClockNow;
    const QString dateFormat;
    const QString timeFormat;

    // Icons of the own machine's files, one at a time.
    std::deque<VfsEntry*> iconQueue;
    VfsEntry* iconLoading = nullptr; // the entry the running load is for; null when it left
    bool iconBusy = false;
    QTimer* iconTimer = nullptr;
    QFutureWatcher<QIcon>* iconWatcher = nullptr;

    // Preview images of shown files, several loads at a time. The queue
    // runs newest request first: what a view paints now goes before what it
    // asked for earlier, so the rows on screen never wait behind the rest
    // of a large folder.
    struct PreviewLoad
    {
        VfsEntry* entry = nullptr; // null once the entry left the tree
        qint64 mtime = 0;          // of the file the load was started for
        QFutureWatcher<Preview::GetImageResult>* watcher = nullptr;
    };
    std::deque<VfsEntry*> previewQueue;
    std::vector<PreviewLoad> previewLoads; // running
    int previewLoadLimit = 1;
    QTimer* previewTimer = nullptr;

    // Path resolution.
    QString resolveTarget; // empty while idle
    quint8 resolvePriority = 0;
    qint64 resolveStartedAt = 0; // clock ms
    QTimer* resolveTimer = nullptr;
    QStringList priorityQueue;
    QStringList normalQueue;

    QHash<WatchKey, QString> watchItems; // the path each file was registered with

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
    int ownPeerState = -1; // the model shows the own machine's files: 1 yes, 0 no, -1 not known yet

    qint64 now() const { return clock(); }
    bool linkUp() const { return peer && peer->linkState() == IPeer::LinkUp; }
    VfsClient* fileClient() const
    {
        if (client)
            return client;
        return peer ? peer->vfsClient() : nullptr;
    }
    QChar sep() const { return separator.isNull() ? QLatin1Char('/') : separator; }
    // The own machine's files are local: their icons can be read from disk.
    bool ownMachine() const
    {
        return peer && !peer->uuid().isEmpty() && normalizedUuid(peer->uuid()) == normalizedUuid(ownPeerUuid());
    }
    // Asked once the peer has its uuid (the model is made while the peer
    // is being built).
    bool ownPeer()
    {
        if (ownPeerState < 0 && peer && !peer->uuid().isEmpty())
            ownPeerState = ownMachine() ? 1 : 0;
        return ownPeerState == 1;
    }
    void updateOwnPeer() { ownPeerState = -1; }
    bool cachedPreview(const VfsEntry* e) const { return VfsPreviewCache::instance().contains(q, e); }

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
    // Every column of an entry's row changed in the given roles.
    void rowChanged(const VfsEntry* e, const QVector<int>& roles)
    {
        emit q->dataChanged(indexOf(e, 0), indexOf(e, VfsModel::ColumnCount - 1), roles);
    }

    // vfsmodel.cpp: the tree.
    VfsEntry* newEntry(VfsEntry* parent);
    void addToIndex(VfsEntry* dir, VfsEntry* child);
    void insertChild(VfsEntry* dir, VfsEntry* child, int row);
    void removeChildren(VfsEntry* dir, int first, int last);
    void recycle(VfsEntry* entry);
    void clearTree();
    void setExpanded(const QModelIndex& index, bool expanded);

    // vfsmodel.cpp: listings and their merge.
    ListJob* takeJob();
    void recycleJob(ListJob* job);
    void finishJob(ListJob* job);
    void requestDrives();
    void retireDrivesJob();
    VfsEntry* matchRecord(const VfsEntry* dir, const VfsDirectoryEntry& record) const;
    VfsEntry* mergeRecord(ListJob* job, const VfsDirectoryEntry& record, bool* added);
    void completeListing(ListJob* job);
    void insertDrive(const VfsDrive& drive);

    // vfsmodelpresentation.cpp.
    // What a view may want of an entry that the merge leaves for later: the
    // MIME type and type icon of a file (the type database takes far longer
    // per name than the rest of a merge), the icon of a directory, and the
    // size and modification time as text.
    enum Pending : quint8 {
        PendingMime = 1,
        PendingFileIcon = 2,
        PendingDirectoryIcon = 4,
        PendingMtimeText = 8,
        PendingSizeText = 16,
    };
    void settle(VfsEntry* e, quint8 parts);
    void setFileTypeData(VfsEntry* e);
    void setMtime(VfsEntry* e, qint64 mtime);
    void queueIcon(VfsEntry* e);
    void forget(VfsEntry* e);
    void startIconLoad(VfsEntry* e);
    void showIcon(VfsEntry* e, const QIcon& icon, bool learn);
    void onIconLoaded();
    void wantPreview(VfsEntry* e);
    void startPreviewLoad(VfsEntry* e);
    void onPreviewLoaded(QFutureWatcher<Preview::GetImageResult>* watcher);
    void showPreview(VfsEntry* e, const Preview::GetImageResult& result);
    QVariant foreground(const VfsEntry* e, int column) const;
    QVariant decoration(const QModelIndex& index, const VfsEntry* e) const;
    QStringList components(const VfsEntry* e, bool display) const;

    // vfsmodelresolve.cpp.
    QString pathOf(const VfsEntry* entry, QChar separator) const;
    QString convertPath(const QString& path) const;
    bool reachesThrough(const VfsEntry* top) const;
    VfsEntry* findEntry(const QString& path) const;
    VfsEntry* findChild(const VfsEntry* dir, const QString& component) const;
    VfsEntry* topRowFor(const QString& path) const;
    VfsEntry* topOf(VfsEntry* e) const;
    VfsEntry* appendServerRoot(const QString& path);
    void finishResolve(int status);
    void scheduleResolve(int ms) { resolveTimer->start(ms); }
    bool watchKeyFor(const QString& path, quint64 fileId, WatchKey* key) const;
    std::vector<FoundWatchItem> watchedChildren(VfsEntry* dir, quint64 sequence) const;
};
