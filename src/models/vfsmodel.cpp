#include "models/vfsmodel.h"

#include "core/logger.h"
#include "core/uuid.h"
#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfsdirectoryentry.h"
#include "vfs/client/vfslistdirectoryjob.h"
#include "vfs/client/vfslistdrivesjob.h"
#include "models/ithemepixmapprovider.h"
#include "models/preview.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsentry.h"
#include "models/vfspreviewcache.h"

#include <QColor>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QLocale>
#include <QMimeDatabase>
#include <QMutexLocker>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <deque>
#include <limits>
#include <memory>

namespace {

const QString kSharesPath = QStringLiteral("%shares");
const QString kDrivesPath = QStringLiteral("%drives");
const QString kDirectoryMime = QStringLiteral("application/x-directory");
const QString kDriveMime = QStringLiteral("application/vnd.velm.drive");
const QString kNetworkMime = QStringLiteral("application/vnd.velm.network");

// Names holding one of these (anywhere, in any letter case) are images the
// preview reads.
const char* const kPreviewExtensions[] = {
    ".jpg", ".jpeg", ".png", ".svg", ".bmp", ".ico", ".gif", ".pbm", ".ARW",
    ".CR2", ".NEF", ".NRW", ".RAW", ".RW2", ".DNG", ".ai", ".eps", ".ps",
    ".psd", ".psb", ".webp", ".icns", ".xcf", ".kra", ".ora",
};

// The preview sizes asked for, smallest first; up to kPreviewIconMax the
// images also make the entry's decoration.
const int kPreviewSizes[] = {20, 24, 32, 48, 256};
constexpr int kPreviewIconMax = 64;
// The platform icon sizes tried for a local file, largest first.
const int kPlatformIconSizes[] = {256, 144, 64, 48, 32};

// Text colours of a name by the age of the file (seconds since its last
// change); older files take the palette's text colour.
struct AgeColour
{
    qint64 below;
    const char* colour;
};
const AgeColour kAgeColours[] = {
    {300, "#0baf00"},    {600, "#2ba200"},    {28800, "#269004"},  {86400, "#4a8439"},
    {172800, "#42850c"}, {259200, "#4e7a0a"}, {604800, "#656005"},
};

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

bool hasGui()
{
    // Icons, fonts and palettes need a GUI application; a headless engine
    // process gets none of them.
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

// Icons shared by every model of the process: folder, file, read-only and
// the icons learnt from local files by MIME type. Main thread only.
QHash<QString, QIcon>& sharedIcons()
{
    static QHash<QString, QIcon> icons;
    return icons;
}

QIcon themeIcon(const char* name, const char* fallback = nullptr)
{
    QIcon icon = QIcon::fromTheme(QLatin1String(name));
    if (icon.isNull() && fallback)
        icon = QIcon::fromTheme(QLatin1String(fallback));
    return icon;
}

// One of the named shared icons, made on first use; a null icon when none
// can be had (no GUI, no theme), which is not kept.
QIcon sharedIcon(const QString& key)
{
    if (!hasGui())
        return QIcon();
    QHash<QString, QIcon>& icons = sharedIcons();
    auto it = icons.constFind(key);
    if (it != icons.constEnd())
        return *it;
    QIcon icon;
    if (key == QLatin1String("x-directory")) {
        icon = themeIcon("folder", "inode-directory");
    } else if (key == QLatin1String("x-file")) {
        icon = themeIcon("text-x-generic", "unknown");
    } else if (key == QLatin1String("read-only")) {
        if (IThemePixmapProvider* provider = IThemePixmapProvider::instance()) {
            const QPixmap pixmap = provider->requestPixmap(QStringLiteral("icon/read-only.svg"), nullptr,
                                                           QSize(16, 16));
            if (!pixmap.isNull())
                icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
        }
        if (icon.isNull())
            icon = themeIcon("emblem-readonly");
    } else {
        return QIcon(); // a MIME type not learnt yet
    }
    if (!icon.isNull())
        icons.insert(key, icon);
    return icon;
}

QIcon driveIcon(bool network)
{
    if (!hasGui())
        return QIcon();
    return network ? themeIcon("network-workgroup", "folder-remote") : themeIcon("drive-harddisk");
}

// The desktop's icon of a local file, by its content type.
QIcon localFileIcon(const QFileInfo& info)
{
    if (!hasGui())
        return QIcon();
    const QMimeType type = QMimeDatabase().mimeTypeForFile(info);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    return icon;
}

bool hasPreviewExtension(const QString& name)
{
    for (const char* extension : kPreviewExtensions) {
        if (name.contains(QLatin1String(extension), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString sizeText(quint64 size)
{
    return QLocale().formattedDataSize(qint64(std::min<quint64>(size, quint64(std::numeric_limits<qint64>::max()))),
                                       1, QLocale::DataSizeSIFormat);
}

// The locale's narrow date with four-digit years and two-digit days and
// months; its short time with two-digit hours.
QString widenedDateFormat()
{
    QString format = QLocale().dateFormat(QLocale::NarrowFormat);
    if (format.endsWith(QLatin1String("yy")) && !format.endsWith(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    if (format.contains(QLatin1Char('M')) && !format.contains(QLatin1String("MM")))
        format.replace(QLatin1Char('M'), QLatin1String("MM"));
    if (format.contains(QLatin1Char('d')) && !format.contains(QLatin1String("dd")))
        format.replace(QLatin1Char('d'), QLatin1String("dd"));
    return format;
}

QString widenedTimeFormat()
{
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    if (format.contains(QLatin1Char('h')) && !format.contains(QLatin1String("hh")))
        format.replace(QLatin1Char('h'), QLatin1String("hh"));
    return format;
}

// Runs on the thread pool: the platform's pixmap of a local file at the
// first size it has.
QIcon loadPlatformIcon(const QString& peerUuid, const QString& path, bool isFile)
{
    if (Preview::canPreview(peerUuid, path))
        return QIcon(); // its preview will stand for it
    IThemePixmapProvider* provider = IThemePixmapProvider::instance();
    if (!provider)
        return QIcon();
    for (int size : kPlatformIconSizes) {
        Logger::log(Logger::VMDL, "test win icon: %s, size: %d", qUtf8Printable(path), size);
        const QPixmap pixmap = provider->platformFilePixmap(path, size, isFile);
        if (!pixmap.isNull()) {
            Logger::log(Logger::VMDL, "win icon: %s, size: %dx%d", qUtf8Printable(path), pixmap.width(),
                        pixmap.height());
            return QIcon(pixmap);
        }
    }
    return QIcon();
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

uint qHash(const WatchKey& key, uint seed = 0)
{
    return ::qHash(key.top, seed) ^ ::qHash(key.inode, seed);
}

class VfsModelPrivate
{
public:
    explicit VfsModelPrivate(VfsModel* q)
        : q(q), dateFormat(widenedDateFormat()), timeFormat(widenedTimeFormat())
    {
        root.mode = VfsModel::ExecUser;
    }

    VfsModel* const q;
    VfsEntry root;
    IPeer* peer = nullptr;
    QPointer<QAbstractItemModel> driveModel;
    QPointer<VfsClient> client;
    VfsModel::Clock clock = defaultClock;
    VfsModel::Clock wallClock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    const QString dateFormat;
    const QString timeFormat;

    // Icons of the own machine's files, one at a time.
    std::deque<VfsEntry*> iconQueue;
    VfsEntry* iconLoading = nullptr; // the entry the running load is for; null when it left
    bool iconBusy = false;
    QTimer* iconTimer = nullptr;
    QFutureWatcher<QIcon>* iconWatcher = nullptr;

    // Preview images of shown files, one at a time.
    std::deque<VfsEntry*> previewQueue;
    bool previewBusy = false;
    QTimer* previewTimer = nullptr;
    QFutureWatcher<Preview::GetImageResult>* previewWatcher = nullptr;

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
    int ownPeerState = -1; // the model shows the own machine's files: 1 yes, 0 no, -1 not known yet
    void forget(VfsEntry* e);
    void startIconLoad(VfsEntry* e);
    void onIconLoaded();
    void onPreviewLoaded();
    QVariant foreground(const VfsEntry* e, int column) const;
    QVariant decoration(const QModelIndex& index, const VfsEntry* e) const;
    QStringList components(const VfsEntry* e, bool display) const;

    VfsEntry* topRowFor(const QString& path) const;
    VfsEntry* topOf(VfsEntry* e) const;
    VfsEntry* appendServerRoot(const QString& path);
    void finishResolve(int status);
    void scheduleResolve(int ms) { resolveTimer->start(ms); }
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
    // Watched files of this listing, reported once the tree is settled.
    struct Found
    {
        QString path;
        quint64 inode;
        QString watchPath;
    };
    std::vector<Found> found;
    if (!watchItems.isEmpty()) {
        VfsEntry* top = topOf(dir);
        const QString topPath = top ? pathOf(top, sep()) : QString();
        for (VfsEntry* child : dir->children) {
            auto it = watchItems.constFind(WatchKey{topPath, child->inode});
            if (child->inode == 0 || it == watchItems.constEnd())
                continue;
            Logger::log(Logger::VMDL, "found watch item %s, fileId: %llu", qUtf8Printable(pathOf(child, '/')),
                        static_cast<unsigned long long>(child->inode));
            if (child->seen == job->sequence)
                found.push_back(Found{pathOf(child, sep()), child->inode, *it});
        }
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
    for (const Found& f : found)
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

// --- Presentation ------------------------------------------------------------

void VfsModelPrivate::setMtime(VfsEntry* e, qint64 mtime)
{
    e->mtime = mtime;
    e->mtimeString.clear();
    if (mtime != 0)
        e->pending |= PendingMtimeText;
    else
        e->pending &= ~PendingMtimeText;
}

void VfsModelPrivate::setFileTypeData(VfsEntry* e)
{
    e->pending |= PendingSizeText;
    if (hasPreviewExtension(e->name))
        e->previewState = VfsModel::PreviewPossible;
    e->pending |= PendingMime | PendingFileIcon;
}

void VfsModelPrivate::settle(VfsEntry* e, quint8 parts)
{
    parts &= e->pending;
    if (!parts)
        return;
    if (parts & (PendingMime | PendingFileIcon)) {
        e->pending &= ~PendingMime;
        if (e->mime.isEmpty()) {
            static const QMimeDatabase mimeDatabase;
            e->mime = mimeDatabase.mimeTypeForFile(e->name, QMimeDatabase::MatchExtension).name();
        }
    }
    if ((parts & PendingFileIcon) && hasGui()) {
        e->pending &= ~PendingFileIcon;
        if (e->icon.isNull()) {
            auto it = sharedIcons().constFind(e->mime);
            if (!e->mime.isEmpty() && it != sharedIcons().constEnd() && !e->name.endsWith(QLatin1String("lnk")))
                e->icon = *it;
            else if (ownPeer())
                queueIcon(e);
        }
        if (e->icon.isNull())
            e->icon = sharedIcon(QStringLiteral("x-file"));
    }
    if ((parts & PendingDirectoryIcon) && hasGui()) {
        e->pending &= ~PendingDirectoryIcon;
        e->icon = sharedIcon(QStringLiteral("x-directory"));
        if (ownPeer())
            queueIcon(e);
    }
    if (parts & PendingSizeText) {
        e->pending &= ~PendingSizeText;
        e->sizeString = sizeText(e->size);
    }
    if (parts & PendingMtimeText) {
        e->pending &= ~PendingMtimeText;
        const QDateTime time = QDateTime::fromMSecsSinceEpoch(e->mtime);
        e->mtimeString = QStringLiteral("%1  %2").arg(time.toString(dateFormat), time.toString(timeFormat));
    }
}

void VfsModelPrivate::queueIcon(VfsEntry* e)
{
    if (!hasGui())
        return;
    if (std::find(iconQueue.begin(), iconQueue.end(), e) == iconQueue.end())
        iconQueue.push_back(e);
    // The queue runs once no listing waits to be merged.
    if (!iconTimer->isActive() && !iconBusy && !(checkTimer && checkTimer->isActive()))
        iconTimer->start(0);
}

// An entry leaves the tree: nothing queued or cached refers to it any more.
void VfsModelPrivate::forget(VfsEntry* e)
{
    iconQueue.erase(std::remove(iconQueue.begin(), iconQueue.end(), e), iconQueue.end());
    if (iconLoading == e)
        iconLoading = nullptr;
    previewQueue.erase(std::remove(previewQueue.begin(), previewQueue.end(), e), previewQueue.end());
    VfsPreviewCache::instance().remove(q, e);
}

void VfsModelPrivate::startIconLoad(VfsEntry* e)
{
    iconBusy = true;
    iconLoading = e;
    const QString uuid = peer ? peer->uuid() : QString();
    const QString path = pathOf(e, sep());
    const bool isFile = e->type == VfsModel::FileType;
    iconWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [uuid, path, isFile]() {
        return loadPlatformIcon(uuid, path, isFile);
    }));
}

void VfsModelPrivate::onIconLoaded()
{
    iconBusy = false;
    const QIcon icon = iconWatcher->result();
    VfsEntry* e = iconLoading;
    iconLoading = nullptr;
    if (e && !iconQueue.empty() && iconQueue.front() == e) {
        if (!icon.isNull()) {
            e->icon = icon;
            const QString suffix = QFileInfo(e->name).suffix().toLower();
            if (suffix != QLatin1String("exe") && suffix != QLatin1String("lnk") && !e->mime.isEmpty()
                && e->type == VfsModel::FileType)
                sharedIcons().insert(e->mime, icon);
            emit q->dataChanged(indexOf(e, 0), indexOf(e, VfsModel::ColumnCount - 1), {Qt::DecorationRole});
        }
        iconQueue.pop_front();
    }
    iconTimer->stop();
    if (!iconQueue.empty())
        q->processIconQueue();
}

void VfsModelPrivate::onPreviewLoaded()
{
    previewBusy = false;
    const Preview::GetImageResult result = previewWatcher->result();
    VfsEntry* e = findEntry(result.path);
    if (e && !result.images.empty() && e->previewState == VfsModel::PreviewLoading) {
        e->previewState = VfsModel::PreviewPossible;
        if (hasGui()) {
            QIcon icon;
            for (const QImage& image : result.images) {
                if (image.isNull() || image.width() > kPreviewIconMax || image.height() > kPreviewIconMax)
                    continue;
                QPixmap pixmap = QPixmap::fromImage(image);
                if (image.width() != image.height()) {
                    const int side = std::max(image.width(), image.height());
                    QPixmap square(side, side);
                    square.fill(Qt::transparent);
                    QPainter painter(&square);
                    painter.drawPixmap((side - image.width()) / 2, (side - image.height()) / 2, pixmap);
                    painter.end();
                    pixmap = square;
                }
                icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
            }
            e->previewIcon = icon; // a new preview replaces the old images
        }
        const QImage* chosen = &result.images.front();
        for (const QImage& image : result.images) {
            if (chosen->width() >= result.size.width() || chosen->height() >= result.size.height())
                break;
            if (image.width() > chosen->width() && image.height() > chosen->height())
                chosen = &image;
        }
        const qint64 bytes = chosen->sizeInBytes();
        if (VfsPreviewCache::instance().insert(q, e, *chosen))
            Logger::log(Logger::VMDL, "cached preview image: %lld bytes %s", static_cast<long long>(bytes),
                        qUtf8Printable(result.path));
        else
            Logger::log(Logger::VMDL, "failed to cache preview image: %lld bytes %s", static_cast<long long>(bytes),
                        qUtf8Printable(result.path));
        e->previewSize = chosen->size();
        const QModelIndex index = indexOf(e, 0);
        emit q->dataChanged(index, index);
    }
    if (!previewQueue.empty())
        previewTimer->start(0);
}

QVariant VfsModelPrivate::foreground(const VfsEntry* e, int column) const
{
    if (!hasGui())
        return QVariant();
    const QPalette palette = QGuiApplication::palette();
    if (column != VfsModel::NameColumn || !linkUp())
        return palette.color(QPalette::Inactive, QPalette::Mid);
    if (e->parent == &root)
        return QVariant();
    const qint64 age = (wallClock() - e->mtime) / 1000;
    for (const AgeColour& band : kAgeColours) {
        if (age < band.below)
            return QColor(QLatin1String(band.colour));
    }
    return palette.color(QPalette::Text);
}

QVariant VfsModelPrivate::decoration(const QModelIndex& index, const VfsEntry* e) const
{
    if (index.column() == VfsModel::AccessColumn) {
        if (e->mode & VfsModel::WriteUser)
            return QVariant();
        const QIcon icon = sharedIcon(QStringLiteral("read-only"));
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    if (index.column() != VfsModel::NameColumn)
        return QVariant();
    if (!e->previewIcon.isNull())
        return e->previewIcon;
    if (e->previewState == VfsModel::PreviewPossible && !cachedPreview(e))
        emit q->noPreviewCached(index);
    if (!e->icon.isNull())
        return e->icon;
    const QString suffix = QFileInfo(e->name).suffix();
    if (!suffix.isEmpty()) {
        auto it = sharedIcons().constFind(suffix);
        if (it != sharedIcons().constEnd())
            return *it;
    }
    return QVariant();
}

QStringList VfsModelPrivate::components(const VfsEntry* e, bool display) const
{
    QStringList out;
    for (const VfsEntry* p = e; p && p != &root; p = p->parent)
        out.prepend(display && p->origType == VfsModel::ShareType && p->type != VfsModel::DriveType ? p->name
                                                                                                      : componentOf(p));
    return out;
}

// --- Path resolution and watching --------------------------------------------

// The top-level row a path is reached through, as findEntry walks: the one
// with the longest path that starts the given path; on a peer with '/'
// paths, drives other than "/" are reached through "/".
VfsEntry* VfsModelPrivate::topRowFor(const QString& path) const
{
    VfsEntry* best = nullptr;
    int bestLength = -1;
    for (VfsEntry* top : root.children) {
        if (separator == QLatin1Char('/') && top->type == VfsModel::DriveType && top->path != QLatin1String("/"))
            continue;
        const QString topPath = pathOf(top, sep());
        if (!topPath.isEmpty() && path.startsWith(topPath) && topPath.size() > bestLength) {
            best = top;
            bestLength = topPath.size();
        }
    }
    return best;
}

VfsEntry* VfsModelPrivate::topOf(VfsEntry* e) const
{
    while (e && e->parent && e->parent != &root)
        e = e->parent;
    return e && e->parent == &root ? e : nullptr;
}

// A server of a peer with '\' paths, reached by its UNC name.
VfsEntry* VfsModelPrivate::appendServerRoot(const QString& path)
{
    VfsEntry* e = newEntry(&root);
    e->name = path.mid(2);
    e->ref = path;
    e->mode = VfsModel::ReadUser | VfsModel::ExecUser;
    e->origType = VfsModel::ShareType;
    e->type = VfsModel::DirectoryType;
    e->mime = kNetworkMime;
    e->icon = driveIcon(true);
    insertChild(&root, e, int(root.children.size()));
    return e;
}

void VfsModelPrivate::finishResolve(int status)
{
    const QString target = resolveTarget;
    resolveTarget.clear();
    resolvePriority = 0;
    resolveTimer->stop();
    emit q->pathResolved(status, target);
    // The signal may have started another path.
    if (resolveTarget.isEmpty())
        q->resolveNextPath();
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
    d->previewWatcher = new QFutureWatcher<Preview::GetImageResult>(this);
    connect(d->previewWatcher, &QFutureWatcherBase::finished, this, [this] { d->onPreviewLoaded(); });

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
    d->previewWatcher->disconnect(this);
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
    if (clock)
        d->wallClock = std::move(clock);
    else
        d->wallClock = [] { return QDateTime::currentMSecsSinceEpoch(); };
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
    if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
        case SizeColumn:
            return int(Qt::AlignRight | Qt::AlignVCenter);
        case MTimeStringColumn:
        case MTimeColumn:
            return int(Qt::AlignHCenter | Qt::AlignVCenter);
        default:
            return QVariant();
        }
    }
    const VfsEntry* e = d->entryOf(index);
    if (e == &d->root) {
        // Only the top-level rows can be meant.
        e = size_t(index.row()) < d->root.children.size() ? d->root.children[size_t(index.row())] : nullptr;
    }
    if (!e) {
        if (role == FlagsRole)
            return 0;
        if (role == MimeRole)
            return kDirectoryMime;
        return QVariant();
    }
    const int column = index.column();
    const bool container = hasChildList(e);
    if (e->pending) {
        VfsEntry* entry = const_cast<VfsEntry*>(e);
        if (role == MimeRole || (role == Qt::DisplayRole && column == MimeColumn))
            d->settle(entry, VfsModelPrivate::PendingMime);
        else if (role == Qt::DecorationRole && column == NameColumn)
            d->settle(entry, VfsModelPrivate::PendingMime | VfsModelPrivate::PendingFileIcon
                                 | VfsModelPrivate::PendingDirectoryIcon);
        else if (role == MtimeStringRole || (role == Qt::DisplayRole && column == MTimeStringColumn))
            d->settle(entry, VfsModelPrivate::PendingMtimeText);
        else if (role == SizeStringRole || role == Qt::ToolTipRole || (role == Qt::DisplayRole && column == SizeColumn))
            d->settle(entry, VfsModelPrivate::PendingSizeText);
    }
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case NameColumn:
            return e->name;
        case TypeColumn:
            return data(index, TypeStringRole);
        case PathColumn:
            return e->path.isEmpty() ? d->pathOf(e, d->sep()) : e->path;
        case SizeColumn:
            return data(index, SizeStringRole);
        case ATimeColumn:
            return timeValue(e->atime);
        case CTimeColumn:
            return timeValue(e->ctime);
        case MTimeStringColumn:
            return e->mtimeString;
        case MTimeColumn:
            return timeValue(e->mtime);
        case MimeColumn:
            return e->mime;
        case FlagsColumn:
            return int(e->flags);
        case RefColumn:
            return e->ref;
        case HiddenColumn:
            return bool(e->hidden);
        case InfoColumn:
            return uint(e->mode);
        default:
            return QVariant();
        }
    case Qt::EditRole:
        return column == NameColumn ? QVariant(e->name) : QVariant();
    case Qt::ToolTipRole:
        if (e->sizeString.isEmpty())
            return e->name;
        //% "Size"
        return e->name + QStringLiteral("\n%1: %2").arg(qtTrId("column-size"), e->sizeString);
    case Qt::DecorationRole:
        return d->decoration(index, e);
    case Qt::FontRole:
        if (!hasGui())
            return QVariant();
        if (column == SizeColumn && e->type == DirectoryType)
            return QVariant();
        if (column == SizeColumn || column == MTimeStringColumn || column == MTimeColumn)
            return QFont(QStringLiteral("TypeWriter"));
        return QGuiApplication::font();
    case Qt::BackgroundRole:
        if (hasGui() && (e->flags & DropTargetFlag))
            return QGuiApplication::palette().midlight();
        return QVariant();
    case Qt::ForegroundRole:
        return d->foreground(e, column);
    case Qt::SizeHintRole:
        if (column == AccessColumn)
            return (e->mode & WriteUser) ? QSize(-1, -1) : QSize(22, 22);
        if (column == SizeColumn && hasGui())
            return QSize(QFontMetrics(QGuiApplication::font()).horizontalAdvance(QStringLiteral("0000 Bytes")), 22);
        return QVariant();
    case NameRole:
        if (e->type == DriveType && e->path == QLatin1String("/"))
            return QStringLiteral("%1 %2").arg(sizeText(e->size), e->name);
        return e->name;
    case PathRole:
        return d->pathOf(e, d->sep());
    case PathListRole:
        return d->components(e, false);
    case DisplayPathListRole:
        return d->components(e, true);
    case SizeRole:
        return QVariant::fromValue<quint64>(e->size);
    case SizeStringRole:
        //% "Folder"
        return container ? qtTrId("item-type-folder") : e->sizeString;
    case TypeStringRole:
        switch (e->type) {
        case NoType:
            return QStringLiteral("NoType");
        case DriveType:
            return QStringLiteral("Drive");
        case DirectoryType:
            return QStringLiteral("Directory");
        case FileType:
            return QStringLiteral("File");
        default:
            return QString();
        }
    case TypeRole:
        return int(e->type);
    case OrigTypeRole:
        return int(e->origType);
    case AtimeRole:
        return timeValue(e->atime);
    case CtimeRole:
        return timeValue(e->ctime);
    case MtimeStringRole:
        return e->mtimeString;
    case MtimeRole:
        return timeValue(e->mtime);
    case IconRole:
        switch (e->type) {
        case FileType:
            return QString(QStringLiteral("image://theme/file/") + e->name);
        case DirectoryType:
            return QStringLiteral("image://theme/mime/application/x-directory");
        case DriveType:
            return QStringLiteral("image://theme/icon/drive-disk.svg");
        default:
            return QVariant();
        }
    case MimeRole:
        return e->mime;
    case HiddenRole:
        return bool(e->hidden);
    case FlagsRole:
        return int(e->flags);
    case PreviewRole:
        if (const QImage* image = VfsPreviewCache::instance().find(this, e))
            return *image;
        if (e->previewState == PreviewPossible)
            emit const_cast<VfsModel*>(this)->noPreviewCached(d->indexOf(e));
        return QVariant();
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

QVariant VfsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::SizeHintRole)
        return section == AccessColumn ? QVariant(QSize(22, -1)) : QVariant();
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case NameColumn:
        //% "Name"
        return qtTrId("column-name");
    case AccessColumn:
        return QString();
    case TypeColumn:
        //% "Type"
        return qtTrId("column-type");
    case PathColumn:
        //% "Path"
        return qtTrId("column-path");
    case SizeColumn:
        return qtTrId("column-size");
    case ATimeColumn:
        //% "Access"
        return qtTrId("column-access");
    case CTimeColumn:
        //% "Created"
        return qtTrId("column-created");
    case MTimeStringColumn:
    case MTimeColumn:
        //% "Modified"
        return qtTrId("column-modified");
    case MimeColumn:
        //% "Mime"
        return qtTrId("column-mime");
    case FlagsColumn:
        //% "Flags"
        return qtTrId("column-flags");
    case RefColumn:
        //% "Reference"
        return qtTrId("column-reference");
    case HiddenColumn:
        //% "Hidden"
        return qtTrId("column-hidden");
    default:
        return QVariant();
    }
}

Qt::ItemFlags VfsModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags flags = QAbstractItemModel::flags(index);
    if (d->entryOf(index))
        flags |= Qt::ItemIsEditable | Qt::ItemIsDragEnabled;
    return flags;
}

bool VfsModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    VfsEntry* e = d->entryOf(index);
    if (!e || e == &d->root)
        return false;
    if (role == Qt::EditRole && index.column() == NameColumn) {
        const QString name = value.toString();
        if (name != e->name)
            emit renameRequest(index, name);
        return false; // the pane renames; the listing that follows shows it
    }
    if (role == FlagsRole) {
        bool ok = false;
        const int flags = value.toInt(&ok);
        if (!ok || quint32(flags) == e->flags)
            return false;
        e->flags = quint32(flags);
        emit dataChanged(d->indexOf(e, 0), d->indexOf(e, ColumnCount - 1), {});
        return true;
    }
    return false;
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

// --- Icons and previews ------------------------------------------------------

void VfsModel::processIconQueue()
{
    if (d->iconQueue.empty() || d->iconBusy || d->iconWatcher->isRunning())
        return;
    VfsEntry* e = d->iconQueue.front();
    d->settle(e, VfsModelPrivate::PendingMime);
    const QFileInfo info(d->pathOf(e, d->sep())); // the own machine: a local path
    const QString suffix = info.suffix().toLower();
    const bool exe = suffix == QLatin1String("exe");
    const bool lnk = suffix == QLatin1String("lnk");
    if (!exe && !lnk && !e->mime.isEmpty()) {
        auto it = sharedIcons().constFind(e->mime);
        if (it != sharedIcons().constEnd()) {
            e->icon = *it;
            emit dataChanged(d->indexOf(e, 0), d->indexOf(e, ColumnCount - 1), {Qt::DecorationRole});
            if (!d->iconQueue.empty() && d->iconQueue.front() == e)
                d->iconQueue.pop_front();
            d->iconTimer->start(0);
            return;
        }
    }
    if (e->type == FileType && !exe) {
        const QIcon icon = localFileIcon(info);
        if (!icon.isNull()) {
            e->icon = icon;
            if (!lnk && !e->mime.isEmpty())
                sharedIcons().insert(e->mime, icon);
            emit dataChanged(d->indexOf(e, 0), d->indexOf(e, ColumnCount - 1), {Qt::DecorationRole});
            if (!d->iconQueue.empty() && d->iconQueue.front() == e)
                d->iconQueue.pop_front();
            d->iconTimer->start(0);
            return;
        }
    }
    d->startIconLoad(e);
}

void VfsModel::requestPreview(const QModelIndex& index)
{
    VfsEntry* e = d->entryOf(index);
    if (!e || e == &d->root || e->previewState != PreviewPossible || d->cachedPreview(e))
        return;
    Logger::log(Logger::VMDL, "request preview: %s", qUtf8Printable(d->pathOf(e, '/')));
    e->previewState = PreviewRequested;
    if (std::find(d->previewQueue.begin(), d->previewQueue.end(), e) == d->previewQueue.end())
        d->previewQueue.push_back(e);
    if (!d->previewTimer->isActive())
        d->previewTimer->start(10);
}

void VfsModel::onPreviewTimerFired()
{
    if (d->previewQueue.empty() || d->previewBusy || d->previewWatcher->isRunning())
        return;
    VfsEntry* e = d->previewQueue.front();
    d->previewQueue.pop_front();
    if (!e->parent || e->parent->useCount == 0) {
        // Nobody shows it now; the next view that wants it asks again.
        e->previewState = PreviewPossible;
        d->previewTimer->start(0);
        return;
    }
    if (e->previewState != PreviewRequested) {
        d->previewTimer->start(0);
        return;
    }
    d->previewBusy = true;
    e->previewState = PreviewLoading;
    Preview::GetImageRequest request;
    request.peerUuid = d->peer ? d->peer->uuid() : QString();
    request.path = d->pathOf(e, d->sep());
    for (int size : kPreviewSizes)
        request.bounds.emplace_back(size, size);
    request.mtime = e->mtime;
    request.reserved = 0;
    d->previewWatcher->setFuture(Preview::getImageAsync(Preview::instance(), request));
}

// --- Path resolution ---------------------------------------------------------

QString VfsModel::resolvePath(const QString& rawPath, bool priority)
{
    const QString path = d->convertPath(rawPath);
    if (path == d->resolveTarget)
        return path;
    Logger::log(Logger::VMDL, "resolve path %s", qUtf8Printable(path));
    if (!d->resolveTarget.isEmpty()) {
        // The displaced path is resolved later, before the others of its
        // kind, unless it waits there already.
        QStringList& queue = d->resolvePriority ? d->priorityQueue : d->normalQueue;
        if (!queue.contains(d->resolveTarget))
            queue.prepend(d->resolveTarget);
    }
    d->resolveTarget = path;
    d->resolvePriority = priority ? 1 : 0;
    d->resolveStartedAt = d->now();
    d->resolveTimer->start(0);
    return path;
}

QString VfsModel::requestResolvePath(const QString& rawPath)
{
    if (d->resolveTarget.isEmpty())
        return resolvePath(rawPath, false);
    const QString path = d->convertPath(rawPath);
    d->normalQueue.append(path);
    return path;
}

void VfsModel::resolveNextPath()
{
    if (!d->priorityQueue.isEmpty())
        resolvePath(d->priorityQueue.takeFirst(), true);
    else if (!d->normalQueue.isEmpty())
        resolvePath(d->normalQueue.takeFirst(), false);
}

void VfsModel::onResolvePathTimerFired()
{
    if (d->resolveTarget.isEmpty())
        return;
    if (d->now() - d->resolveStartedAt > ResolveLimitMs) {
        Logger::log(Logger::VMDL, "resolve path %s timed out", qUtf8Printable(d->resolveTarget));
        d->finishResolve(1);
        return;
    }
    if (!d->linkUp()) {
        d->scheduleResolve(ResolveWaitStepMs);
        return;
    }
    if (!d->resolveTarget.startsWith(kSharesPath) && d->driveModel && d->driveModel->rowCount() == 0
        && (d->drivesRequestedAt < 0 || d->now() - d->drivesRequestedAt > ResolveDriveListRetryMs)) {
        fetchMore(QModelIndex());
        d->scheduleResolve(ResolveWaitStepMs);
        return;
    }

    QChar s = d->separator;
    if (s.isNull()) {
        if (d->resolveTarget.contains(QLatin1Char('/')))
            s = QLatin1Char('/');
        else if (d->resolveTarget.contains(QLatin1Char('\\')))
            s = QLatin1Char('\\');
    }
    d->resolveTarget = d->convertPath(d->resolveTarget);
    const QString target = d->resolveTarget;

    // The deepest entry of the path that the tree holds.
    QString path = target;
    VfsEntry* found = d->findEntry(path);
    while (!found && !s.isNull()) {
        const int cut = path.lastIndexOf(s);
        if (cut < 0)
            break;
        if (s == QLatin1Char('\\') && cut == 1) {
            found = d->appendServerRoot(path);
            break;
        }
        const QString shorter = cut == 0 ? path.left(1) : path.left(cut);
        if (shorter.size() >= path.size())
            break;
        path = shorter;
        found = d->findEntry(path);
    }

    if (found && found != d->findEntry(target)) {
        // An ancestor: list it and look again once it is merged.
        const QModelIndex index = d->indexOf(found);
        if (found->busy) {
            d->scheduleResolve(ResolveFetchStepMs);
            return;
        }
        if (canFetchMore(index)) {
            fetchMore(index);
            d->scheduleResolve(ResolveFetchStepMs);
            return;
        }
        found = nullptr; // it cannot be listed (again): the path is not there
    } else if (found) {
        const QModelIndex index = d->indexOf(found);
        const int status = (found->mode & ExecUser) ? 0 : 1;
        if (!found->busy && canFetchMore(index))
            fetchMore(index);
        Logger::log(Logger::VMDL, "resolved path %s: %d", qUtf8Printable(target), status);
        d->finishResolve(status);
        return;
    }

    if (d->root.children.size() < 2) {
        d->scheduleResolve(ResolveDrivesStepMs); // the drives have not come yet
        return;
    }
    Logger::log(Logger::VMDL, "cannot resolve path %s", qUtf8Printable(target));
    d->finishResolve(1);
}

// --- Watching ----------------------------------------------------------------

void VfsModel::startWatching(const QString& rawPath, quint64 fileId)
{
    if (fileId == 0) {
        Logger::log(Logger::VMDL, "skip watch %s, invalid fileId: %llu", qUtf8Printable(rawPath),
                    static_cast<unsigned long long>(fileId));
        return;
    }
    const QString path = d->convertPath(rawPath);
    const VfsEntry* top = d->topRowFor(path);
    if (!top)
        return;
    const WatchKey key{d->pathOf(top, d->sep()), fileId};
    auto it = d->watchItems.find(key);
    if (it == d->watchItems.end()) {
        Logger::log(Logger::VMDL, "start watching %s, fileId: %llu", qUtf8Printable(path),
                    static_cast<unsigned long long>(fileId));
        d->watchItems.insert(key, path);
    } else if (*it != path) {
        Logger::log(Logger::VMDL, "changed watch path %s, fileId: %llu", qUtf8Printable(path),
                    static_cast<unsigned long long>(fileId));
        *it = path;
    }
}

void VfsModel::stopWatching(const QString& rawPath, quint64 fileId)
{
    const QString path = d->convertPath(rawPath);
    const VfsEntry* top = d->topRowFor(path);
    if (!top || fileId == 0)
        return;
    auto it = d->watchItems.find(WatchKey{d->pathOf(top, d->sep()), fileId});
    if (it != d->watchItems.end() && *it == path) {
        Logger::log(Logger::VMDL, "stop watching %s, fileId: %llu", qUtf8Printable(path),
                    static_cast<unsigned long long>(fileId));
        d->watchItems.erase(it);
    }
}
