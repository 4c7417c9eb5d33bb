#pragma once

#include <QAbstractItemModel>
#include <QChar>
#include <QString>

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
    };
    Q_ENUM(Roles)

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

    static constexpr int MergeSliceSize = 300;        // entries merged per timer run
    static constexpr qint64 RefetchPauseMs = 4000;    // between two listings a view may start
    static constexpr qint64 DriveListPauseMs = 20000; // between two drive-list requests

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
    // Replaces the monotonic clock the fetch pauses are measured on.
    void setClock(Clock clock);

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
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
    // True while a listing of the entry runs or waits to be merged.
    Q_INVOKABLE bool isBusy(const QModelIndex& index) const;

    // A pane starts or stops showing the directory of a path.
    void retainEntry(const QString& path);
    void releaseEntry(const QString& path);

signals:
    // A listing changed the modification time of a previewable file in a
    // directory that is shown: its preview is outdated.
    void noPreviewCached(const QModelIndex& index);

public slots:
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
