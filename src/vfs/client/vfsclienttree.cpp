#include "vfs/client/vfsclientvelm_p.h"

#include "vfs/protocol/vfsmirkcommandwriter.h"

// --- Request frames and log texts ---------------------------------------------

QByteArray buildFrame(VfsMoveJob* job, Request& r)
{
    if (job->sourcePath.isEmpty() || job->destinationPath.isEmpty())
        return QByteArray();
    return VfsMirkCommandWriter::moveRequest(r.trId, job->flags, utf8(job->sourcePath),
                                             utf8(job->destinationPath));
}

void logSent(const VfsMoveJob* job, const Request& r)
{
    const QByteArray source = job->sourcePath.toUtf8();
    const QByteArray destination = job->destinationPath.toUtf8();
    Logger::log(Logger::VCLI, "send MOVE request TrId %u, src: %s, dst: %s", unsigned(r.trId),
                source.constData(), destination.constData());
    Logger::log(Logger::VCLI, "send move req TrId %u %s --> %s", unsigned(r.trId),
                source.constData(), destination.constData());
}

QByteArray logName(const VfsMoveJob*, const Request&)
{
    return "move job";
}

QByteArray buildFrame(VfsDeleteFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::deleteFileRequest(r.trId, job->flags, utf8(job->path));
}

void logSent(const VfsDeleteFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send delete file req TrId %u %s", unsigned(r.trId),
                job->path.toUtf8().constData());
}

QByteArray logName(const VfsDeleteFileJob*, const Request&)
{
    return "delete file job";
}

QByteArray buildFrame(VfsMakeDirectoryJob* job, Request& r)
{
    return VfsMirkCommandWriter::makeDirectoryRequest(r.trId, job->flags, VfsMirkFieldMask(),
                                                      utf8(job->path));
}

void logSent(const VfsMakeDirectoryJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send make directory req TrId %u %s", unsigned(r.trId),
                job->path.toUtf8().constData());
}

QByteArray logName(const VfsMakeDirectoryJob*, const Request&)
{
    return "make directory job";
}

// --- Replies ----------------------------------------------------------------

void VfsClientVelmPrivate::processMoveResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsMoveJob>* p = awaiting(moveJobs, cmd.trId);
    if (!p)
        return;
    QMutexLocker jobLock(&p->job->mutex);
    finish(*p, cmd.status);
}

void VfsClientVelmPrivate::processDeleteFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsDeleteFileJob>* p = awaiting(deleteFileJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    if (cmd.pathLength > 0 && cmd.status != FSO_STATUS_OK)
        p->job->failedPath = QString::fromUtf8(cmd.pathBytes());
    else
        p->job->failedPath.clear();
}

void VfsClientVelmPrivate::processMakeDirectoryResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsMakeDirectoryJob>* p = awaiting(makeDirectoryJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    p->job->existing = cmd.existing;
}

// --- Requests ---------------------------------------------------------------

void VfsClientVelm::move(VfsMoveJob* job)
{
    if (d->queue(d->moveJobs, job, VfsClientJob::JobQueued))
        d->kickQueued();
}

void VfsClientVelm::deleteFile(VfsDeleteFileJob* job)
{
    if (d->queue(d->deleteFileJobs, job, VfsClientJob::JobQueued))
        d->kickQueued();
}

void VfsClientVelm::makeDirectory(VfsMakeDirectoryJob* job)
{
    if (d->queue(d->makeDirectoryJobs, job, VfsClientJob::JobQueued))
        d->kickQueued();
}
