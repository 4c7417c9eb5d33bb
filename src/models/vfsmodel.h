#pragma once

#include <QAbstractItemModel>
#include <QChar>
#include <QFont>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class IPeer;
class VfsClient;
class VfsModelPrivate;
struct VfsListDirectoryJob;
struct VfsListDrivesJob;

// A peer's file system as one tree: the shares root first, then the peer's
// drives as its drive model reports them, and below them the directories,
// listed when a view asks for their children. Listings come back from the
// peer's file-system client and are merged on a 0 ms timer in slices of at
// most MergeSliceSize entries, so that the main thread never stalls on a
// large directory; entries that vanished go only once the whole listing is
// merged. Change notices of the peer's server list a directory again.
//
// Nothing is fetched unless the peer's link is up. A directory is fetchable
// by views at most every RefetchPauseMs, the drive list at most every
// DriveListPauseMs; both measured on the model's clock.
//
// The model lives on the main thread.
class VfsModel : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum VfsEntryType {
        NoType = 0,
        DriveType = 1,
        DirectoryType = 2,
        FileType = 3,
        SymlinkType = 4,
        ShareType = 5,
    };
    Q_ENUM(VfsEntryType)

    enum Columns {
        NameColumn = 0,
        AccessColumn,
        TypeColumn,
        PathColumn,
        SizeColumn,
        ATimeColumn,
        CTimeColumn,
        MTimeStringColumn,
        MTimeColumn,
        MimeColumn,
        FlagsColumn,
        RefColumn,
        HiddenColumn,
        InfoColumn,
        ColumnCount,
    };
    Q_ENUM(Columns)

    enum Roles {
        NameRole = Qt::UserRole + 1, // 257
        AccessRole,
        PathRole,
        PathListRole,
        DisplayPathListRole,
        SizeRole,
        SizeStringRole,
        TypeStringRole,
        TypeRole,
        OrigTypeRole,
        AtimeRole,
        CtimeRole,
        MtimeStringRole,
        MtimeRole,
        IconRole,
        MimeRole,
        HiddenRole,
        FlagsRole,
        PreviewRole,
        InfoRole,
        ChildSizeRole,
        IdRole,
        // The size of the preview when it is at hand, else nothing; unlike
        // PreviewRole it never asks for one (for a layout that measures
        // every row).
        PreviewSizeRole,
    };
    Q_ENUM(Roles)

    // Whether a file's preview images can be had and where their loading is.
    enum PreviewState {
        PreviewNone = 0,      // not an image the preview reads
        PreviewPossible = 1,  // loadable, not loading
        PreviewRequested = 2, // waiting in the preview queue
        PreviewLoading = 3,
    };
    Q_ENUM(PreviewState)

    enum EntryFlags { CopyMarkFlag = 1, DropTargetFlag = 2 };
    Q_ENUM(EntryFlags)

    // Access bits of an entry; the "User" bits are what the peer's server
    // may do with it.
    enum InfoFlags {
        ReadUser = 16384,
        WriteUser = 8192,
        ExecUser = 4096,
        ReadOwner = 1024,
        WriteOwner = 512,
        ExecOwner = 256,
        ReadGroup = 64,
        WriteGroup = 32,
        ExecGroup = 16,
        ReadOther = 4,
        WriteOther = 2,
        ExecOther = 1,
    };
    Q_ENUM(InfoFlags)

    // The Modified column's text for wide times of the current locale (a
    // two-digit day, month and hour, morning and evening): what a view
    // sizes the column by before, or whatever, its rows show.
    static QStringList sampleMtimeTexts();
    // The Size column's widest texts of the current locale ("1000.0 kB" is
    // what 999,999 bytes round to).
    static QStringList sampleSizeTexts();
    // The font of the size and time columns.
    static QFont numberFont();

    static constexpr int MergeSliceSize = 300;        // entries merged per timer run
    static constexpr qint64 RefetchPauseMs = 4000;    // between two listings a view may start
    static constexpr qint64 DriveListPauseMs = 20000; // between two drive-list requests

    // Path resolution: the time one path may take, the steps while the link
    // is down (or the drives are asked for), while an ancestor is listed and
    // while the drives have not come; and how long the resolution waits for
    // an asked drive list before it asks again.
    static constexpr qint64 ResolveLimitMs = 10000;
    static constexpr int ResolveWaitStepMs = 100;
    static constexpr int ResolveFetchStepMs = 20;
    static constexpr int ResolveDrivesStepMs = 50;
    static constexpr qint64 ResolveDriveListRetryMs = 30000;

    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    explicit VfsModel(QObject* parent = nullptr);
    ~VfsModel() override;

    // Binds the model to its peer: follows the peer's link state and drive
    // model and starts the tree with the shares root. Call it on the thread
    // that made the model, before the model moves to the main thread.
    void setPeer(IPeer* peer);
    IPeer* peer() const;
    // Follows the updates and change notices of the peer's client, which
    // also takes the model's requests. Any thread.
    void connectClient(VfsClient* client);
    // Replaces the monotonic clock the fetch pauses and path resolution are
    // measured on.
    void setClock(Clock clock);
    // Replaces the clock (ms since the epoch) the age of a file is measured on.
    void setWallClock(Clock clock);
    // How many preview loads may run at once on the global thread pool; by
    // default half the pool's threads (at least one): the decoding keeps
    // the cores busy, and the file-system server's listings, which run on
    // the same pool, still find threads. At least 1.
    void setPreviewLoadLimit(int limit);
    int previewLoadLimit() const;
    // Preview loads running now.
    int previewLoadsRunning() const;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // A new name asks for a rename (renameRequest) and changes nothing here;
    // FlagsRole sets the entry's EntryFlags.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE bool canFetchMore(const QModelIndex& parent) const override;
    Q_INVOKABLE void fetchMore(const QModelIndex& parent) override;

    Q_INVOKABLE void expanded(const QModelIndex& index);
    Q_INVOKABLE void collapsed(const QModelIndex& index);

    // Column 0 of the entry of a path of the peer (either separator); invalid
    // when the entry is not in the tree.
    Q_INVOKABLE QModelIndex indexForPath(const QString& path) const;
    // The peer's path of an entry, with the peer's separator.
    Q_INVOKABLE QString pathForIndex(const QModelIndex& index) const;
    // The peer's path separator; '/' while it is not known.
    QChar pathSeparator() const;

    // The paths of many rows, as PathRole gives them, with the path of each
    // parent directory worked out once rather than again for every row:
    // what a walk over a large selection uses. It remembers the last parent
    // it saw, so it serves one walk on the model's thread during which the
    // model does not change, and goes with it.
    class PathWalk
    {
    public:
        explicit PathWalk(const VfsModel* model) : m_model(model) {}
        QString pathOf(const QModelIndex& index);

    private:
        const VfsModel* m_model;
        const void* m_parent = nullptr;
        QString m_parentPath;
    };
    // True while a listing of the entry runs or waits to be merged.
    Q_INVOKABLE bool isBusy(const QModelIndex& index) const;

    // A pane starts or stops showing the directory of a path.
    void retainEntry(const QString& path);
    void releaseEntry(const QString& path);
    // How many panes show the directory of a path (0 when it is not loaded).
    int useCount(const QString& path) const;

    // Path resolution: the path's ancestors are listed one after the other,
    // from the deepest one in the tree, until the path's own entry exists;
    // pathResolved tells the outcome. One path at a time; resolvePath
    // displaces the running one (it goes back to the front of its queue),
    // requestResolvePath queues behind it. Both return the path with the
    // peer's separator.
    Q_INVOKABLE QString resolvePath(const QString& path, bool priority = false);
    Q_INVOKABLE QString requestResolvePath(const QString& path);

    // Follows a file by its number on the server's drive: the next listing
    // that holds the file reports where it is now (foundWatchItem), even
    // after a move on the same drive.
    Q_INVOKABLE void startWatching(const QString& path, quint64 fileId);
    Q_INVOKABLE void stopWatching(const QString& path, quint64 fileId);

signals:
    // The preview of a previewable file is not cached (any more): a view
    // wants it, or a listing changed the file's modification time while its
    // directory is shown.
    void noPreviewCached(const QModelIndex& index);
    // A view renamed an entry; the pane carries it out.
    void renameRequest(const QModelIndex& index, const QString& name);
    // 0: the path's entry exists and may be listed; 1: it cannot be reached.
    void pathResolved(int status, const QString& path);
    // A watched file is in a listing: its current path, its number on the
    // server and the path it was registered with.
    void foundWatchItem(const QString& path, quint64 fileId, const QString& watchPath);

public slots:
    void requestPreview(const QModelIndex& index);
    void resolveNextPath();
    void onResolvePathTimerFired();
    void onPreviewTimerFired();
    void processIconQueue();

    void onListDirectoryUpdate(VfsListDirectoryJob* job);
    void onListDrivesJobUpdate(VfsListDrivesJob* job);
    void onDirectoryChanged(const QString& path);
    void onUpdatedDrives();
    void onCheckTimerFired();
    void onPeerLinkStateChanged();

private:
    friend class VfsModelPrivate;
    std::unique_ptr<VfsModelPrivate> d;
};

Q_DECLARE_METATYPE(VfsModel*)
