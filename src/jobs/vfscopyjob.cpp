#include "jobs/vfscopyjob_p.h"

#include "core/appsettings.h"

#include "peer/ipeer.h"
#include "vfs/protocol/fsostatus.h"

#include <QLocale>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

QString dataSize(quint64 bytes, int precision)
{
    return QLocale().formattedDataSize(qint64(std::min<quint64>(bytes, quint64(INT64_MAX))),
                                       precision, QLocale::DataSizeSIFormat);
}

} // namespace

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
    if (!failureNoted && !abortRequested && retryCount < VfsCopyJob::FinalFailure)
        noteFailure(VfsCopyJob::FailureOther, -1, QString());
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

bool VfsCopyJobPrivate::sendOpen(int side, quint32 flags, const QString& path,
                                 const VfsCopyItem& times, quint64 size, int line,
                                 VfsOpenFileJob* record)
{
    VfsOpenFileJob& open = record ? *record : records->open;
    open.flags = flags;
    open.path = path;
    open.accessTime = times.atime;
    open.birthTime = times.ctime;
    open.modificationTime = times.mtime;
    open.size = size;
    open.handle = 0;
    return send(side, &open, &VfsClient::openFile, line);
}

bool VfsCopyJobPrivate::sendList(int side, const QString& path, int line)
{
    VfsListDirectoryJob& list = records->list;
    {
        QMutexLocker lock(&list.mutex);
        list.path = path;
        list.watch = 0;
        list.entries.clear();
    }
    return send(side, &list, &VfsClient::listDirectory, line);
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

// Every reply handler comes here with the record it got back.
void VfsCopyJobPrivate::replied(const VfsClientJob* job, bool stepWaits, Delivery delivery,
                                const std::function<void(int side)>& letGo)
{
    int side = 0;
    if (!returned(job, &side))
        return;
    if (stepWaits && !abortRequested) {
        if (delivery == AtOnce)
            q->process(VfsJob::ActionUpdate);
        else
            schedule(VfsJob::ActionUpdate, __LINE__);
        return;
    }
    take(job);
    if (letGo)
        letGo(side);
    recordsSettled();
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
    dropLanes();
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
    QObject::connect(client, &VfsClient::moveUpdate, q, &VfsCopyJob::onMoveJobUpdate, type);
    QObject::connect(client, &VfsClient::deleteFileUpdate, q, &VfsCopyJob::onDeleteFileJobUpdate,
                     type);
    for (const QPointer<VfsClient>& watched : watchedClients) {
        if (watched == client)
            return;
    }
    watchedClients.append(client);
    QObject::connect(client, &QObject::destroyed, q,
                     [this](QObject* gone) { clientGone(gone); });
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
    qRegisterMetaType<VfsMoveJob*>("VfsMoveJob*");
    qRegisterMetaType<VfsDeleteFileJob*>("VfsDeleteFileJob*");
    setType(QStringLiteral("copy"));
    // --copy-pipelining=0 keeps every copy close to one request after
    // another (to compare, and to stand in for a peer that works that way).
    if (appArgumentInt(QStringLiteral("--copy-pipelining"), 1) < 1)
        d->limits = oneAtATime();
    d->ownClock.start();
    d->request = requestPart(request);
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

VfsCopyJob::InFlight VfsCopyJob::oneAtATime()
{
    InFlight limits;
    limits.digestBatches = 1;
    limits.transfers = 12;
    limits.settleRequests = 1;
    limits.closeAside = false;
    limits.files = 1;
    limits.pieces = false;
    return limits;
}

void VfsCopyJob::setInFlight(const InFlight& limits)
{
    d->limits.digestBatches = std::clamp(limits.digestBatches, 1, int(DigestSlots));
    d->limits.transfers = std::clamp(limits.transfers, 1, int(TransferSlots));
    d->limits.settleRequests = std::clamp(limits.settleRequests, 1, int(SettleSlots));
    d->limits.closeAside = limits.closeAside;
    d->limits.files = std::clamp(limits.files, 1, int(FileSlots));
    d->limits.pieces = limits.pieces;
}

VfsCopyJob::InFlight VfsCopyJob::inFlight() const
{
    return d->limits;
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
    case Baseline:
    case CheckSource:
    case FileTimes:
    case Rename:
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

int VfsCopyJob::verifiedFileCount() const
{
    QMutexLocker lock(&d->mutex);
    return int(std::count_if(d->verified.begin(), d->verified.end(), [](const VfsCopyItem& item) {
        return item.type == VfsCopyItem::TypeFile;
    }));
}

std::vector<VfsCopyFailedItem> VfsCopyJob::failedItems() const
{
    QMutexLocker lock(&d->mutex);
    return d->failedItems;
}

QString VfsCopyJob::lastFailure() const
{
    QMutexLocker lock(&d->mutex);
    return d->failureText;
}

int VfsCopyJob::lastFailureReason() const
{
    QMutexLocker lock(&d->mutex);
    return d->failureReason;
}

QString VfsCopyJob::lastFailurePeer() const
{
    QMutexLocker lock(&d->mutex);
    return d->failurePeer;
}

QString VfsCopyJob::lastFailurePath() const
{
    QMutexLocker lock(&d->mutex);
    return d->failurePath;
}

QDateTime VfsCopyJob::nextRetryAt() const
{
    QMutexLocker lock(&d->mutex);
    return d->nextRetryAt;
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
    if (!d->onJobThread(&VfsCopyJob::abort))
        return;
    d->abortRequested = true;
    // Also while the job waits to restart: the abort does not wait for that.
    if (timer())
        timer()->stop();
    startTimer(0, ActionStep, __LINE__);
}

// --- the user's answers -------------------------------------------------------------

// The answers come from the pane's thread: they are taken on the job's own.
bool VfsCopyJobPrivate::onJobThread(void (VfsCopyJob::*answer)())
{
    if (QThread::currentThread() == q->thread())
        return true;
    QMetaObject::invokeMethod(q, answer, Qt::QueuedConnection);
    return false;
}

bool VfsCopyJobPrivate::questionOpen() const
{
    return jobState == OpenDestination && q->state() == VfsJob::VfsJobStateQuestion;
}

void VfsCopyJobPrivate::closeQuestion()
{
    setPrompt(QString());
    question = false;
}

// The destination may be replaced: the open goes out again.
void VfsCopyJobPrivate::replaceAnswered()
{
    replaceCurrent = true;
    closeQuestion();
    emit q->stateChanged();
    schedule(VfsJob::ActionStep, __LINE__);
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
    if (!d->onJobThread(&VfsCopyJob::skipCurrentItem) || !d->questionOpen())
        return;
    const QString destination = d->questionPath;
    Logger::log(Logger::VMG2, "skip file %s", qPrintable(destination));
    d->skipList.insert(destination);
    d->settle(d->pending.back().node, false);
    d->pending.pop_back();
    d->closeQuestion();
    // The source is open: close it, then go on.
    d->setJobState(CloseSource, __LINE__);
    startTimer(0, ActionStep, __LINE__);
}

void VfsCopyJob::replaceCurrentItem()
{
    if (!d->onJobThread(&VfsCopyJob::replaceCurrentItem) || !d->questionOpen())
        return;
    const QString destination = d->questionPath;
    Logger::log(Logger::VMG2, "overwrite file %s", qPrintable(destination));
    if (!d->replaceAllActive)
        d->replaceList.insert(destination);
    d->replaceAnswered();
}

void VfsCopyJob::replaceAllItems()
{
    if (!d->onJobThread(&VfsCopyJob::replaceAllItems) || !d->questionOpen())
        return;
    d->replaceList.clear();
    d->replaceAllActive = true;
    d->replaceAnswered();
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
        d->closeFile(action, SourceSide);
        break;
    case CloseDestination:
        d->closeFile(action, DestinationSide);
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
    case Baseline:
        d->baseline(action);
        break;
    case CheckSource:
        d->checkSource(action);
        break;
    case FileTimes:
        d->fileTimes(action);
        break;
    case Rename:
        d->rename(action);
        break;
    default:
        break;
    }
}

// --- client updates -------------------------------------------------------------------

void VfsCopyJob::onOpenFileJobUpdate(VfsOpenFileJob* job)
{
    if (d->laneReplied(job))
        return;
    const bool waits = d->inState({OpenSource, OpenDestination, DirectoryTimes, FileTimes})
        || d->finalStepWaits(FinalCutOpen);
    d->replied(job, waits, VfsCopyJobPrivate::Scheduled, [this, job](int side) {
        // Nobody waits for this open any more: let go of what it opened.
        if (opened(*job) && (job->flags & (C::OpenRead | C::OpenWrite)))
            d->closeLeftHandle(side, job->handle);
        d->aheadReturned(job);
    });
}

void VfsCopyJob::onCloseFileJobUpdate(VfsCloseFileJob* job)
{
    // The handles left behind are closed with records of their own, which
    // no step waits for.
    const bool ours = job == &d->records->close;
    const bool waits = ours
        && (d->inState({CloseSource, CloseDestination}) || d->finalStepWaits(FinalCutClose));
    d->replied(job, waits, VfsCopyJobPrivate::Scheduled, [this, job, ours](int) {
        if (ours)
            Logger::log(Logger::VMG2, "onCloseFileJobUpdate() not handled job %p, jobState %u",
                        static_cast<void*>(job), unsigned(d->jobState.load()));
        else
            d->closeReturned(job);
    });
}

void VfsCopyJob::onHashFileJobUpdate(VfsHashFileJob* job)
{
    if (d->laneReplied(job))
        return;
    d->replied(job, d->inState({Transfer}), VfsCopyJobPrivate::Scheduled);
}

void VfsCopyJob::onReadFileJobUpdate(VfsReadFileJob* job)
{
    if (d->laneReplied(job))
        return;
    d->replied(job, d->inState({Transfer}), VfsCopyJobPrivate::AtOnce);
}

void VfsCopyJob::onWriteFileJobUpdate(VfsWriteFileJob* job)
{
    if (d->laneReplied(job))
        return;
    d->replied(job, d->inState({Transfer}), VfsCopyJobPrivate::AtOnce);
}

void VfsCopyJob::onListDirectoryJobUpdate(VfsListDirectoryJob* job)
{
    const bool waits = d->inState({ListDirectory, LookUpNames, Baseline, CheckSource})
        || (d->inState({OpenDestination}) && d->listingDestination);
    d->replied(job, waits, VfsCopyJobPrivate::Scheduled);
}

void VfsCopyJob::onMakeDirectoryJobUpdate(VfsMakeDirectoryJob* job)
{
    d->replied(job, d->inState({MakeDirectory}), VfsCopyJobPrivate::Scheduled);
}

void VfsCopyJob::onMoveJobUpdate(VfsMoveJob* job)
{
    d->replied(job, d->inState({Rename}), VfsCopyJobPrivate::Scheduled);
}

// Only empty files this job made are deleted, and nothing waits for that.
void VfsCopyJob::onDeleteFileJobUpdate(VfsDeleteFileJob* job)
{
    d->replied(job, false, VfsCopyJobPrivate::Scheduled);
}
