#pragma once

#include "core/peeracldto.h"
#include "vfs/protocol/drivecache.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class VfsAccessTest;
class VfsServerVelmPrivate;
struct FileJob;
class VfsTrash;
struct VfsMirkCommand;

// Serves the file-system requests of one peer against the local disk and
// answers each with a reply frame (fsoTransmit). The server of the own
// machine (access mode 1) reaches every local path; the server of any other
// peer (access mode 0) only what lies inside the shares granted to it: every
// path of every request passes VfsPathGuard, and anything outside, or lacking
// the right, is answered with status 4 before it is touched.
//
// The server lives on the io thread; listing pages, file reads, writes and
// block hashes run on the global thread pool and come back as replies on the
// server's thread. It also forwards changes of watched directories the peer
// may see as DIRECTORY_CHANGED notices, and closes files that stay idle.
class VfsServerVelm : public QObject
{
    Q_OBJECT
public:
    enum AccessMode { Restricted = 0, Unrestricted = 1 };

    // Delays; tests shorten them.
    struct Timings
    {
        int jobTick = 10;                // period of the listing-job timer, ms
        int listingCountdown = 1500;     // ticks a listing waits for its next page request
        int idleCheckInterval = 300000;  // ms between two idle-file checks
        qint64 idleTimeout = 300000;     // ms without use after which a file is closed
        // Pages, reads, writes and hashes run at once on the server's thread
        // instead of the thread pool (fuzzing); their replies still come in a
        // later pass of the event loop.
        bool workInline = false;
    };

    using DriveSource = std::function<std::vector<DriveCache>()>;

    static constexpr int MaxListedDrives = 32;

    explicit VfsServerVelm(int accessMode, QObject* parent = nullptr);
    ~VfsServerVelm() override;

    int accessMode() const;

    void setShares(const std::vector<PeerAclDto>& shares);
    std::vector<PeerAclDto> shares() const;
    void setPeerVersion(quint16 version);
    quint16 peerVersion() const;

    // Replaceable parts, for tests. The defaults: the given timings, the
    // operating system's access test, the desktop trash, and the drives of the
    // process-wide VfsWatcher.
    void setTimings(const Timings& timings);
    void setAccessTest(const VfsAccessTest& test);
    void setTrash(std::unique_ptr<VfsTrash> trash);
    void setDriveSource(DriveSource source);

    // Asked before the server writes to the disk for the peer; an errno it
    // answers (ENOSPC, say) fails that write as the system would have, 0 lets
    // it go. Tests use it for a full disk without filling one; by default
    // nothing is asked.
    enum WriteOperation {
        WriteBlock,    // WRITE_FILE data, growing a file included
        OpenForWrite,  // OPEN_FILE with the write bit
        MakeDirectory, // MAKE_DIRECTORY
        MoveInto,      // MOVE, asked with the destination
    };
    using WriteFault = std::function<int(WriteOperation operation, const QByteArray& nativePath)>;
    void setWriteFault(WriteFault fault);

    // Whether the link to the peer holds so much unsent that more replies
    // would only pile up; asked before every request. While it says yes the
    // server produces no replies: requests are dropped unanswered (the
    // client's time-out ends them), except CLOSE_FILE, which frees a handle.
    using BacklogCheck = std::function<bool()>;
    void setBacklogCheck(BacklogCheck backedUp);
    // Requests dropped that way, since construction.
    quint64 droppedWhileBackedUp() const;

    int openFileCount() const;
    int listingJobCount() const;
    // True while a worker runs on the pool or a reply is still to come from one.
    bool hasRunningWork() const;

signals:
    void processedCommand(VfsMirkCommand* cmd);
    void fsoTransmit(const QByteArray& frame);
    void notifyDirectoryChanged(const QString& path);

public slots:
    // Entry point for every decoded request. The record may be reused as
    // soon as this returns.
    void processIncomingCommand(VfsMirkCommand* cmd);

    void processListDrivesCommand(VfsMirkCommand* cmd);
    void processListDirectoryCommand(VfsMirkCommand* cmd);
    void processQueryListDirectoryCommand(VfsMirkCommand* cmd);
    void processMoveCommand(VfsMirkCommand* cmd);
    void processOpenFileCommand(VfsMirkCommand* cmd);
    void processCloseFileCommand(VfsMirkCommand* cmd);
    void processReadFileCommand(VfsMirkCommand* cmd);
    void processWriteFileCommand(VfsMirkCommand* cmd);
    void processDeleteFileCommand(VfsMirkCommand* cmd);
    void processHashFileCommand(VfsMirkCommand* cmd);
    void processMakeDirectoryCommand(VfsMirkCommand* cmd);

    void jobTimerFired();
    void closeFileTimerFired();
    void queryListDirectoryFutureFinished();
    // Answers the read, write and hash jobs the pool has finished.
    void fileWorkFinished();
    void moveFutureFinished();
    void directoryChanged(const QString& path);

private:
    void send(const QByteArray& frame, const char* failure, unsigned trId);
    // The reply of a finished read, write or hash job, which then goes back
    // to its pool.
    void answer(FileJob* job);
    void openAnswered(FileJob* job);

    std::unique_ptr<VfsServerVelmPrivate> d;
};
