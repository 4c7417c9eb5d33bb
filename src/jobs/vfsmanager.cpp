#include "jobs/vfsmanager.h"

#include "core/logger.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "jobs/vfscopyjob.h"
#include "jobs/vfsdeletejob.h"
#include "jobs/vfsjobmodel.h"
#include "jobs/vfsmoveexjob.h"
#include "models/vfsmodel.h"

#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>

class VfsManagerPrivate
{
public:
    QPointer<PeerModel> peers;
    QPointer<QObject> ioParent;
    QMutex mutex; // orders concurrent addJob() calls

    IPeer* peer(const QString& uuid) const
    {
        return peers ? peers->getPeerForUuid(uuid) : nullptr;
    }
};

VfsManager::VfsManager(PeerModel* peers, QObject* ioParent, QObject* parent)
    : QObject(parent), d(new VfsManagerPrivate)
{
    qRegisterMetaType<VfsCopyDto>();
    d->peers = peers;
    d->ioParent = ioParent;
}

VfsManager::~VfsManager() = default;

void VfsManager::addJob(VfsJob* job)
{
    QMutexLocker lock(&d->mutex);
    if (VfsJobModel* model = VfsJobModel::instance())
        model->addJob(job);
}

void VfsManager::copy(const VfsCopyDto& request)
{
    IPeer* destination = d->peer(request.dstPeerUuid);
    IPeer* source = d->peer(request.srcPeerUuid);
    if (!destination || !source || !d->ioParent) {
        Logger::log(Logger::VMG1, "copy rejected due unknown src or dst peer");
        return;
    }
    auto* job = new VfsCopyJob(requestPart(request));
    job->setPeers(source, destination);
    job->moveToThread(d->ioParent->thread());
    job->setParent(d->ioParent);

    // The job deletes itself soon after it finishes: what it verified is
    // read on its own thread as it finishes, and handed over by value.
    QPointer<VfsManager> self(this);
    connect(
        job, &VfsJob::jobFinished, job,
        [self, job] {
            const VfsCopyDto done = job->request();
            const std::vector<VfsCopyItem> verified = job->verifiedItems();
            const bool whole = job->failedItems().empty();
            if (!self)
                return;
            QMetaObject::invokeMethod(
                self.data(), [self, done, verified, whole] {
                    if (!self)
                        return;
                    if (!whole)
                        emit self->copyFailed(requestPart(done));
                    self->onCopyJobFinished(done, verified);
                },
                Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    // An aborted copy leaves everything in place; only its end is told.
    connect(
        job, &VfsJob::jobAborted, job,
        [self, job] {
            const VfsCopyDto done = job->request();
            if (!self)
                return;
            QMetaObject::invokeMethod(
                self.data(), [self, done] {
                    if (self)
                        emit self->copyFailed(requestPart(done));
                },
                Qt::QueuedConnection);
        },
        Qt::DirectConnection);

    addJob(job);
    QMetaObject::invokeMethod(job, "start", Qt::QueuedConnection);
}

void VfsManager::move(const VfsCopyDto& request)
{
    IPeer* destination = d->peer(request.dstPeerUuid);
    IPeer* source = d->peer(request.srcPeerUuid);
    if (!destination || !source) {
        Logger::log(Logger::VMG1, "move rejected due unknown src or dst peer");
        return;
    }
    auto* job = new VfsMoveExJob(request, this);
    job->setPeers(source, destination);
    connect(job, &VfsJob::jobFinished, this, &VfsManager::onMoveJobFinished);
    connect(job, &VfsJob::jobAborted, this, &VfsManager::onMoveJobAborted);
    addJob(job);
    job->start();
}

void VfsManager::onCopyJobFinished(const VfsCopyDto& request,
                                   const std::vector<VfsCopyItem>& verified)
{
    // The new files show without waiting for a change notice.
    if (!request.dstPath.isEmpty()) {
        IPeer* destination = d->peer(request.dstPeerUuid);
        auto* model = destination ? qobject_cast<VfsModel*>(destination->vfsFileSystemModel())
                                  : nullptr;
        const QModelIndex index = model ? model->indexForPath(request.dstPath) : QModelIndex();
        if (index.isValid())
            model->fetchMore(index);
    }
    if (request.move && !verified.empty()) {
        IPeer* source = d->peer(request.srcPeerUuid);
        if (!source) {
            Logger::log(Logger::VMG1, "cut: source peer %s is gone, nothing deleted",
                        qUtf8Printable(request.srcPeerUuid));
        } else {
            // Only what the copy verified, and a directory only when nothing
            // else arrived in it meanwhile: the delete job's cut.
            auto* job = new VfsDeleteJob(this);
            job->setFlags(2);
            job->setCut(true);
            job->setRequestId(request.id);
            connect(job, &VfsJob::jobFinished, job, &QObject::deleteLater);
            connect(job, &VfsJob::jobAborted, job, &QObject::deleteLater);
            job->setPeer(source);
            Logger::log(Logger::VMG1, "delete from peer %s", qUtf8Printable(request.srcPeerUuid));
            // Verified items come children first; handed over in reverse, as
            // a plain delete job would want them (the cut orders them itself).
            std::vector<VfsDeleteItem> items;
            items.reserve(verified.size());
            for (auto it = verified.rbegin(); it != verified.rend(); ++it) {
                VfsDeleteItem item;
                item.path = it->path;
                item.size = it->size;
                item.type = quint64(it->type);
                Logger::log(Logger::VMG1, "\t%s %llu %d", qUtf8Printable(item.path),
                            static_cast<unsigned long long>(item.size), int(it->type));
                items.push_back(item);
            }
            job->setItems(items);
            addJob(job);
            job->start();
        }
    }
    emit copyFinished(requestPart(request));
}

void VfsManager::onMoveJobFinished()
{
    auto* job = qobject_cast<VfsMoveExJob*>(sender());
    if (!job)
        return;
    const VfsCopyDto fallback = job->fallback();
    if (!fallback.entries.empty())
        copy(fallback);
    job->deleteLater();
}

void VfsManager::onMoveJobAborted()
{
    if (QObject* job = sender())
        job->deleteLater();
}
