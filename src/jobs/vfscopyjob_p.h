#pragma once

// The private part of VfsCopyJob, shared by its source files:
// vfscopyjob.cpp (the public class, the requests and their replies),
// vfscopywalk.cpp (the tree walk, names, questions and restarts),
// vfscopytransfer.cpp (the block transfer of one file and the progress) and
// vfscopysettle.cpp (a copied file's check against its source, its times and
// final name, failure reasons).

#include "jobs/vfscopyjob.h"

#include "core/logger.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfsdeletefilejob.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QString>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

class IPeer;

namespace VfsCopyJobParts {

using C = VfsMirkCommand;

// The job's own states; state() maps them to VfsJobState.
enum JobState : quint32 {
    StartUp = 0,          // check the peers, reset, begin a pass
    NextItem = 1,         // the tree walk
    OpenSource = 2,
    OpenDestination = 3,  // and the question whether to replace
    CloseSource = 4,
    CloseDestination = 5,
    Transfer = 6,         // compare digests, move the differing blocks, verify
    MakeDirectory = 7,
    ListDirectory = 8,
    DirectoryTimes = 9,
    Failed = 10,
    Finished = 11,
    WaitRestart = 12,
    LookUpNames = 13,     // share names and names for copies in the same directory
    Baseline = 14,        // the source's size, times and inode just before it is opened
    CheckSource = 15,     // copied files compared with their source again
    FileTimes = 16,       // a verified file gets the source's times
    Rename = 17,          // a verified temporary file takes its final name
};

enum Side { SourceSide = 0, DestinationSide = 1 };

enum HashState : quint32 {
    HashAsking = 0, // digest batches are asked for, both sides at once
    HashDone = 6,   // every block of the source compared
    HashFailed = 7,
};

// One digest batch asked of both sides: the records of its slot and where
// the batch starts.
struct DigestRequest
{
    int slot;
    quint64 offset;
};

// The steps after every block is in place and verified.
enum FinalStep {
    FinalDecide = 0,
    FinalCutOpen = 1,  // a second destination handle that cuts the file to size
    FinalCutClose = 2,
    FinalTail = 3,     // the digest of the destination's end
    FinalDone = 4,
};

enum Change : quint32 {
    ChangedCopied = 0x1,
    ChangedSpeed = 0x4,
};

constexpr int MaxPathBytes = C::PathSize - 1;
constexpr int DigestBytes = C::DigestBytes;
constexpr int DeleteAfterAbort = 200;   // ms
constexpr int DeleteAfterFinish = 500;  // ms

struct PendingItem
{
    VfsCopyItem item;
    int node = -1; // the directory it lies in, -1 for the request's own items
    quint64 inode = 0;  // from the listing; 0 when unknown
    bool fresh = false; // size, times and inode come from a listing of this pass
};

// A file whose blocks are all verified and whose handles are closed, waiting
// for the check against its source, its times and its final name.
struct SettlingFile
{
    PendingItem item;
    QString writePath; // the file written: the final path or the temporary one
    QString finalPath;
    quint64 counted = 0; // bytes it added to bytesCopied
};

// A verified file whose two handles are being closed while the walk goes on
// with the next file; it waits to be settled once both closes are back.
struct ClosingFile
{
    SettlingFile file;
    VfsCloseFileJob* close[2] = {nullptr, nullptr}; // by side
    bool back[2] = {false, false};
};

// A directory whose children still have to be handled.
struct Batch
{
    QString sourcePath;
    QString destinationPath; // before renaming
    QString renameFrom;
    QString renameTo;
    VfsCopyItem directory;   // its destination path (renamed) and times; copy pass only
    int node = -1;
    std::vector<PendingItem> items;
};

// A directory of the copy pass: done once its own times are set and each of
// its children is done.
struct DirectoryNode
{
    VfsCopyItem item;
    int parent = -1;
    int open = 1;
    bool incomplete = false;
};

struct Chunk
{
    quint64 offset;
    quint32 size;
};

// A block that differs on the destination, from queued to verified.
struct Block
{
    quint64 offset = 0;
    quint8 digest[DigestBytes]; // the source's
    quint32 read = 0;           // bytes read so far
    int ranges = 0;             // ranges to read that are not yet read whole
    int writes = 0;             // pieces read and not yet written
    bool readDone = false;
    bool last = false;          // the source's last block: checked with the end of the file
    bool ready() const { return readDone && writes == 0; }
};

// The requests of one small file copied beside others: the file is one
// block at most, read whole, written whole and checked by the destination's
// digest of what was written.
struct LaneRecords
{
    VfsOpenFileJob open[2]; // by side
    VfsHashFileJob digest;  // the source's
    VfsReadFileJob read;
    VfsWriteFileJob write;
    VfsHashFileJob verify;  // the destination's, once written
};

enum LaneStep {
    LaneOpening = 0,  // both sides opened at once
    LaneReading = 1,  // the source's digest and its data asked together
    LaneWriting = 2,
    LaneVerifying = 3,
    LaneVerified = 4, // waits for the files before it, then is closed aside
};

struct Lane
{
    PendingItem item;
    QString writePath; // the temporary file the destination's open makes
    QString finalPath;
    LaneRecords* records = nullptr;
    int step = LaneOpening;
    quint16 handle[2] = {0, 0};
    int digestCount = 0; // 0 for an empty source
    quint8 digest[DigestBytes];
    quint64 counted = 0;
};

struct QueuedWrite
{
    quint64 offset;
    QByteArray data;
};

// Every request record of a job. The clients hold pointers into it while
// requests are out, so it is shared: a job destroyed before its requests
// came back leaves it to the client.
struct Records
{
    VfsOpenFileJob open;
    VfsOpenFileJob openAhead; // a destination opened beside its source
    VfsCloseFileJob close;
    VfsListDirectoryJob list;
    VfsMakeDirectoryJob makeDirectory;
    VfsMoveJob move;       // a verified temporary file to its final name
    VfsHashFileJob sourceDigests[VfsCopyJob::DigestSlots];      // digest batches
    VfsHashFileJob destinationDigests[VfsCopyJob::DigestSlots]; // the same batches
    VfsHashFileJob verify; // written blocks and the end of the destination
    VfsHashFileJob sourcePieces[VfsCopyJob::PieceSlots];      // a differing block in pieces
    VfsHashFileJob destinationPieces[VfsCopyJob::PieceSlots]; // the same pieces
    VfsReadFileJob reads[VfsCopyJob::TransferSlots];
    VfsWriteFileJob writes[VfsCopyJob::TransferSlots];
    std::vector<std::unique_ptr<VfsCloseFileJob>> cleanups; // handles left behind
    // The checked files of a directory get their times and names side by
    // side: one record per file of the group, made as needed and kept.
    std::vector<std::unique_ptr<VfsOpenFileJob>> settleTimes;
    std::vector<std::unique_ptr<VfsMoveJob>> settleMoves;
    std::vector<std::unique_ptr<VfsCloseFileJob>> closes; // of verified files
    std::vector<std::unique_ptr<VfsDeleteFileJob>> deletes; // destinations opened in vain
    std::vector<std::unique_ptr<LaneRecords>> lanes; // made as needed and kept
};

// Paths of both peers use '/'.
inline QString nameOf(const QString& path, bool* ok)
{
    const int separator = path.lastIndexOf(QLatin1Char('/'));
    *ok = separator >= 0;
    return separator >= 0 ? path.mid(separator + 1) : QString();
}

inline QString parentOf(const QString& path)
{
    const int separator = path.lastIndexOf(QLatin1Char('/'));
    if (separator < 0)
        return QString();
    return separator == 0 ? QStringLiteral("/") : path.left(separator);
}

inline QString joinPath(const QString& directory, const QString& name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

// An open that came back with a handle.
inline bool opened(const VfsOpenFileJob& open)
{
    return open.jobStatus == VfsClientJob::JobFinished && open.status == FSO_STATUS_OK
        && open.handle;
}

// A request that came back answered and done.
template <class Job>
bool succeeded(const Job& job)
{
    return job.jobStatus == VfsClientJob::JobFinished && job.status == FSO_STATUS_OK;
}

} // namespace VfsCopyJobParts

using namespace VfsCopyJobParts;

class VfsCopyJobPrivate
{
public:
    explicit VfsCopyJobPrivate(VfsCopyJob* job) : q(job) {}

    VfsCopyJob* const q;

    VfsCopyDto request;
    QPointer<IPeer> sourcePeer;
    QPointer<IPeer> destinationPeer;
    QPointer<VfsClient> clients[2];
    const QObject* clientKeys[2] = {nullptr, nullptr}; // compared only
    QList<QPointer<VfsClient>> watchedClients;
    bool samePeer = false;

    // Read from other threads.
    mutable QMutex mutex;
    QString userActionPrompt;
    QString currentFile;
    std::vector<VfsCopyItem> verified;
    std::atomic<quint32> jobState{StartUp};
    std::atomic<int> retryCount{0};
    std::atomic<bool> question{false};
    std::atomic<bool> countingPass{true};
    std::atomic<bool> abortRequested{false};
    std::atomic<quint64> bytesCopied{0};
    std::atomic<quint64> bytesTotal{0};
    std::atomic<int> totalFileCount{0};
    std::atomic<qint64> remainingSeconds{0};
    std::vector<VfsCopyFailedItem> failedItems;
    int failureReason = VfsCopyJob::FailureNone;
    QString failureText;
    QString failurePeer;
    QString failurePath;
    QDateTime nextRetryAt;
    std::atomic<quint64> bytesPerSecond{0};

    // The walk.
    std::vector<Batch> batches;
    std::vector<PendingItem> pending;
    PendingItem current;         // the file being copied
    VfsCopyItem pendingDirectory; // times to set once pending is empty
    int pendingDirectoryNode = -1;
    QString targetDirectory;
    quint64 fileSize = 0;
    std::vector<DirectoryNode> nodes;
    bool abortEmitted = false;
    bool finishEmitted = false;
    bool waitingForRecords = false;
    bool replaceCurrent = false;
    bool replaceAllActive = false;
    QSet<QString> replaceList;     // destinations the user allowed to replace
    QSet<QString> ownDestinations; // destinations this job opened itself
    QSet<QString> skipList;        // destinations the user chose to keep
    bool namesResolved = false;
    int lookUpStep = 0;
    QHash<QString, QString> renames;    // source path -> destination of a copy beside it
    QHash<QString, QString> shareNames; // share uuid -> share name
    quint16 sourceHandle = 0;
    quint16 destinationHandle = 0;

    // Where the current file goes, and the files that wait to be settled.
    QString writePath;   // the temporary file, or the final path of a file that existed
    QString finalPath;
    bool listingDestination = false;
    QString namesDirectory;        // the destination directory whose names are known
    QSet<QString> names;           // its entries
    QSet<QString> freshDirectories; // made by this pass: empty when made
    std::vector<SettlingFile> settling;
    // While a group is checked, given its times and renamed, the small files
    // after it are copied meanwhile: those closed by then wait here for the
    // group after.
    std::vector<SettlingFile> settlingNext;
    QString settleDirectory; // the source directory of the group being settled
    std::vector<ClosingFile> closing; // same directory as settling
    bool waitingForCloses = false;    // the walk waits until closing is empty
    std::deque<Lane> lanes;           // small files in flight, in the walk's order
    bool waitingForLanes = false;     // the walk waits until a lane is free
    bool aheadSent = false;           // the destination's open went with the source's
    bool aheadMadeFile = false;       // and it makes a new temporary file
    bool aheadDropped = false;        // its source failed to open while it was out
    QString questionPath;             // the destination the open question is about
    size_t settleIndex = 0; // the next file of the group whose request goes out
    QHash<QString, int> changedTries; // source path -> copies in a row that saw it change
    bool sourceMoved = false;  // the source changed under the transfer of the current file
    quint64 fileCounted = 0;   // bytes the current file added to bytesCopied
    bool failureNoted = false; // this try's failure has its reason
    bool peersWatched = false;
    // Per side: how often the peer's link has left LinkUp (counted as it
    // happens, on the thread that sets the state), and the count when this
    // try started. A link that dropped and came back before the failed
    // requests reached the job still tells the failure's reason, and lets
    // the job start over without its delay.
    std::atomic<quint32> linkDrops[2] = {{0}, {0}};
    quint32 linkDropsAtStart[2] = {0, 0};

    // The block transfer of one file.
    quint32 hashState = HashAsking;
    quint64 hashOffset = 0;               // where the next digest batch starts
    std::deque<DigestRequest> digestsOut; // batches asked for, in file order
    std::deque<quint64> piecesWanted;     // differing blocks to compare in pieces
    std::vector<DigestRequest> piecesOut; // blocks whose pieces are asked for
    int piecesInVain = 0;  // blocks in a row whose pieces saved little
    int piecesSkipped = 0; // differing blocks still to move whole without asking
    std::deque<Chunk> chunks;
    std::deque<Block> blocks;
    std::deque<QueuedWrite> writeQueue;
    bool readFailed = false;
    bool writeFailed = false;
    bool verifyFailed = false;
    int verifyRun = 0;
    bool lastBlockCopied = false;
    bool destinationHadLast = false;
    bool destinationLonger = false;
    bool haveLastDigest = false;
    quint64 lastOffset = 0;
    quint8 lastDigest[DigestBytes];
    quint64 endOffset = 0;  // the number of source blocks times the block size
    quint64 sourceEnd = 0;  // where the last block's data ended
    int finalStep = FinalDecide;
    quint16 cutHandle = 0;
    bool fileVerified = false;

    // Progress.
    quint32 changes = 0;
    VfsCopyJob::Clock clock;
    QElapsedTimer ownClock;
    qint64 windowStart = -1;
    quint64 windowBytes = 0;
    qint64 lastCopiedSignal = 0;
    int restartDelay = VfsCopyJob::DefaultRestartDelay;
    VfsCopyJob::InFlight limits;

    std::shared_ptr<Records> records = std::make_shared<Records>();
    QHash<const VfsClientJob*, int> out;  // at a client, by side
    QSet<const VfsClientJob*> back;       // handed back, not yet looked at

    qint64 now() const { return clock ? clock() : ownClock.elapsed(); }
    void schedule(int action, int line, int ms = 0) { q->startTimer(ms, action, line); }

    void setJobState(quint32 state, int line);
    void abortJob(const char* reason, int line);
    void failFinally(const QString& prompt, const char* reason, int line);
    void setPrompt(const QString& text);
    void setCurrentFile(const QString& text);

    template <class Job>
    bool send(int side, Job* job, void (VfsClient::*operation)(Job*), int line);
    // Sends the open record: flags, path, and the times (from an item) and
    // the size the open sets.
    bool sendOpen(int side, quint32 flags, const QString& path, const VfsCopyItem& times,
                  quint64 size, int line, VfsOpenFileJob* record = nullptr);
    // Sends the list record for a listing of path, without a watch.
    bool sendList(int side, const QString& path, int line);
    bool returned(const VfsClientJob* job, int* side);
    bool take(const VfsClientJob* job) { return back.remove(job); }
    bool isOut(const VfsClientJob* job) const { return out.contains(job); }
    void recordsSettled();
    bool inState(std::initializer_list<quint32> states) const
    {
        return std::find(states.begin(), states.end(), jobState.load()) != states.end();
    }
    // The transfer waits for the cut of the destination at this step.
    bool finalStepWaits(int step) const { return jobState == Transfer && finalStep == step; }
    // How a reply reaches the step that waits for it: on the next pass of
    // the event loop, or at once (the reads and writes of the transfer,
    // many of which are out at a time).
    enum Delivery { Scheduled, AtOnce };
    // A record came back from a client. If it is one of the job's and the
    // current step waits for it (stepWaits, and no abort), the step gets
    // ActionUpdate. Otherwise the record is let go: letGo(side) frees what
    // it still holds, and the job looks whether every record is back.
    void replied(const VfsClientJob* job, bool stepWaits, Delivery delivery,
                 const std::function<void(int side)>& letGo = nullptr);
    void closeLeftHandle(int side, quint16 handle);
    void windDown();
    void watchPeers();
    void onLinkStateChanged();
    // Whether the side's link left LinkUp since this try started.
    bool linkDroppedSinceStart(int side) const;
    void clientGone(const QObject* client);
    void watchClient(VfsClient* client);

    // True on the job's thread; elsewhere answer is posted to it.
    bool onJobThread(void (VfsCopyJob::*answer)());
    // The question whether to replace a destination waits for an answer.
    bool questionOpen() const;
    void closeQuestion();
    void replaceAnswered();

    void addCopied(quint64 bytes);
    void countCopied(quint64 bytes);
    void report();
    void flushProgress();
    void updateSpeed(quint64 bytes);

    void addVerified(const VfsCopyItem& item);
    void settle(int node, bool complete);
    std::vector<PendingItem> requestItems() const;

    bool lookUpPeers();
    bool checkRequest(QString* prompt, const char** reason) const;
    QString shareName(const QString& name) const;
    bool pathFits(const QString& path, int line);

    void startUp(int action);
    void lookUpNames(int action);
    void nextItem(int action);
    void openSource(int action);
    void openDestination(int action);
    void destinationOpened(const VfsOpenFileJob& open);
    bool sendDestinationOpen(VfsOpenFileJob* record, bool ahead);
    // Lets go of a destination opened beside a source that failed to open.
    void dropAhead();
    void aheadReturned(const VfsOpenFileJob* job);
    void deleteMadeFile(const QString& path);
    void closeFile(int action, int side);
    void makeDirectory(int action);
    void listDirectory(int action);
    void directoryTimes(int action);
    void failed(int action);
    void finished(int action);
    void waitRestart(int action);
    void aborting(int action);

    bool sourceListing(QString* path, QHash<QString, VfsDirectoryEntry>* entries);
    void baseline(int action);
    void checkSource(int action);
    void fileTimes(int action);
    void rename(int action);
    void settleNext();
    bool settleNeedsTimes(const SettlingFile& file) const;
    // Sends the next requests of the group's step, up to SettleSlots out.
    void sendSettleRequests();
    // True once every request of the group's step is back.
    bool settleRequestsBack();
    void finishSettling();
    // A verified file's handles are closed on both sides at once, and the
    // walk goes on meanwhile; the file settles once both closes are back.
    void closeInBackground();
    void closeReturned(const VfsCloseFileJob* job);
    VfsCloseFileJob* freeCloseRecord(const VfsCloseFileJob* taken);
    void closeAside(const SettlingFile& settled, quint16 sourceHandle, quint16 destinationHandle);

    // Small new files copied side by side (vfscopylanes.cpp). A file takes a
    // lane when it is a new file of at most one block whose directory's
    // names are known; where it is written then.
    bool laneFits(const PendingItem& item, QString* writePath, QString* finalPath);
    // From the walk: true when the walk is done with the item for now (it
    // took a lane, or waits for one, or waits for the lanes before a file
    // that cannot take one).
    bool walkLanes();
    // Takes a lane for the last pending item, which fits one.
    void startLane(const QString& writeTo, const QString& finalTo);
    // While a group settles: small files of the same directory take free
    // lanes for the next group.
    void walkAhead();
    // A group is being checked against its source, given its times or renamed.
    bool settlingGroup() const { return inState({CheckSource, FileTimes, Rename}); }
    bool laneReplied(const VfsClientJob* job);
    void laneAdvance(Lane* lane);
    void laneFailed(Lane* lane, int side, const VfsClientJob& job, const char* reason, int line);
    void laneChanged(Lane* lane);
    void removeLane(Lane* lane);
    void closeVerifiedLanes();
    void wakeWalk();
    // Lets go of the lanes of a failed try: their handles are closed.
    void dropLanes();
    LaneRecords* freeLaneRecords();
    // The current file goes back to the walk: copied again (fresh: its
    // baseline is known) or, after too many changes, given up.
    void copyAgain(PendingItem item, quint64 counted, bool changed);
    void giveUp(const PendingItem& item, const QString& reason);
    void adjustTotal(quint64 from, quint64 to);
    // Records why this try failed: the side, the path and what the request
    // answered, then fails the step.
    void failRequest(int side, const QString& path, const VfsClientJob& job, const char* reason,
                     int line);
    // Records only; the transfer fails its step once its pumps are done.
    void noteRequest(int side, const QString& path, const VfsClientJob& job);
    void noteFailure(int reason, int side, const QString& path);
    void clearFailure();
    QString peerName(int side) const;

    void transfer(int action);
    bool drainTransfers();
    void resetTransfer();
    void pumpDigests();
    void compareDigests(const VfsHashFileJob& source, const VfsHashFileJob& destination,
                        quint64 offset);
    void pumpPieces();
    void comparePieces(const VfsHashFileJob& source, const VfsHashFileJob& destination,
                       quint64 offset);
    void queueBlock(Block* block);
    void notePieces(quint64 moved);
    void pumpVerify();
    void pumpReads();
    void pumpWrites();
    bool finishFile();
    void sendTail();
    Block* blockAt(quint64 offset);
    bool transfersIdle() const;
};

template <class Job>
bool VfsCopyJobPrivate::send(int side, Job* job, void (VfsClient::*operation)(Job*), int line)
{
    VfsClient* client = clients[side].data();
    if (!client) {
        abortJob("the peer's file-system client is gone", line);
        return false;
    }
    back.remove(job);
    out.insert(job, side);
    (client->*operation)(job);
    return true;
}
