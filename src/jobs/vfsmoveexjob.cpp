#include "jobs/vfsmoveexjob.h"

#include "core/logger.h"
#include "jobs/vfsrequestrecord.h"
#include "models/vfsmodel.h"
#include "peer/ipeer.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfsmovejob.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsentryname.h"

#include <QMutexLocker>
#include <QPointer>
#include <QUuid>

namespace {

enum State : quint32 {
    StateNotStarted = 0,
    StateNext = 1,
    StateWaiting = 2,
    StateFailed = 3,
    StateDone = 4,
};

VfsModel* fileModelOf(IPeer* peer)
{
    return peer ? qobject_cast<VfsModel*>(peer->vfsFileSystemModel()) : nullptr;
}

// The item's name as the source peer's file model holds it; empty when the
// model has no entry for the path or the name is no usable entry name.
QString nameOf(IPeer* sourcePeer, const QString& path)
{
    const VfsModel* model = fileModelOf(sourcePeer);
    if (!model)
        return QString();
    const QModelIndex index = model->indexForPath(path);
    if (!index.isValid())
        return QString();
    const QString name = model->data(index, VfsModel::NameRole).toString();
    return isSafeEntryName(name.toUtf8()) ? name : QString();
}

// The destination directory and name joined with the destination peer's
// separator.
QString joined(IPeer* destinationPeer, const QString& directory, const QString& name)
{
    const VfsModel* model = fileModelOf(destinationPeer);
    const QChar separator = model ? model->pathSeparator() : QLatin1Char('/');
    return directory.endsWith(separator) ? directory + name : directory + separator + name;
}

} // namespace

class VfsMoveExJobPrivate
{
public:
    VfsCopyDto request;
    VfsCopyDto fallback;
    quint32 state = StateNotStarted;
    bool ended = false;
    QPointer<IPeer> sourcePeer;
    QPointer<IPeer> destinationPeer;
    int index = 0;
    VfsRequestRecord<VfsMoveJob> move{&VfsClient::moveUpdate};
};

VfsMoveExJob::VfsMoveExJob(const VfsCopyDto& request, QObject* parent)
    : VfsJob(parent), d(new VfsMoveExJobPrivate)
{
    setType(QStringLiteral("move"));
    d->request = requestPart(request);
}

VfsMoveExJob::~VfsMoveExJob()
{
    d->move.release(d->sourcePeer ? d->sourcePeer->vfsClient() : nullptr);
}

VfsCopyDto VfsMoveExJob::request() const { return d->request; }

void VfsMoveExJob::setPeers(IPeer* source, IPeer* destination)
{
    d->sourcePeer = source;
    d->destinationPeer = destination;
}

VfsCopyDto VfsMoveExJob::fallback() const { return d->fallback; }

void VfsMoveExJob::abort()
{
}

void VfsMoveExJob::onMoveUpdate(VfsMoveJob* job)
{
    if (d->state != StateWaiting || !d->move.takeBack(job))
        return;
    process(ActionUpdate);
}

void VfsMoveExJob::process(int action)
{
    if (d->ended)
        return;
    switch (d->state) {
    case StateNotStarted:
        d->state = StateNext;
        if (d->sourcePeer && d->sourcePeer->vfsClient())
            d->move.watch(d->sourcePeer->vfsClient(), this, &VfsMoveExJob::onMoveUpdate);
        d->fallback.id = QUuid::createUuid().toString();
        d->fallback.srcPeerUuid = d->request.srcPeerUuid;
        d->fallback.dstPeerUuid = d->request.dstPeerUuid;
        d->fallback.dstPath = d->request.dstPath;
        d->fallback.move = 1;
        startTimer(1, ActionStep, __LINE__);
        break;
    case StateNext: {
        if (action != ActionStep)
            break;
        QMutexLocker lock(&d->move->mutex);
        if (d->index >= int(d->request.entries.size())) {
            d->state = StateDone;
            startTimer(1, ActionStep, __LINE__);
            break;
        }
        const VfsCopyItem& item = d->request.entries.at(size_t(d->index));
        if (d->request.srcPeerUuid == d->request.dstPeerUuid) {
            const QString name = nameOf(d->sourcePeer, item.path);
            VfsClient* client = d->sourcePeer ? d->sourcePeer->vfsClient() : nullptr;
            if (name.isEmpty() || !client) {
                Logger::log(Logger::VMG1, "move: no name for %s in the source's file model",
                            qUtf8Printable(item.path));
                d->state = StateFailed;
                startTimer(1, ActionStep, __LINE__);
                break;
            }
            d->move->jobStatus = VfsClientJob::JobQueued;
            d->move->status = 0;
            d->move->flags = VfsMoveJob::RefuseCrossDevice | VfsMoveJob::RefuseExisting;
            d->move->sourcePath = item.path;
            d->move->destinationPath = joined(d->destinationPeer, d->request.dstPath, name);
            Logger::log(Logger::VMG1, "move %s to %s", qUtf8Printable(d->move->sourcePath),
                        qUtf8Printable(d->move->destinationPath));
            d->state = StateWaiting;
            lock.unlock();
            d->move.send(client, &VfsClient::move);
        } else {
            d->move->jobStatus = VfsClientJob::JobFinished;
            d->move->status = FSO_STATUS_CROSS_DEVICE;
            d->state = StateWaiting;
            startTimer(1, ActionUpdate, __LINE__);
        }
        break;
    }
    case StateWaiting: {
        if (action != ActionUpdate)
            break;
        QMutexLocker lock(&d->move->mutex);
        const quint8 status =
            d->move->jobStatus == VfsClientJob::JobFinished ? d->move->status : FSO_STATUS_TIMEOUT;
        if (status == FSO_STATUS_OK) {
            Logger::log(Logger::VMG1, "\tmove item SUCCESS");
        } else if (status == FSO_STATUS_EXISTS || status == FSO_STATUS_CROSS_DEVICE) {
            Logger::log(Logger::VMG1, "\tmove item skipped, status: 0x%02X", unsigned(status));
            d->fallback.entries.push_back(d->request.entries.at(size_t(d->index)));
        } else {
            Logger::log(Logger::VMG1, "\tmove item failed status 0x%02X", unsigned(status));
            d->state = StateFailed;
        }
        if (d->state != StateFailed) {
            ++d->index;
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
