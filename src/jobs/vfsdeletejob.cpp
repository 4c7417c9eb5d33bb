#include "jobs/vfsdeletejob.h"

#include "core/logger.h"
#include "jobs/vfsrequestrecord.h"
#include "peer/ipeer.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfsdeletefilejob.h"
#include "vfs/protocol/fsostatus.h"

#include <QPointer>
#include <QTimer>

namespace {

enum State : quint32 {
    StateNotStarted = 0,
    StateNext = 1,
    StateWaiting = 2,
    StateFailed = 3,
    StateDone = 4,
};

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
};

VfsDeleteJob::VfsDeleteJob(QObject* parent)
    : VfsJob(parent), d(new VfsDeleteJobPrivate)
{
    setType(QStringLiteral("delete"));
}

VfsDeleteJob::~VfsDeleteJob()
{
    d->request.release(d->peer ? d->peer->vfsClient() : nullptr);
}

void VfsDeleteJob::setPeer(IPeer* peer) { d->peer = peer; }
IPeer* VfsDeleteJob::peer() const { return d->peer; }
void VfsDeleteJob::setFlags(quint32 flags) { d->flags = flags; }
quint32 VfsDeleteJob::flags() const { return d->flags; }
void VfsDeleteJob::setItems(const std::vector<VfsDeleteItem>& items) { d->items = items; }
const std::vector<VfsDeleteItem>& VfsDeleteJob::items() const { return d->items; }
const std::vector<VfsDeleteItem>& VfsDeleteJob::remainingItems() const { return d->work; }

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
            d->work = d->items;
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
        d->state = StateWaiting;
        d->request->jobStatus = VfsClientJob::JobQueued;
        d->request->status = 0;
        d->request->flags = d->flags;
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
        } else if (r.jobStatus != VfsClientJob::JobFinished) {
            Logger::log(Logger::VMG1, "delete job unhandled jobStatus %d", int(r.jobStatus));
            d->state = StateFailed;
        } else if (r.status == FSO_STATUS_OK) {
            Logger::log(Logger::VMG1, "deleted file %s", path.constData());
            d->work.pop_back();
            d->state = StateNext;
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
