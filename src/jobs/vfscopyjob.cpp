#include "jobs/vfscopyjob.h"

#include "core/logger.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "vfs/client/vfsclient.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsentryname.h"
#include "vfs/protocol/vfsmirkcommand.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>

namespace {

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
};

enum Side { SourceSide = 0, DestinationSide = 1 };

enum HashState : quint32 {
    HashAskSource = 0,
    HashSourceSent = 1,
    HashAskDestination = 3,
    HashDestinationSent = 4,
    HashDone = 6,   // every block of the source compared
    HashFailed = 7,
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
const QString SharesRoot = QStringLiteral("%shares");

struct PendingItem
{
    VfsCopyItem item;
    int node = -1; // the directory it lies in, -1 for the request's own items
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
    int writes = 0;             // pieces read and not yet written
    bool readDone = false;
    bool last = false;          // the source's last block: checked with the end of the file
    bool ready() const { return readDone && writes == 0; }
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
    VfsCloseFileJob close;
    VfsListDirectoryJob list;
    VfsMakeDirectoryJob makeDirectory;
    VfsHashFileJob hash;   // digest batches, both sides
    VfsHashFileJob verify; // written blocks and the end of the destination
    VfsReadFileJob reads[VfsCopyJob::TransferSlots];
    VfsWriteFileJob writes[VfsCopyJob::TransferSlots];
    std::vector<std::unique_ptr<VfsCloseFileJob>> cleanups; // handles left behind
};

QString nameOf(const QString& path, bool* ok)
{
    const int separator = path.lastIndexOf(QLatin1Char('/'));
    *ok = separator >= 0;
    return separator >= 0 ? path.mid(separator + 1) : QString();
}

QString parentOf(const QString& path)
{
    const int separator = path.lastIndexOf(QLatin1Char('/'));
    if (separator < 0)
        return QString();
    return separator == 0 ? QStringLiteral("/") : path.left(separator);
}

QString joinPath(const QString& directory, const QString& name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

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

bool tooLong(const QString& path)
{
    return path.toUtf8().size() > MaxPathBytes;
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

QString dataSize(quint64 bytes, int precision)
{
    return QLocale().formattedDataSize(qint64(std::min<quint64>(bytes, quint64(INT64_MAX))),
                                       precision, QLocale::DataSizeSIFormat);
}

} // namespace

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

    // The block transfer of one file.
    quint32 hashState = HashAskSource;
    quint64 hashOffset = 0;
    quint8 sourceHashStatus = 0;
    quint16 sourceDigestCount = 0;
    quint8 sourceDigests[VfsCopyJob::DigestBatch * DigestBytes];
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
    bool returned(const VfsClientJob* job, int* side);
    bool take(const VfsClientJob* job) { return back.remove(job); }
    bool isOut(const VfsClientJob* job) const { return out.contains(job); }
    void recordsSettled();
    // A returned reply: true when the current step waits for it (the job
    // moves on); otherwise the record is let go and false comes back.
    bool replyAwaited(const VfsClientJob* job, bool stepWaits);
    void closeLeftHandle(int side, quint16 handle);
    void windDown();
    void clientGone(const QObject* client);
    void watchClient(VfsClient* client);

    void addCopied(quint64 bytes);
    void report();
    void flushProgress();
    void updateSpeed(quint64 bytes);

    void addVerified(const VfsCopyItem& item);
    void settle(int node, bool complete);
    std::vector<PendingItem> requestItems() const;

    bool lookUpPeers();
    bool checkRequest(QString* prompt, const char** reason) const;
    QString shareName(const QString& name) const;

    void startUp(int action);
    void lookUpNames(int action);
    void nextItem(int action);
    void openSource(int action);
    void openDestination(int action);
    void closeSource(int action);
    void closeDestination(int action);
    void makeDirectory(int action);
    void listDirectory(int action);
    void directoryTimes(int action);
    void failed(int action);
    void finished(int action);
    void waitRestart(int action);
    void aborting(int action);

    void transfer(int action);
    void resetTransfer();
    void pumpDigests();
    void compareDigests(const VfsHashFileJob& reply);
    void pumpVerify();
    void pumpReads();
    void pumpWrites();
    bool finishFile();
    void sendTail();
    Block* blockAt(quint64 offset);
    bool transfersIdle() const;
};

// --- bookkeeping --------------------------------------------------------------

void VfsCopyJobPrivate::setJobState(quint32 state, int line)
{
    if (state == jobState)
        return;
    Logger::log(Logger::VMG2, "copy job state %u -> %u (line %d)", unsigned(jobState.load()),
                unsigned(state), line);
    q->process(VfsJob::ActionLeave);
    jobState = state;
    q->process(VfsJob::ActionEnter);
    emit q->stateChanged();
}

void VfsCopyJobPrivate::abortJob(const char* reason, int line)
{
    Logger::log(Logger::VMG2, "abort job %s, line: %d", reason, line);
    if (jobState == Failed)
        return;
    windDown();
    flushProgress();
    setJobState(Failed, line);
    schedule(VfsJob::ActionStep, line);
}

// A failure no restart can mend: the job ends and says why.
void VfsCopyJobPrivate::failFinally(const QString& prompt, const char* reason, int line)
{
    setPrompt(prompt);
    retryCount = VfsCopyJob::FinalFailure;
    abortJob(reason, line);
}

void VfsCopyJobPrivate::setPrompt(const QString& text)
{
    {
        QMutexLocker lock(&mutex);
        userActionPrompt = text;
    }
    emit q->userActionPromptChanged();
}

void VfsCopyJobPrivate::setCurrentFile(const QString& text)
{
    {
        QMutexLocker lock(&mutex);
        if (currentFile == text)
            return;
        currentFile = text;
    }
    emit q->currentFileChanged();
}

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

bool VfsCopyJobPrivate::returned(const VfsClientJob* job, int* side)
{
    auto it = out.find(job);
    if (it == out.end())
        return false; // not ours, or given up
    *side = it.value();
    out.erase(it);
    back.insert(job);
    return true;
}

// Called whenever a record came back that no state waits for.
bool VfsCopyJobPrivate::replyAwaited(const VfsClientJob* job, bool stepWaits)
{
    int side = 0;
    if (!returned(job, &side))
        return false;
    if (stepWaits && !abortRequested)
        return true;
    take(job);
    recordsSettled();
    return false;
}

void VfsCopyJobPrivate::recordsSettled()
{
    if (!out.isEmpty())
        return;
    if (abortRequested) {
        schedule(VfsJob::ActionDelete, __LINE__, DeleteAfterAbort);
    } else if (waitingForRecords && (jobState == WaitRestart || jobState == Finished)) {
        waitingForRecords = false;
        if (q->timer())
            q->timer()->stop();
        schedule(jobState == Finished ? VfsJob::ActionDelete : VfsJob::ActionStep, __LINE__);
    }
}

void VfsCopyJobPrivate::closeLeftHandle(int side, quint16 handle)
{
    if (!handle || !clients[side])
        return;
    VfsCloseFileJob* job = nullptr;
    for (const auto& cleanup : records->cleanups) {
        if (!isOut(cleanup.get())) {
            job = cleanup.get();
            break;
        }
    }
    if (!job) {
        records->cleanups.emplace_back(new VfsCloseFileJob());
        job = records->cleanups.back().get();
    }
    Logger::log(Logger::VMG2, "close left handle %u", unsigned(handle));
    job->flags = 0;
    job->handle = handle;
    job->jobStatus = 0;
    back.remove(job);
    out.insert(job, side);
    clients[side]->closeFile(job);
}

// Lets go of what a failed or aborted file still holds: its handles are
// closed and a listing is withdrawn. Other requests come back by themselves,
// answered or timed out.
void VfsCopyJobPrivate::windDown()
{
    closeLeftHandle(SourceSide, sourceHandle);
    sourceHandle = 0;
    closeLeftHandle(DestinationSide, destinationHandle);
    destinationHandle = 0;
    closeLeftHandle(DestinationSide, cutHandle);
    cutHandle = 0;
    VfsListDirectoryJob* list = &records->list;
    if (isOut(list) && list->release) {
        list->release(list);
        out.remove(list);
    }
}

void VfsCopyJobPrivate::clientGone(const QObject* client)
{
    for (auto it = out.begin(); it != out.end();) {
        if (clientKeys[it.value()] == client)
            it = out.erase(it);
        else
            ++it;
    }
    recordsSettled();
}

void VfsCopyJobPrivate::watchClient(VfsClient* client)
{
    const auto type = Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection);
    QObject::connect(client, &VfsClient::openFileUpdate, q, &VfsCopyJob::onOpenFileJobUpdate, type);
    QObject::connect(client, &VfsClient::closeFileUpdate, q, &VfsCopyJob::onCloseFileJobUpdate, type);
    QObject::connect(client, &VfsClient::hashFileUpdate, q, &VfsCopyJob::onHashFileJobUpdate, type);
    QObject::connect(client, &VfsClient::readFileUpdate, q, &VfsCopyJob::onReadFileJobUpdate, type);
    QObject::connect(client, &VfsClient::writeFileUpdate, q, &VfsCopyJob::onWriteFileJobUpdate, type);
    QObject::connect(client, &VfsClient::listDirectoryUpdate, q,
                     &VfsCopyJob::onListDirectoryJobUpdate, type);
    QObject::connect(client, &VfsClient::makeDirectoryUpdate, q,
                     &VfsCopyJob::onMakeDirectoryJobUpdate, type);
    for (const QPointer<VfsClient>& watched : watchedClients) {
        if (watched == client)
            return;
    }
    watchedClients.append(client);
    QObject::connect(client, &QObject::destroyed, q,
                     [this](QObject* gone) { clientGone(gone); });
}

void VfsCopyJobPrivate::addCopied(quint64 bytes)
{
    if (!bytes)
        return;
    bytesCopied.fetch_add(bytes);
    changes |= ChangedCopied;
}

// At most one progress signal a second.
void VfsCopyJobPrivate::report()
{
    if ((changes & ChangedCopied) && now() - lastCopiedSignal >= VfsCopyJob::ProgressInterval) {
        changes &= ~quint32(ChangedCopied);
        lastCopiedSignal = now();
        emit q->bytesCopiedChanged();
        emit q->percentDoneChanged();
    }
    if (changes & ChangedSpeed) {
        changes &= ~quint32(ChangedSpeed);
        emit q->writeSpeedChanged();
        emit q->remainingTimeChanged();
    }
}

// When the job stops moving (a question, a failure, the end), the view gets
// the last figures.
void VfsCopyJobPrivate::flushProgress()
{
    if (changes & ChangedCopied)
        lastCopiedSignal = now() - VfsCopyJob::ProgressInterval;
    report();
}

void VfsCopyJobPrivate::updateSpeed(quint64 bytes)
{
    windowBytes += bytes;
    const qint64 time = now();
    if (windowStart < 0) {
        windowStart = time;
        return;
    }
    const qint64 elapsed = time - windowStart;
    if (elapsed <= VfsCopyJob::ProgressInterval)
        return;
    const quint64 rate = windowBytes * 1000 / quint64(elapsed);
    const quint64 speed = (rate + bytesPerSecond) / 2;
    bytesPerSecond = speed;
    if (speed) {
        const quint64 copied = bytesCopied, total = bytesTotal;
        const qint64 left = copied < total ? qint64((total - copied) / speed) : 0;
        const qint64 previous = remainingSeconds;
        remainingSeconds = previous <= 0 ? left : (left + previous) / 2;
    }
    windowBytes = 0;
    windowStart = time;
    changes |= ChangedSpeed;
}

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
    if (sourcePeer->linkState() != IPeer::LinkUp || destinationPeer->linkState() != IPeer::LinkUp) {
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
        QMutexLocker lock(&mutex);
        verified.clear();
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
                QMutexLocker lock(&list.mutex);
                list.path = SharesRoot;
                list.watch = 0;
                list.entries.clear();
                lock.unlock();
                lookUpStep = 1;
                send(SourceSide, &list, &VfsClient::listDirectory, __LINE__);
                return;
            }
        }
    }
    if (lookUpStep == 2) {
        lookUpStep = 4;
        const QString destination = cleaned(request.dstPath);
        for (const VfsCopyItem& item : request.entries) {
            if (samePeer && cleaned(parentOf(item.path)) == destination) {
                QMutexLocker lock(&list.mutex);
                list.path = request.dstPath;
                list.watch = 0;
                list.entries.clear();
                lock.unlock();
                lookUpStep = 3;
                send(DestinationSide, &list, &VfsClient::listDirectory, __LINE__);
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
        fileSize = item.item.size;
        setJobState(OpenSource, __LINE__);
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
        if (job.jobStatus == VfsClientJob::JobFinished && job.status == FSO_STATUS_OK) {
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
            abortJob("mkdir failed", __LINE__);
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
    if (tooLong(destination)) {
        failFinally(qtTrId("copy-path-too-long").arg(destination), "path too long", __LINE__);
        return;
    }
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
                abortJob("listing failed", __LINE__);
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
    if (tooLong(path)) {
        failFinally(qtTrId("copy-path-too-long").arg(path), "path too long", __LINE__);
        return;
    }
    {
        QMutexLocker lock(&list.mutex);
        list.path = path;
        list.watch = 0;
        list.entries.clear();
    }
    send(SourceSide, &list, &VfsClient::listDirectory, __LINE__);
}

void VfsCopyJobPrivate::openSource(int action)
{
    VfsOpenFileJob& open = records->open;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&open))
            return;
        if (open.jobStatus == VfsClientJob::JobFinished && open.status == FSO_STATUS_OK
            && open.handle) {
            Logger::log(Logger::VMG2, "\topen file SUCCESS");
            sourceHandle = open.handle;
            setJobState(OpenDestination, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else if (open.status == FSO_STATUS_NOT_PERMITTED) {
            failFinally(qtTrId("open-src-file-access-denied").arg(open.path), "source refused",
                        __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to open read file %s", qPrintable(open.path));
            abortJob("failed to open read file", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    const VfsCopyItem& item = pending.back().item;
    if (tooLong(item.path)) {
        failFinally(qtTrId("copy-path-too-long").arg(item.path), "path too long", __LINE__);
        return;
    }
    open.flags = C::OpenRead;
    open.path = item.path;
    open.accessTime = open.birthTime = open.modificationTime = 0;
    open.size = 0;
    open.handle = 0;
    Logger::log(Logger::VMG2, "open file %s", qPrintable(item.path));
    send(SourceSide, &open, &VfsClient::openFile, __LINE__);
}

void VfsCopyJobPrivate::openDestination(int action)
{
    VfsOpenFileJob& open = records->open;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&open))
            return;
        if (open.jobStatus == VfsClientJob::JobFinished && open.status == FSO_STATUS_OK
            && open.handle) {
            Logger::log(Logger::VMG2, "\topen file SUCCESS");
            replaceCurrent = replaceAllActive;
            current = pending.back();
            pending.pop_back();
            destinationHandle = open.handle;
            // Written by this job from now on: a restart replaces it without asking.
            ownDestinations.insert(open.path);
            setJobState(Transfer, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else if (open.status == FSO_STATUS_EXISTS) {
            Logger::log(Logger::VMG2, "\topen file failed, file EXISTS");
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
            abortJob("failed to open write file", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep || question)
        return;
    const VfsCopyItem& item = pending.back().item;
    bool ok = false;
    QString name = nameOf(item.path, &ok);
    if (isShareRoot(item.path))
        name = shareName(name);
    if (!ok || !usableName(name)) {
        failFinally(qtTrId("copy-unsafe-name").arg(item.path),
                    "failed to open write file, malformed path", __LINE__);
        return;
    }
    const QString destination = renamed(joinPath(targetDirectory, name), item);
    if (tooLong(destination)) {
        failFinally(qtTrId("copy-path-too-long").arg(destination), "path too long", __LINE__);
        return;
    }
    setCurrentFile(name);
    if (skipList.contains(destination)) {
        // Answered before a restart.
        Logger::log(Logger::VMG2, "skip file %s", qPrintable(destination));
        settle(pending.back().node, false);
        pending.pop_back();
        setJobState(CloseSource, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    open.flags = C::OpenRead | C::OpenWrite | C::OpenTruncate;
    if (!replaceCurrent && !replaceAllActive && !replaceList.contains(destination)
        && !ownDestinations.contains(destination))
        open.flags |= C::OpenExclusive;
    open.path = destination;
    open.accessTime = item.atime;
    open.birthTime = item.ctime;
    open.modificationTime = item.mtime;
    open.size = item.size;
    open.handle = 0;
    Logger::log(Logger::VMG2, "open write file %s", qPrintable(destination));
    send(DestinationSide, &open, &VfsClient::openFile, __LINE__);
}

void VfsCopyJobPrivate::closeSource(int action)
{
    VfsCloseFileJob& close = records->close;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&close))
            return;
        if (close.jobStatus == VfsClientJob::JobFinished && close.status == FSO_STATUS_OK) {
            Logger::log(Logger::VMG2, "\tclose read file handle %u SUCCESS", unsigned(sourceHandle));
            sourceHandle = 0;
            close.jobStatus = 0;
            setJobState(CloseDestination, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to close read file handle %u", unsigned(sourceHandle));
            if (close.status == FSO_STATUS_NOT_FOUND)
                sourceHandle = 0;
            abortJob("failed to close read file", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    if (!sourceHandle) {
        setJobState(CloseDestination, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    close.flags = 0;
    close.handle = sourceHandle;
    Logger::log(Logger::VMG2, "close read file handle %u", unsigned(sourceHandle));
    send(SourceSide, &close, &VfsClient::closeFile, __LINE__);
}

void VfsCopyJobPrivate::closeDestination(int action)
{
    VfsCloseFileJob& close = records->close;
    if (action == VfsJob::ActionUpdate) {
        if (!take(&close))
            return;
        if (close.jobStatus == VfsClientJob::JobFinished && close.status == FSO_STATUS_OK) {
            Logger::log(Logger::VMG2, "\tclose write file handle %u SUCCESS",
                        unsigned(destinationHandle));
            destinationHandle = 0;
            close.jobStatus = 0;
            // The blocks were confirmed in place before the close; the close
            // set the file's times.
            if (fileVerified)
                addVerified(current.item);
            settle(current.node, fileVerified);
            fileVerified = false;
            setJobState(NextItem, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        } else {
            Logger::log(Logger::VMG2, "failed to close write file handle %u",
                        unsigned(destinationHandle));
            if (close.status == FSO_STATUS_NOT_FOUND)
                destinationHandle = 0;
            abortJob("failed to close write file", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    if (!destinationHandle) { // the file was skipped
        setJobState(NextItem, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
        return;
    }
    close.flags = 0;
    close.handle = destinationHandle;
    Logger::log(Logger::VMG2, "close write file handle %u", unsigned(destinationHandle));
    send(DestinationSide, &close, &VfsClient::closeFile, __LINE__);
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
            abortJob("failed to update attributes", __LINE__);
        }
        return;
    }
    if (action != VfsJob::ActionStep)
        return;
    open.flags = C::OpenTimes;
    open.path = pendingDirectory.path;
    open.accessTime = pendingDirectory.atime;
    open.birthTime = pendingDirectory.ctime;
    open.modificationTime = pendingDirectory.mtime;
    open.size = 0;
    open.handle = 0;
    Logger::log(Logger::VMG2, "open update attributes %s", qPrintable(pendingDirectory.path));
    send(DestinationSide, &open, &VfsClient::openFile, __LINE__);
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
    setJobState(WaitRestart, __LINE__);
    schedule(VfsJob::ActionStep, __LINE__, restartDelay);
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

// --- block transfer -------------------------------------------------------------

void VfsCopyJobPrivate::resetTransfer()
{
    chunks.clear();
    blocks.clear();
    writeQueue.clear();
    hashState = HashAskSource;
    hashOffset = 0;
    sourceDigestCount = 0;
    sourceHashStatus = 0;
    readFailed = writeFailed = verifyFailed = false;
    verifyRun = 0;
    lastBlockCopied = destinationHadLast = destinationLonger = haveLastDigest = false;
    lastOffset = endOffset = sourceEnd = 0;
    finalStep = FinalDecide;
    cutHandle = 0;
    fileVerified = false;
}

Block* VfsCopyJobPrivate::blockAt(quint64 offset)
{
    const quint64 start = offset - offset % VfsCopyJob::BlockSize;
    auto it = std::lower_bound(blocks.begin(), blocks.end(), start,
                               [](const Block& block, quint64 at) { return block.offset < at; });
    return it != blocks.end() && it->offset == start ? &*it : nullptr;
}

bool VfsCopyJobPrivate::transfersIdle() const
{
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        const VfsClientJob* read = &records->reads[i];
        const VfsClientJob* write = &records->writes[i];
        if (out.contains(read) || back.contains(read) || out.contains(write) || back.contains(write))
            return false;
    }
    return chunks.empty() && writeQueue.empty();
}

void VfsCopyJobPrivate::transfer(int action)
{
    if (action == VfsJob::ActionLeave) {
        chunks.clear();
        blocks.clear();
        writeQueue.clear();
        return;
    }
    if (action == VfsJob::ActionDelete)
        return;
    if (action == VfsJob::ActionEnter) {
        resetTransfer();
        records->close.jobStatus = 0;
    }
    pumpDigests();
    pumpVerify();
    pumpReads();
    pumpWrites();
    report();
    if (hashState == HashFailed || readFailed || writeFailed || verifyFailed) {
        abortJob("error in io state", __LINE__);
        return;
    }
    if (jobState == Transfer && finishFile()) {
        fileVerified = true;
        setJobState(CloseSource, __LINE__);
        schedule(VfsJob::ActionStep, __LINE__);
    }
}

void VfsCopyJobPrivate::pumpDigests()
{
    VfsHashFileJob& hash = records->hash;
    if (hashState == HashSourceSent && take(&hash)) {
        if (hash.jobStatus != VfsClientJob::JobFinished) {
            Logger::log(Logger::VMG2, "aborted hash read file jobStatus: %u",
                        unsigned(hash.jobStatus));
            hashState = HashFailed;
            return;
        }
        const quint8 status = hash.status;
        const int count = hash.digestsReceived;
        if (status != FSO_STATUS_OK && status != FSO_STATUS_END_OF_FILE) {
            Logger::log(Logger::VMG2, "unhandled hash read file status: 0x%02X", unsigned(status));
            hashState = HashFailed;
            return;
        }
        // Short of the end, a batch is whole; a source that answers less
        // would be asked again without end.
        if (count > VfsCopyJob::DigestBatch || hash.digestBytes != quint32(count * DigestBytes)
            || (status == FSO_STATUS_OK && count != VfsCopyJob::DigestBatch)) {
            Logger::log(Logger::VMG2, "hash read file failed rspNBlocks: %d, rspSize: %u", count,
                        unsigned(hash.digestBytes));
            hashState = HashFailed;
            return;
        }
        std::memcpy(sourceDigests, hash.digests, size_t(count) * DigestBytes);
        sourceDigestCount = quint16(count);
        sourceHashStatus = status;
        hashState = HashAskDestination;
    }
    if (hashState == HashDestinationSent && take(&hash)) {
        compareDigests(hash);
        schedule(VfsJob::ActionStep, __LINE__);
    }
    if (hashState == HashAskSource) {
        // Digests run ahead of the copying, but not far.
        if (chunks.size() > size_t(VfsCopyJob::MaxQueuedBlocks)
            || blocks.size() > size_t(2 * VfsCopyJob::DigestBatch))
            return;
        hash.flags = 0x01;
        hash.handle = sourceHandle;
        hash.count = VfsCopyJob::DigestBatch;
        hash.blockSize = VfsCopyJob::BlockSize;
        hash.offset = hashOffset;
        hashState = HashSourceSent;
        send(SourceSide, &hash, &VfsClient::hashFile, __LINE__);
    } else if (hashState == HashAskDestination) {
        // At the source's end one digest more: a destination that goes on
        // beyond it is longer and must be cut.
        const bool end = sourceHashStatus == FSO_STATUS_END_OF_FILE;
        hash.flags = 0x01;
        hash.handle = destinationHandle;
        hash.count = quint16(sourceDigestCount + (end ? 1 : 0));
        hash.blockSize = VfsCopyJob::BlockSize;
        hash.offset = hashOffset;
        hashState = HashDestinationSent;
        send(DestinationSide, &hash, &VfsClient::hashFile, __LINE__);
    }
}

void VfsCopyJobPrivate::compareDigests(const VfsHashFileJob& reply)
{
    if (reply.jobStatus != VfsClientJob::JobFinished) {
        Logger::log(Logger::VMG2, "aborted hash write file jobStatus: %u", unsigned(reply.jobStatus));
        hashState = HashFailed;
        return;
    }
    const quint8 status = reply.status;
    if (status != FSO_STATUS_OK && status != FSO_STATUS_END_OF_FILE
        && status != FSO_STATUS_INVALID_OFFSET) {
        Logger::log(Logger::VMG2, "unhandled hash write file status: 0x%02X", unsigned(status));
        hashState = HashFailed;
        return;
    }
    const int count = status == FSO_STATUS_INVALID_OFFSET ? 0 : reply.digestsReceived;
    if (count > reply.count || reply.digestBytes < quint32(count * DigestBytes)) {
        hashState = HashFailed;
        return;
    }
    const bool end = sourceHashStatus == FSO_STATUS_END_OF_FILE;
    const quint32 blockSize = VfsCopyJob::BlockSize;
    int matches = 0;
    for (int i = 0; i < sourceDigestCount; ++i) {
        const quint64 offset = hashOffset + quint64(i) * blockSize;
        const quint8* digest = sourceDigests + i * DigestBytes;
        const bool last = end && i == sourceDigestCount - 1;
        if (i < count && std::memcmp(digest, reply.digests + i * DigestBytes, DigestBytes) == 0) {
            ++matches;
            quint64 bytes = blockSize;
            if (last)
                bytes = fileSize > offset ? std::min<quint64>(blockSize, fileSize - offset) : 0;
            addCopied(bytes);
            continue;
        }
        Block block;
        block.offset = offset;
        std::memcpy(block.digest, digest, DigestBytes);
        block.last = last;
        blocks.push_back(block);
        chunks.push_back(Chunk{offset, blockSize});
        if (last) {
            lastBlockCopied = true;
            destinationHadLast = i < count;
        }
    }
    Logger::log(Logger::VMG2, "hash write file offset %llu, nblocks %u status 0x%02X match %d",
                static_cast<unsigned long long>(hashOffset), unsigned(sourceDigestCount),
                unsigned(status), matches);
    if (end) {
        destinationLonger = count > sourceDigestCount;
        endOffset = hashOffset + quint64(sourceDigestCount) * blockSize;
        haveLastDigest = sourceDigestCount > 0;
        if (haveLastDigest) {
            lastOffset = endOffset - blockSize;
            std::memcpy(lastDigest, sourceDigests + (sourceDigestCount - 1) * DigestBytes,
                        DigestBytes);
        }
        hashState = HashDone;
    } else {
        hashOffset += quint64(blockSize) * sourceDigestCount;
        hashState = HashAskSource;
    }
}

// Written blocks are hashed again on the destination, a run of neighbours at
// a time; a run goes out when it is full or cannot grow any more.
void VfsCopyJobPrivate::pumpVerify()
{
    VfsHashFileJob& verify = records->verify;
    if (verifyRun > 0) {
        if (!take(&verify))
            return;
        const int run = verifyRun;
        verifyRun = 0;
        if (verify.jobStatus != VfsClientJob::JobFinished
            || (verify.status != FSO_STATUS_OK && verify.status != FSO_STATUS_END_OF_FILE)
            || verify.digestsReceived != run || verify.digestBytes != quint32(run * DigestBytes)) {
            Logger::log(Logger::VMG2, "verify offset %llu failed, status %u, digests %u of %d",
                        static_cast<unsigned long long>(verify.offset), unsigned(verify.status),
                        unsigned(verify.digestsReceived), run);
            verifyFailed = true;
            return;
        }
        for (int i = 0; i < run; ++i) {
            if (std::memcmp(blocks[size_t(i)].digest, verify.digests + i * DigestBytes,
                            DigestBytes) != 0) {
                Logger::log(Logger::ERR1, "written block at %llu does not match the source",
                            static_cast<unsigned long long>(blocks[size_t(i)].offset));
                verifyFailed = true;
                return;
            }
        }
        blocks.erase(blocks.begin(), blocks.begin() + run);
        schedule(VfsJob::ActionStep, __LINE__);
    }
    if (finalStep != FinalDecide)
        return;
    int run = 0;
    bool canGrow = false;
    while (run < int(blocks.size()) && run < VfsCopyJob::DigestBatch) {
        const Block& block = blocks[size_t(run)];
        if (block.last
            || (run > 0 && block.offset != blocks[size_t(run - 1)].offset + VfsCopyJob::BlockSize))
            break;
        if (!block.ready()) {
            canGrow = true;
            break;
        }
        ++run;
    }
    if (run == 0)
        return;
    if (run == int(blocks.size()) && run < VfsCopyJob::DigestBatch)
        canGrow = hashState != HashDone && hashState != HashAskSource;
    if (canGrow && run < VfsCopyJob::DigestBatch)
        return;
    verify.flags = 0x01;
    verify.handle = destinationHandle;
    verify.count = quint16(run);
    verify.blockSize = VfsCopyJob::BlockSize;
    verify.offset = blocks.front().offset;
    verifyRun = run;
    send(DestinationSide, &verify, &VfsClient::hashFile, __LINE__);
}

void VfsCopyJobPrivate::pumpReads()
{
    if (hashState == HashFailed || readFailed)
        return;
    bool issued = false;
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        VfsReadFileJob& read = records->reads[i];
        if (isOut(&read))
            continue;
        if (take(&read)) {
            if (read.jobStatus != VfsClientJob::JobFinished
                || (read.status != FSO_STATUS_OK && read.status != FSO_STATUS_END_OF_FILE)) {
                Logger::log(Logger::VMG2, "unhandled read file rsp.status %u, jobStatus %u",
                            unsigned(read.status), unsigned(read.jobStatus));
                readFailed = true;
                return;
            }
            Block* block = blockAt(read.offset);
            if (!block || read.offset != block->offset + block->read) {
                readFailed = true;
                return;
            }
            const quint32 length = read.length;
            if (length > 0) {
                writeQueue.push_back(QueuedWrite{
                    read.offset, QByteArray(reinterpret_cast<const char*>(read.data), int(length))});
                ++block->writes;
                block->read += length;
            }
            if (read.status == FSO_STATUS_END_OF_FILE) {
                // Only the last block may end early: otherwise the source
                // shrank since its digests were taken.
                if (!block->last && block->read < VfsCopyJob::BlockSize) {
                    Logger::log(Logger::VMG2, "source ended at %llu, before its last block",
                                static_cast<unsigned long long>(read.offset + length));
                    readFailed = true;
                    return;
                }
                block->readDone = true;
            } else if (block->read >= VfsCopyJob::BlockSize) {
                block->readDone = true;
            } else {
                // A short read: the rest of the block comes next, no hole is left.
                chunks.push_front(Chunk{read.offset + length, VfsCopyJob::BlockSize - block->read});
            }
            if (block->readDone && block->last)
                sourceEnd = block->offset + block->read;
            schedule(VfsJob::ActionStep, __LINE__);
        }
        if (!issued && !chunks.empty() && writeQueue.size() <= size_t(VfsCopyJob::TransferSlots)) {
            const Chunk chunk = chunks.front();
            chunks.pop_front();
            read.flags = 0;
            read.handle = sourceHandle;
            read.offset = chunk.offset;
            read.size = chunk.size;
            read.length = 0;
            issued = true;
            send(SourceSide, &read, &VfsClient::readFile, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        }
    }
}

void VfsCopyJobPrivate::pumpWrites()
{
    if (writeFailed)
        return;
    bool issued = false;
    for (int i = 0; i < VfsCopyJob::TransferSlots; ++i) {
        VfsWriteFileJob& write = records->writes[i];
        if (isOut(&write))
            continue;
        if (take(&write)) {
            // Every byte read is written, and the reply must say so.
            if (write.jobStatus != VfsClientJob::JobFinished || write.status != FSO_STATUS_OK
                || write.written != write.size) {
                Logger::log(Logger::VMG2, "unhandled write file status %u, written %u of %u",
                            unsigned(write.status), unsigned(write.written), unsigned(write.size));
                writeFailed = true;
                return;
            }
            Block* block = blockAt(write.offset);
            if (!block || block->writes <= 0) {
                writeFailed = true;
                return;
            }
            --block->writes;
            addCopied(write.size);
            updateSpeed(write.size);
            schedule(VfsJob::ActionStep, __LINE__);
        }
        if (!issued && !writeQueue.empty()) {
            QueuedWrite& queued = writeQueue.front();
            write.flags = 0x04; // the file grows where the offset lies past its end
            write.handle = destinationHandle;
            write.offset = queued.offset;
            write.size = quint32(queued.data.size());
            write.written = 0;
            std::memcpy(write.data, queued.data.constData(), size_t(queued.data.size()));
            writeQueue.pop_front();
            if (windowStart < 0) {
                windowStart = now();
                windowBytes = 0;
            }
            issued = true;
            send(DestinationSide, &write, &VfsClient::writeFile, __LINE__);
            schedule(VfsJob::ActionStep, __LINE__);
        }
    }
}

void VfsCopyJobPrivate::sendTail()
{
    VfsHashFileJob& verify = records->verify;
    verify.flags = 0x01;
    verify.handle = destinationHandle;
    verify.count = haveLastDigest ? 2 : 1;
    verify.blockSize = VfsCopyJob::BlockSize;
    verify.offset = haveLastDigest ? lastOffset : endOffset;
    finalStep = FinalTail;
    send(DestinationSide, &verify, &VfsClient::hashFile, __LINE__);
}

// After every block is in place: the destination gets the source's size and
// its end is checked. True when the file is complete.
bool VfsCopyJobPrivate::finishFile()
{
    if (hashState != HashDone || !transfersIdle() || verifyRun > 0)
        return false;
    if (!blocks.empty() && !(blocks.size() == 1 && blocks.front().last && blocks.front().ready()))
        return false;
    VfsOpenFileJob& open = records->open;
    VfsCloseFileJob& close = records->close;
    switch (finalStep) {
    case FinalDecide: {
        quint64 size = endOffset;
        bool cut = destinationLonger;
        if (haveLastDigest && lastBlockCopied) {
            size = sourceEnd;
            cut = destinationLonger || (destinationHadLast && sourceEnd < endOffset);
        }
        if (!cut) {
            if (!lastBlockCopied)
                return true;
            sendTail();
            return false;
        }
        // The size travels with the times only.
        if (current.item.atime <= 0 && current.item.mtime <= 0) {
            failFinally(qtTrId("copy-dst-not-cut").arg(open.path), "cannot cut destination",
                        __LINE__);
            return false;
        }
        Logger::log(Logger::VMG2, "cut %s to %llu bytes", qPrintable(open.path),
                    static_cast<unsigned long long>(size));
        open.flags = C::OpenRead | C::OpenWrite | C::OpenTruncate;
        open.accessTime = current.item.atime;
        open.birthTime = current.item.ctime;
        open.modificationTime = current.item.mtime;
        open.size = size;
        open.handle = 0;
        finalStep = FinalCutOpen;
        send(DestinationSide, &open, &VfsClient::openFile, __LINE__);
        return false;
    }
    case FinalCutOpen:
        if (!take(&open))
            return false;
        if (open.jobStatus != VfsClientJob::JobFinished || open.status != FSO_STATUS_OK
            || !open.handle) {
            verifyFailed = true;
            abortJob("failed to cut the destination", __LINE__);
            return false;
        }
        cutHandle = open.handle;
        close.flags = 0;
        close.handle = cutHandle;
        finalStep = FinalCutClose;
        send(DestinationSide, &close, &VfsClient::closeFile, __LINE__);
        return false;
    case FinalCutClose:
        if (!take(&close))
            return false;
        if (close.jobStatus != VfsClientJob::JobFinished || close.status != FSO_STATUS_OK) {
            abortJob("failed to close the cut destination", __LINE__);
            return false;
        }
        cutHandle = 0;
        sendTail();
        return false;
    case FinalTail: {
        VfsHashFileJob& verify = records->verify;
        if (!take(&verify))
            return false;
        const int expected = haveLastDigest ? 1 : 0;
        const bool ok = verify.jobStatus == VfsClientJob::JobFinished
            && (verify.status == FSO_STATUS_OK || verify.status == FSO_STATUS_END_OF_FILE)
            && verify.digestsReceived == expected
            && (!haveLastDigest || std::memcmp(verify.digests, lastDigest, DigestBytes) == 0);
        if (!ok) {
            Logger::log(Logger::ERR1, "end of %s does not match the source, status %u, digests %u",
                        qPrintable(current.item.path), unsigned(verify.status),
                        unsigned(verify.digestsReceived));
            abortJob("destination end does not match", __LINE__);
            return false;
        }
        blocks.clear();
        finalStep = FinalDone;
        return true;
    }
    default:
        return finalStep == FinalDone;
    }
}

// --- VfsCopyJob -------------------------------------------------------------------

VfsCopyJob::VfsCopyJob(const VfsCopyDto& request, QObject* parent)
    : VfsJob(parent), d(new VfsCopyJobPrivate(this))
{
    qRegisterMetaType<VfsCopyDto>("VfsCopyDto");
    qRegisterMetaType<VfsOpenFileJob*>("VfsOpenFileJob*");
    qRegisterMetaType<VfsCloseFileJob*>("VfsCloseFileJob*");
    qRegisterMetaType<VfsHashFileJob*>("VfsHashFileJob*");
    qRegisterMetaType<VfsReadFileJob*>("VfsReadFileJob*");
    qRegisterMetaType<VfsWriteFileJob*>("VfsWriteFileJob*");
    qRegisterMetaType<VfsListDirectoryJob*>("VfsListDirectoryJob*");
    qRegisterMetaType<VfsMakeDirectoryJob*>("VfsMakeDirectoryJob*");
    setType(QStringLiteral("copy"));
    d->ownClock.start();
    d->request.id = request.id;
    d->request.srcPeerUuid = request.srcPeerUuid;
    d->request.dstPeerUuid = request.dstPeerUuid;
    d->request.move = request.move;
    d->request.overwrite = request.overwrite;
    d->request.overwriteAll = request.overwriteAll;
    d->request.entries = request.entries;
    d->request.dstPath = request.dstPath;
}

VfsCopyJob::~VfsCopyJob()
{
    // Requests still at a client point into the records: they stay with
    // that client until it is gone.
    for (int side = SourceSide; side <= DestinationSide; ++side) {
        VfsClient* client = d->clients[side].data();
        if (!client || std::none_of(d->out.begin(), d->out.end(),
                                    [side](int at) { return at == side; }))
            continue;
        std::shared_ptr<Records> records = d->records;
        QObject::connect(client, &QObject::destroyed, [records] {});
    }
}

VfsCopyDto VfsCopyJob::request() const
{
    return d->request;
}

void VfsCopyJob::setPeers(IPeer* source, IPeer* destination)
{
    d->sourcePeer = source;
    d->destinationPeer = destination;
}

void VfsCopyJob::setRestartDelay(int milliseconds)
{
    d->restartDelay = std::max(0, milliseconds);
}

int VfsCopyJob::restartDelay() const
{
    return d->restartDelay;
}

void VfsCopyJob::setClock(Clock clock)
{
    d->clock = std::move(clock);
    d->lastCopiedSignal = d->now();
}

VfsJob::VfsJobState VfsCopyJob::state() const
{
    const int retries = d->retryCount;
    if (d->countingPass && retries == 0 && d->jobState != Failed)
        return VfsJobStateInit;
    switch (d->jobState.load()) {
    case StartUp:
        return retries == 0 ? VfsJobStateInit : VfsJobStatePaused;
    case NextItem:
    case OpenSource:
    case CloseSource:
    case CloseDestination:
    case Transfer:
    case MakeDirectory:
    case ListDirectory:
    case DirectoryTimes:
    case LookUpNames:
        return VfsJobStateRunning;
    case OpenDestination:
        return d->question ? VfsJobStateQuestion : VfsJobStateRunning;
    case Failed:
        if (d->abortRequested || retries >= FinalFailure)
            return VfsJobStateAborted;
        return VfsJobStatePaused;
    case Finished:
        return VfsJobStateFinished;
    case WaitRestart:
        return VfsJobStatePaused;
    default:
        return VfsJobStateUnknown;
    }
}

int VfsCopyJob::retryCount() const
{
    return d->retryCount;
}

quint64 VfsCopyJob::bytesCopiedCount() const
{
    return d->bytesCopied;
}

quint64 VfsCopyJob::bytesTotalCount() const
{
    return d->bytesTotal;
}

QString VfsCopyJob::bytesCopied() const
{
    return dataSize(d->bytesCopied, 0);
}

QString VfsCopyJob::bytesTotal() const
{
    return dataSize(d->bytesTotal, 0);
}

double VfsCopyJob::percentDone() const
{
    const quint64 copied = d->bytesCopied, total = d->bytesTotal;
    if (total == 0)
        return 0.0;
    if (copied >= total)
        return 100.0;
    return double(copied) / double(total) * 100.0;
}

int VfsCopyJob::totalFileCount() const
{
    return d->totalFileCount;
}

QString VfsCopyJob::writeSpeed() const
{
    return dataSize(d->bytesPerSecond, 2) + QStringLiteral("/s");
}

QString VfsCopyJob::remainingTime() const
{
    return remainingTimeText(d->remainingSeconds);
}

QString VfsCopyJob::currentFile() const
{
    QMutexLocker lock(&d->mutex);
    return d->currentFile;
}

QString VfsCopyJob::userActionPrompt() const
{
    QMutexLocker lock(&d->mutex);
    return d->userActionPrompt;
}

std::vector<VfsCopyItem> VfsCopyJob::verifiedItems() const
{
    QMutexLocker lock(&d->mutex);
    return d->verified;
}

QString VfsCopyJob::remainingTimeText(qint64 seconds)
{
    if (seconds <= 0)
        return QString(); // no estimate
    if (seconds <= 9)
        return qtTrId("copy-eta-seconds");
    if (seconds <= 60)
        return qtTrId("copy-eta-less1minute");
    if (seconds < 3600)
        return qtTrId("copy-eta-minutes").arg(seconds / 60);
    return qtTrId("copy-eta-hours").arg(seconds / 3600);
}

QString VfsCopyJob::duplicateName(const QString& name, bool directory,
                                  const std::function<bool(const QString&)>& taken)
{
    QString base = name;
    QString extension;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (!directory && dot >= 1 && !name.endsWith(QLatin1Char('.'))) {
        base = name.left(dot);
        extension = name.mid(dot);
    }
    // A copy of a copy counts on from the original's name.
    for (int n = 1; n <= 127; ++n) {
        const QString mark = qtTrId("file-copy-count", n);
        if (base.endsWith(mark)) {
            const QString rest = base.left(base.size() - mark.size()).trimmed();
            if (!rest.isEmpty())
                base = rest;
            break;
        }
    }
    for (int n = 1; n <= 127; ++n) {
        const QString candidate =
            QStringLiteral("%1 %2%3").arg(base, qtTrId("file-copy-count", n), extension);
        if (!taken(candidate))
            return candidate;
    }
    return QString();
}

void VfsCopyJob::abort()
{
    if (QThread::currentThread() != thread()) {
        // The answer comes from the pane's thread: take it on the job's own.
        QMetaObject::invokeMethod(this, &VfsCopyJob::abort, Qt::QueuedConnection);
        return;
    }
    d->abortRequested = true;
    // Also while the job waits to restart: the abort does not wait for that.
    if (timer())
        timer()->stop();
    startTimer(0, ActionStep, __LINE__);
}

bool VfsCopyJob::userActionEnabled(VfsJob::UserAction action) const
{
    switch (state()) {
    case VfsJobStateRunning:
        return action == UserActionAbort;
    case VfsJobStateQuestion:
        return action == UserActionAbort || action == UserActionSkip
            || action == UserActionOverwrite;
    default:
        return false;
    }
}

void VfsCopyJob::skipCurrentItem()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &VfsCopyJob::skipCurrentItem, Qt::QueuedConnection);
        return;
    }
    if (d->jobState != OpenDestination || state() != VfsJobStateQuestion)
        return;
    const QString destination = d->records->open.path;
    Logger::log(Logger::VMG2, "skip file %s", qPrintable(destination));
    d->skipList.insert(destination);
    d->settle(d->pending.back().node, false);
    d->pending.pop_back();
    d->setPrompt(QString());
    d->question = false;
    // The source is open: close it, then go on.
    d->setJobState(CloseSource, __LINE__);
    startTimer(0, ActionStep, __LINE__);
}

void VfsCopyJob::replaceCurrentItem()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &VfsCopyJob::replaceCurrentItem, Qt::QueuedConnection);
        return;
    }
    if (d->jobState != OpenDestination || state() != VfsJobStateQuestion)
        return;
    const QString destination = d->records->open.path;
    Logger::log(Logger::VMG2, "overwrite file %s", qPrintable(destination));
    if (!d->replaceAllActive)
        d->replaceList.insert(destination);
    d->replaceCurrent = true;
    d->setPrompt(QString());
    d->question = false;
    emit stateChanged();
    startTimer(0, ActionStep, __LINE__);
}

void VfsCopyJob::replaceAllItems()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &VfsCopyJob::replaceAllItems, Qt::QueuedConnection);
        return;
    }
    if (d->jobState != OpenDestination || state() != VfsJobStateQuestion)
        return;
    d->replaceList.clear();
    d->replaceCurrent = true;
    d->replaceAllActive = true;
    d->setPrompt(QString());
    d->question = false;
    emit stateChanged();
    startTimer(0, ActionStep, __LINE__);
}

void VfsCopyJob::process(int action)
{
    Logger::log(Logger::VMG2, "copy job: process jobState %u action %d thread: %p",
                unsigned(d->jobState.load()), action, static_cast<void*>(QThread::currentThread()));
    if (d->jobState == StartUp) {
        d->startUp(action);
        return;
    }
    if (d->abortRequested) {
        d->aborting(action);
        return;
    }
    switch (d->jobState.load()) {
    case NextItem:
        d->nextItem(action);
        break;
    case OpenSource:
        d->openSource(action);
        break;
    case OpenDestination:
        d->openDestination(action);
        break;
    case CloseSource:
        d->closeSource(action);
        break;
    case CloseDestination:
        d->closeDestination(action);
        break;
    case Transfer:
        d->transfer(action);
        break;
    case MakeDirectory:
        d->makeDirectory(action);
        break;
    case ListDirectory:
        d->listDirectory(action);
        break;
    case DirectoryTimes:
        d->directoryTimes(action);
        break;
    case Failed:
        d->failed(action);
        break;
    case Finished:
        d->finished(action);
        break;
    case WaitRestart:
        d->waitRestart(action);
        break;
    case LookUpNames:
        d->lookUpNames(action);
        break;
    default:
        break;
    }
}

// --- client updates -------------------------------------------------------------------

void VfsCopyJob::onOpenFileJobUpdate(VfsOpenFileJob* job)
{
    int side = 0;
    if (!d->returned(job, &side))
        return;
    const quint32 s = d->jobState;
    const bool awaited = !d->abortRequested
        && (s == OpenSource || s == OpenDestination || s == DirectoryTimes
            || (s == Transfer && d->finalStep == FinalCutOpen));
    if (awaited) {
        startTimer(0, ActionUpdate, __LINE__);
        return;
    }
    // Nobody waits for this open any more: let go of what it opened.
    d->take(job);
    if (job->jobStatus == VfsClientJob::JobFinished && job->status == FSO_STATUS_OK && job->handle
        && (job->flags & (VfsMirkCommand::OpenRead | VfsMirkCommand::OpenWrite)))
        d->closeLeftHandle(side, job->handle);
    d->recordsSettled();
}

void VfsCopyJob::onCloseFileJobUpdate(VfsCloseFileJob* job)
{
    int side = 0;
    if (!d->returned(job, &side))
        return;
    const quint32 s = d->jobState;
    if (job == &d->records->close && !d->abortRequested
        && (s == CloseSource || s == CloseDestination
            || (s == Transfer && d->finalStep == FinalCutClose))) {
        startTimer(0, ActionUpdate, __LINE__);
        return;
    }
    if (job == &d->records->close)
        Logger::log(Logger::VMG2, "onCloseFileJobUpdate() not handled job %p, jobState %u",
                    static_cast<void*>(job), unsigned(s));
    d->take(job);
    d->recordsSettled();
}

void VfsCopyJob::onHashFileJobUpdate(VfsHashFileJob* job)
{
    if (d->replyAwaited(job, d->jobState == Transfer))
        startTimer(0, ActionUpdate, __LINE__);
}

void VfsCopyJob::onReadFileJobUpdate(VfsReadFileJob* job)
{
    if (d->replyAwaited(job, d->jobState == Transfer))
        process(ActionUpdate);
}

void VfsCopyJob::onWriteFileJobUpdate(VfsWriteFileJob* job)
{
    if (d->replyAwaited(job, d->jobState == Transfer))
        process(ActionUpdate);
}

void VfsCopyJob::onListDirectoryJobUpdate(VfsListDirectoryJob* job)
{
    if (d->replyAwaited(job, d->jobState == ListDirectory || d->jobState == LookUpNames))
        startTimer(0, ActionUpdate, __LINE__);
}

void VfsCopyJob::onMakeDirectoryJobUpdate(VfsMakeDirectoryJob* job)
{
    if (d->replyAwaited(job, d->jobState == MakeDirectory))
        startTimer(0, ActionUpdate, __LINE__);
}
