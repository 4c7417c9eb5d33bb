#pragma once

#include "jobs/vfscopydto.h"
#include "jobs/vfscopyentry.h"
#include "jobs/vfsjob.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class IPeer;
class VfsCopyJobPrivate;
struct VfsCloseFileJob;
struct VfsDeleteFileJob;
struct VfsHashFileJob;
struct VfsListDirectoryJob;
struct VfsMakeDirectoryJob;
struct VfsMoveJob;
struct VfsOpenFileJob;
struct VfsReadFileJob;
struct VfsWriteFileJob;

// A file the job gave up on, and why (a user-visible text).
struct VfsCopyFailedItem
{
    QString path;   // on the source peer
    QString reason;
};

// Copies files and directory trees from a source peer into a directory of a
// destination peer (both may be the same machine). It first walks the whole
// tree to count files and bytes, then walks it again and copies: directories
// are made and listed, every file is opened on both sides, and only the
// 64400-byte blocks whose SHA-1 digests differ are read and written. Every
// written block is hashed again on the destination, the destination gets the
// source's size, and a file counts as copied only when all of its blocks are
// confirmed in place. Directory times are set once their children are done.
//
// A file that did not exist at the destination is written under a hidden
// temporary name beside it (partName()) and takes its final name and the
// source's times only once verified; an existing file is updated in place and
// gets the source's times only once verified. Before a file counts as copied,
// the source's size, modification time and inode are compared with those from
// before it was opened; a file that changed is copied again, and one that
// keeps changing ends as a failed item.
//
// Any failure other than a refusal makes the job wait (15 s) and start over;
// blocks already in place are then only compared, not moved again (a
// temporary file is resumed). The last failure (which peer, which path, what)
// is part of the job's state; when a peer's link comes back while the job
// waits, it starts over at once. Refusals,
// unusable names, a folder copied into itself and paths too long for the
// protocol end the job with a prompt that says why.
//
// The job lives on the thread of the peers' file-system clients. Properties
// may be read from any thread; the user's answers (abort, skip, replace) may
// be called from any thread and are carried out on the job's own.
class VfsCopyJob : public VfsJob
{
    Q_OBJECT
    Q_PROPERTY(QString bytesCopied READ bytesCopied NOTIFY bytesCopiedChanged)
    Q_PROPERTY(QString bytesTotal READ bytesTotal NOTIFY bytesTotalChanged)
    Q_PROPERTY(double percentDone READ percentDone NOTIFY percentDoneChanged)
    Q_PROPERTY(int totalFileCount READ totalFileCount NOTIFY totalFileCountChanged)
    Q_PROPERTY(QString writeSpeed READ writeSpeed NOTIFY writeSpeedChanged)
    Q_PROPERTY(QString remainingTime READ remainingTime NOTIFY remainingTimeChanged)
    Q_PROPERTY(QString userActionPrompt READ userActionPrompt NOTIFY userActionPromptChanged)
    Q_PROPERTY(QString currentFile READ currentFile NOTIFY currentFileChanged)
    Q_PROPERTY(QString lastFailure READ lastFailure NOTIFY lastFailureChanged)
    Q_PROPERTY(int lastFailureReason READ lastFailureReason NOTIFY lastFailureChanged)
    Q_PROPERTY(QString lastFailurePeer READ lastFailurePeer NOTIFY lastFailureChanged)
    Q_PROPERTY(QString lastFailurePath READ lastFailurePath NOTIFY lastFailureChanged)
    Q_PROPERTY(int retryCount READ retryCount NOTIFY retryCountChanged)
    Q_PROPERTY(QDateTime nextRetryAt READ nextRetryAt NOTIFY nextRetryAtChanged)

public:
    // What stopped the last try.
    enum FailureReason {
        FailureNone = 0,
        FailureNoSpace,
        FailureNotPermitted,
        FailureNotFound,
        FailurePeerUnreachable,
        FailureTimedOut,
        FailureChangedWhileCopied,
        FailureOther,
    };
    Q_ENUM(FailureReason)

    // Milliseconds on a monotonic clock.
    using Clock = std::function<qint64()>;

    static constexpr quint32 BlockSize = 64400;
    static constexpr int DigestBatch = 64;      // digests asked for at a time
    static constexpr int DigestSlots = 24;      // digest batches in flight, each side
    // A block that differs is compared again in pieces, and only the
    // differing pieces are read and written.
    static constexpr quint32 PieceSize = 4025;
    static constexpr int PiecesPerBlock = int(BlockSize / PieceSize);
    static constexpr int PieceSlots = 8;        // blocks compared in pieces at a time, each side
    // After this many blocks in a row whose pieces mostly differed, as many
    // blocks as PiecesRest move whole before pieces are tried again.
    static constexpr int PiecesInVain = 8;
    static constexpr int PiecesRest = 64;
    static constexpr int SettleGroup = 1024;    // copied files checked against one source listing
    static constexpr int SettleSlots = 64;      // times and renames of checked files in flight
    static constexpr int MaxQueuedBlocks = 48;  // blocks waiting to be read before more digests
    static constexpr int TransferSlots = 32;    // reads and writes in flight, each
    static constexpr int FileSlots = 64;        // small new files copied side by side
    static constexpr int DefaultRestartDelay = 15000; // ms
    static constexpr int ProgressInterval = 1000;     // ms between progress signals
    static constexpr int FinalFailure = 1000000;      // retry count of a job that gave up
    static constexpr int MaxChangedTries = 3; // copies of a file that changed each time

    explicit VfsCopyJob(const VfsCopyDto& request, QObject* parent = nullptr);
    ~VfsCopyJob() override;

    // The request as it came: its first eight fields.
    VfsCopyDto request() const;

    // The two peers; when not set before start(), they are looked up by uuid
    // in the PeerModel.
    void setPeers(IPeer* source, IPeer* destination);

    void setRestartDelay(int milliseconds);
    int restartDelay() const;

    // How many requests of each kind the job keeps out at a time: its own
    // choice, which the serving side never sees. Each is at least 1 and at
    // most its maximum above.
    struct InFlight
    {
        int digestBatches = DigestSlots; // digest batches, asked of both sides at once
        int transfers = TransferSlots;   // reads and writes, each
        int settleRequests = SettleSlots; // times and renames of checked files
        bool closeAside = true;          // verified files closed while the next one is copied
        // New files of at most one block, copied side by side, each still
        // opened, read, written, verified and closed on its own; 1 copies
        // one file after another.
        int files = FileSlots;
        // A block that differs is compared again in pieces, and only the
        // differing pieces move; false moves every differing block whole.
        bool pieces = true;
    };
    // Close to one request after another, as the job began: one digest
    // batch at a time, 12 reads and writes, times and renames one at a time,
    // and each file closed, source then destination, before the next is
    // opened, one file at a time; differing blocks move whole.
    static InFlight oneAtATime();
    void setInFlight(const InFlight& limits);
    InFlight inFlight() const;
    void setClock(Clock clock);

    VfsJobState state() const override;
    int retryCount() const;

    quint64 bytesCopiedCount() const;
    quint64 bytesTotalCount() const;
    QString bytesCopied() const;
    QString bytesTotal() const;
    double percentDone() const;
    int totalFileCount() const;
    QString writeSpeed() const;
    QString remainingTime() const;
    QString currentFile() const;

    // Files and directories of the last copy pass that arrived whole and were
    // verified on the destination, children before their directory; a
    // directory is listed only when everything below it was. Source paths.
    // A move deletes only these.
    std::vector<VfsCopyItem> verifiedItems() const;
    // How many files of the last copy pass are among verifiedItems().
    int verifiedFileCount() const;
    // Files of the last copy pass given up on (a source that kept changing),
    // never among verifiedItems().
    std::vector<VfsCopyFailedItem> failedItems() const;

    // The last failure that made the job start over or give up: a text for
    // the user, the reason, the peer's name and the path. Cleared when the
    // job finishes.
    QString lastFailure() const;
    int lastFailureReason() const;
    QString lastFailurePeer() const;
    QString lastFailurePath() const;
    // When the job starts over next; invalid when it does not wait.
    QDateTime nextRetryAt() const;

    // The hidden name a new file is written under in its destination
    // directory until it is verified.
    static QString partName(const QString& name);

    // The text for an estimate of s seconds left.
    static QString remainingTimeText(qint64 seconds);
    // A free name for a copy of name in the same directory, "a (Copy).txt",
    // "a (2. Copy).txt" and so on; empty when 127 tries were taken.
    static QString duplicateName(const QString& name, bool directory,
                                 const std::function<bool(const QString&)>& taken);

signals:
    void bytesCopiedChanged();
    void bytesTotalChanged();
    void userActionPromptChanged();
    void currentFileChanged();
    void percentDoneChanged();
    void totalFileCountChanged();
    void writeSpeedChanged();
    void remainingTimeChanged();
    void lastFailureChanged();
    void retryCountChanged();
    void nextRetryAtChanged();
    void failedItemsChanged();

public slots:
    void abort() override;
    bool userActionEnabled(VfsJob::UserAction action) const;
    QString userActionPrompt() const;
    // Answers to the question whether an existing file is to be replaced.
    void skipCurrentItem();
    void replaceCurrentItem();
    void replaceAllItems();

    void process(int action) override;

    void onOpenFileJobUpdate(VfsOpenFileJob* job);
    void onCloseFileJobUpdate(VfsCloseFileJob* job);
    void onHashFileJobUpdate(VfsHashFileJob* job);
    void onReadFileJobUpdate(VfsReadFileJob* job);
    void onWriteFileJobUpdate(VfsWriteFileJob* job);
    void onListDirectoryJobUpdate(VfsListDirectoryJob* job);
    void onMakeDirectoryJobUpdate(VfsMakeDirectoryJob* job);
    void onMoveJobUpdate(VfsMoveJob* job);
    void onDeleteFileJobUpdate(VfsDeleteFileJob* job);

private:
    friend class VfsCopyJobPrivate;
    std::unique_ptr<VfsCopyJobPrivate> d;
};
