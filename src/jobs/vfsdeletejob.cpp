#include "jobs/vfsdeletejob.h"

#include "core/logger.h"
#include "jobs/vfsrequestrecord.h"
#include "peer/ipeer.h"
#include "vfs/client/vfsclient.h"
#include "jobs/vfscopyentry.h"
#include "vfs/client/vfsdeletefilejob.h"
#include "vfs/client/vfslistdirectoryjob.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"

#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace {

enum State : quint32 {
    StateNotStarted = 0,
    StateNext = 1,
    StateWaiting = 2,
    StateFailed = 3,
    StateDone = 4,
    StateListing = 5, // cut: waiting for the listing of a directory
};

bool isDirectory(const VfsDeleteItem& item)
{
    return item.type == quint64(VfsCopyEntry::TypeDirectory);
}

int depthOf(const QString& path)
{
    return path.count(QLatin1Char('/')) + path.count(QLatin1Char('\\'));
}

// The order a cut works in, last item first: every file and link, then the
// directories, deepest first.
std::vector<VfsDeleteItem> cutOrder(const std::vector<VfsDeleteItem>& items)
{
    std::vector<VfsDeleteItem> order;
    for (const VfsDeleteItem& item : items) {
        if (isDirectory(item))
            order.push_back(item);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const VfsDeleteItem& a, const VfsDeleteItem& b) {
                         return depthOf(a.path) < depthOf(b.path);
                     });
    for (const VfsDeleteItem& item : items) {
        if (!isDirectory(item))
            order.push_back(item);
    }
    return order;
}

QString failureReason(quint8 status)
{
    //% "Kept: it could not be deleted (error %1)"
    return qtTrId("job-cut-kept-failed").arg(status);
}

} // namespace

class VfsDeleteJobPrivate
{
public:
    QPointer<IPeer> peer;
    quint32 flags = 0;
    std::vector<VfsDeleteItem> items;
    quint32 state = StateNotStarted;
    bool abortRequested = false;
    bool ended = false;
    std::vector<VfsDeleteItem> work;
    VfsRequestRecord<VfsDeleteFileJob> request{&VfsClient::deleteFileUpdate};

    bool cut = false;
    QString requestId;
    bool listedEmpty = false; // cut: the current directory was listed and held nothing
    VfsRequestRecord<VfsListDirectoryJob> listing{&VfsClient::listDirectoryUpdate};
    mutable QMutex keptMutex;
    std::vector<VfsKeptItem> kept;

    // The current item is done with: deleted, gone already, or kept.
    void next()
    {
        work.pop_back();
        listedEmpty = false;
        state = StateNext;
    }
    void keep(VfsDeleteJob* q, const QString& reason)
    {
        const QString path = work.back().path;
        Logger::log(Logger::VMG1, "cut keeps %s: %s", qUtf8Printable(path),
                    qUtf8Printable(reason));
        {
            QMutexLocker lock(&keptMutex);
            kept.push_back(VfsKeptItem{path, reason});
        }
        next();
        emit q->keptItemsChanged();
    }
};

VfsDeleteJob::VfsDeleteJob(QObject* parent)
    : VfsJob(parent), d(new VfsDeleteJobPrivate)
{
    setType(QStringLiteral("delete"));
}

VfsDeleteJob::~VfsDeleteJob()
{
    d->request.release(d->peer ? d->peer->vfsClient() : nullptr);
    d->listing.release(d->peer ? d->peer->vfsClient() : nullptr);
}

void VfsDeleteJob::setPeer(IPeer* peer) { d->peer = peer; }
IPeer* VfsDeleteJob::peer() const { return d->peer; }
void VfsDeleteJob::setFlags(quint32 flags) { d->flags = flags; }
quint32 VfsDeleteJob::flags() const { return d->flags; }
void VfsDeleteJob::setItems(const std::vector<VfsDeleteItem>& items) { d->items = items; }
const std::vector<VfsDeleteItem>& VfsDeleteJob::items() const { return d->items; }
const std::vector<VfsDeleteItem>& VfsDeleteJob::remainingItems() const { return d->work; }
void VfsDeleteJob::setCut(bool cut) { d->cut = cut; }
bool VfsDeleteJob::isCut() const { return d->cut; }
void VfsDeleteJob::setRequestId(const QString& id) { d->requestId = id; }
QString VfsDeleteJob::requestId() const { return d->requestId; }

std::vector<VfsKeptItem> VfsDeleteJob::keptItems() const
{
    QMutexLocker lock(&d->keptMutex);
    return d->kept;
}

QString VfsDeleteJob::notEmptyReason()
{
    //% "Kept: it holds items that were not copied"
    return qtTrId("job-cut-kept-not-empty");
}

void VfsDeleteJob::onListDirectoryUpdate(VfsListDirectoryJob* job)
{
    if (!d->listing.takeBack(job))
        return;
    startTimer(0, ActionUpdate, __LINE__);
}

void VfsDeleteJob::abort()
{
    d->abortRequested = true;
}

void VfsDeleteJob::onDeleteFileJobUpdate(VfsDeleteFileJob* job)
{
    if (!d->request.takeBack(job))
        return;
    startTimer(0, ActionUpdate, __LINE__);
}

void VfsDeleteJob::process(int action)
{
    if (d->ended)
        return;
    if (d->state == StateNotStarted) {
        if (d->peer && d->peer->vfsClient() && !d->items.empty()) {
            d->request.watch(d->peer->vfsClient(), this, &VfsDeleteJob::onDeleteFileJobUpdate);
            if (d->cut)
                d->listing.watch(d->peer->vfsClient(), this, &VfsDeleteJob::onListDirectoryUpdate);
            d->work = d->cut ? cutOrder(d->items) : d->items;
            d->state = StateNext;
            startTimer(0, ActionStep, __LINE__);
        } else {
            d->ended = true;
            emit jobAborted();
        }
        return;
    }
    if (d->abortRequested && action == ActionStep && d->state != StateDone) {
        if (timer())
            timer()->stop();
        d->state = StateFailed;
        d->ended = true;
        Logger::log(Logger::VMG1, "delete job aborted by user");
        emit jobAborted();
        return;
    }
    switch (d->state) {
    case StateNext:
        if (d->work.empty()) {
            d->state = StateDone;
            startTimer(0, ActionStep, __LINE__);
            break;
        }
        if (!d->peer || !d->peer->vfsClient()) {
            d->state = StateFailed;
            startTimer(0, ActionStep, __LINE__);
            break;
        }
        if (timer())
            timer()->stop();
        if (d->cut && isDirectory(d->work.back()) && !d->listedEmpty) {
            // Look first: whatever is in it now was not copied.
            d->state = StateListing;
            {
                QMutexLocker lock(&d->listing->mutex);
                d->listing->jobStatus = VfsClientJob::JobQueued;
                d->listing->status = 0;
                d->listing->path = d->work.back().path;
                d->listing->watch = 0;
                d->listing->entries.clear();
            }
            d->listing.send(d->peer->vfsClient(), &VfsClient::listDirectory);
            break;
        }
        d->state = StateWaiting;
        d->request->jobStatus = VfsClientJob::JobQueued;
        d->request->status = 0;
        // A cut never trashes, and never removes a directory that is not
        // empty (on a server that knows the flag).
        d->request->flags = d->cut
            ? (d->flags & ~quint32(FlagTrash)) | VfsMirkCommand::DeleteOnlyEmpty
            : d->flags;
        d->request->path = d->work.back().path;
        d->request->failedPath.clear();
        d->request.send(d->peer->vfsClient(), &VfsClient::deleteFile);
        break;
    case StateWaiting: {
        if (action != ActionUpdate) {
            if (d->request.isOut())
                break; // a stray step while the reply is still out
            Logger::log(Logger::VMG1, "delete job state %d unhandled action %d", int(d->state),
                        action);
            d->state = StateFailed;
            startTimer(0, ActionStep, __LINE__);
            break;
        }
        const VfsDeleteFileJob& r = *d->request.get();
        const QByteArray path = d->work.back().path.toUtf8();
        if (r.jobStatus == VfsClientJob::JobFailed) {
            d->state = StateFailed;
        } else if (d->cut && r.jobStatus == VfsClientJob::JobFinished) {
            if (r.status == FSO_STATUS_OK || r.status == FSO_STATUS_NOT_FOUND) {
                Logger::log(Logger::VMG1, "cut: deleted %s (status %u)", path.constData(),
                            unsigned(r.status));
                d->next();
            } else if (r.status == FSO_STATUS_NOT_EMPTY) {
                d->keep(this, notEmptyReason());
            } else {
                d->keep(this, failureReason(r.status));
            }
        } else if (r.jobStatus != VfsClientJob::JobFinished) {
            Logger::log(Logger::VMG1, "delete job unhandled jobStatus %d", int(r.jobStatus));
            d->state = StateFailed;
        } else if (r.status == FSO_STATUS_OK) {
            Logger::log(Logger::VMG1, "deleted file %s", path.constData());
            d->work.pop_back();
            d->state = StateNext;
            emit jobUpdated(); // one more item done: remainingItems() is shorter
        } else if (r.status == FSO_STATUS_NOT_SUPPORTED && (d->flags & FlagTrash)) {
            Logger::log(Logger::VMG1, "failed to trash file %s, error 0x%02X", path.constData(),
                        unsigned(r.status));
            d->state = StateNext;
            emit trashFailedAskDelete();
            return; // the owner answers
        } else {
            Logger::log(Logger::VMG1, "failed to delete item %s, error 0x%02X", path.constData(),
                        unsigned(r.status));
            d->state = StateFailed;
        }
        startTimer(0, ActionStep, __LINE__);
        break;
    }
    case StateListing: {
        if (action != ActionUpdate) {
            if (d->listing.isOut())
                break;
            d->state = StateFailed;
            startTimer(0, ActionStep, __LINE__);
            break;
        }
        quint32 jobStatus;
        quint8 status;
        size_t entries;
        {
            QMutexLocker lock(&d->listing->mutex);
            jobStatus = d->listing->jobStatus;
            status = d->listing->status;
            entries = d->listing->entries.size();
            d->listing->entries.clear();
        }
        if (status == FSO_STATUS_TIMEOUT) {
            d->state = StateFailed; // the peer is gone: stop, as a plain delete does
        } else if (status == FSO_STATUS_NOT_FOUND) {
            d->next(); // gone already
        } else if (jobStatus != VfsClientJob::JobFinished || status != FSO_STATUS_COMPLETE) {
            d->keep(this, failureReason(status));
        } else if (entries > 0) {
            d->keep(this, notEmptyReason());
        } else {
            d->listedEmpty = true;
            d->state = StateNext;
        }
        startTimer(0, ActionStep, __LINE__);
        break;
    }
    case StateDone:
        d->ended = true;
        emit jobFinished();
        break;
    case StateFailed:
        d->ended = true;
        emit jobAborted();
        break;
    default:
        break;
    }
}
