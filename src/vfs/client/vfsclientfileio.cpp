#include "vfs/client/vfsclientvelm_p.h"

#include "vfs/protocol/vfsmirkcommandwriter.h"

#include <cstring>

namespace {

using C = VfsMirkCommand;

} // namespace

// --- Request frames and log texts ---------------------------------------------

QByteArray buildFrame(VfsOpenFileJob* job, Request& r)
{
    if (job->path.isEmpty())
        return QByteArray();
    return VfsMirkCommandWriter::openFileRequest(r.trId, r.version, r.flags, r.fields,
                                                 job->accessTime, job->birthTime,
                                                 job->modificationTime, job->size,
                                                 utf8(job->path));
}

void logSent(const VfsOpenFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send open file req TrId %u %s", unsigned(r.trId),
                job->path.toUtf8().constData());
}

QByteArray logName(const VfsOpenFileJob*, const Request&)
{
    return "open file job";
}

QByteArray buildFrame(VfsCloseFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::closeFileRequest(r.trId, job->flags, job->handle);
}

void logSent(const VfsCloseFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send close file req TrId %u handle: %u", unsigned(r.trId),
                unsigned(job->handle));
}

QByteArray logName(const VfsCloseFileJob* job, const Request&)
{
    return "close file job, handle: " + QByteArray::number(job->handle);
}

QByteArray buildFrame(VfsReadFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::readFileRequest(r.trId, job->flags, job->handle, job->offset,
                                                 job->size);
}

void logSent(const VfsReadFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send READ_FILE req TrId %u, handle: %u, offset: %llu, size: %u",
                unsigned(r.trId), unsigned(job->handle),
                static_cast<unsigned long long>(job->offset), unsigned(job->size));
}

QByteArray logName(const VfsReadFileJob*, const Request& r)
{
    return "read file job TrId " + QByteArray::number(r.trId);
}

QByteArray buildFrame(VfsWriteFileJob* job, Request& r)
{
    if (job->size < 1 || job->size > quint32(VfsWriteFileJob::MaxData))
        return QByteArray();
    return VfsMirkCommandWriter::writeFileRequest(r.trId, job->flags, job->handle, job->offset,
                                                  job->data, int(job->size));
}

void logSent(const VfsWriteFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send WRITE_FILE req TrId %u handle: %u, offset: %llu, size: %u",
                unsigned(r.trId), unsigned(job->handle),
                static_cast<unsigned long long>(job->offset), unsigned(job->size));
}

QByteArray logName(const VfsWriteFileJob*, const Request& r)
{
    return "write file job TrId " + QByteArray::number(r.trId);
}

QByteArray buildFrame(VfsHashFileJob* job, Request& r)
{
    return VfsMirkCommandWriter::hashFileRequest(r.trId, job->flags, job->handle, job->count,
                                                 job->blockSize, job->offset);
}

void logSent(const VfsHashFileJob* job, const Request& r)
{
    Logger::log(Logger::VCLI, "send HASH_FILE req TrId %u, handle: %u, offset: %llu",
                unsigned(r.trId), unsigned(job->handle),
                static_cast<unsigned long long>(job->offset));
}

QByteArray logName(const VfsHashFileJob*, const Request&)
{
    return "hash file job";
}

// --- Replies ----------------------------------------------------------------

void VfsClientVelmPrivate::processOpenFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsOpenFileJob>* p = awaiting(openFileJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    p->job->handle = cmd.handle;
}

void VfsClientVelmPrivate::processCloseFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsCloseFileJob>* p = awaiting(closeFileJobs, cmd.trId);
    if (!p)
        return;
    p->job->status = cmd.status;
    p->job->handle = cmd.handle;
    p->request.state = RequestDone;
}

void VfsClientVelmPrivate::processReadFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsReadFileJob>* p = find(readFileJobs, cmd.trId);
    if (!p)
        return;
    VfsReadFileJob* job = p->job;
    if (job->jobStatus != VfsClientJob::JobRunning || p->request.state != RequestSent) {
        Logger::log(Logger::VCLI, "read file job TrId %u, rsp while not in state JobRunning",
                    unsigned(cmd.trId));
        return;
    }
    p->request.state = RequestDone;
    // The data is written at the offset that was asked for: a reply for
    // another offset, or with more bytes than were asked for, must not be
    // taken. A success without data is malformed too (the server answers an
    // empty read with an error).
    const quint32 wanted = std::min<quint32>(job->size, VfsReadFileJob::MaxData);
    const quint32 length = cmd.dataLength;
    const char* fault = nullptr;
    if (cmd.offset != job->offset)
        fault = "reply for another offset";
    else if (length > wanted)
        fault = "more data than asked for";
    else if (cmd.status == FSO_STATUS_OK && length == 0)
        fault = "success without data";
    if (fault) {
        Logger::log(Logger::ERR1,
                    "read file job TrId %u failed: %s (offset %llu/%llu, size %u/%u)",
                    unsigned(cmd.trId), fault, static_cast<unsigned long long>(cmd.offset),
                    static_cast<unsigned long long>(job->offset), unsigned(length),
                    unsigned(wanted));
        fail(*p, FSO_STATUS_IO_ERROR);
        job->length = 0;
        return;
    }
    job->status = cmd.status;
    job->length = length;
    if (length > 0)
        std::memcpy(job->data, cmd.data, length);
}

void VfsClientVelmPrivate::processWriteFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsWriteFileJob>* p = awaiting(writeFileJobs, cmd.trId);
    if (!p)
        return;
    VfsWriteFileJob* job = p->job;
    p->request.state = RequestDone;
    if (cmd.written > job->size) {
        Logger::log(Logger::ERR1, "write file job TrId %u failed: %u bytes written of %u",
                    unsigned(cmd.trId), unsigned(cmd.written), unsigned(job->size));
        fail(*p, FSO_STATUS_IO_ERROR);
        job->written = 0;
        return;
    }
    job->status = cmd.status;
    job->written = cmd.written;
}

void VfsClientVelmPrivate::processHashFileResponse(const VfsMirkCommand& cmd)
{
    Pending<VfsHashFileJob>* p = awaiting(hashFileJobs, cmd.trId);
    if (!p)
        return;
    finish(*p, cmd.status);
    VfsHashFileJob* job = p->job;
    job->replyFlags = quint8(cmd.flags);
    job->digestsReceived = 0;
    job->digestBytes = 0;
    const quint32 bytes = cmd.digestLength;
    if (bytes == 0 || bytes > quint32(VfsHashFileJob::MaxDigestBytes))
        return;
    // One digest per block asked for, at most.
    if (cmd.count > job->count || bytes != quint32(cmd.count) * VfsHashFileJob::DigestSize) {
        Logger::log(Logger::ERR1, "hash file job TrId %u failed: %u digests for %u blocks",
                    unsigned(cmd.trId), unsigned(cmd.count), unsigned(job->count));
        fail(*p, FSO_STATUS_IO_ERROR);
        return;
    }
    job->digestsReceived = cmd.count;
    job->digestBytes = bytes;
    std::memcpy(job->digests, cmd.digests, bytes);
}

// --- Requests ---------------------------------------------------------------

void VfsClientVelm::openFile(VfsOpenFileJob* job)
{
    const auto fill = [this, job](Request& r) {
        const quint16 version = d->protocolVersion;
        quint32 flags = job->flags;
        quint32 timeFields = 0;
        bool sendTimes = false;
        // Times go out from version 2 on, for opens that write or only set
        // times; the birth time never does.
        if (version >= 2 && (flags & (C::OpenWrite | C::OpenTimes))) {
            if (job->accessTime > 0) {
                flags |= C::OpenTimes;
                sendTimes = true;
                timeFields = C::TimeAccess;
                if (job->modificationTime > 0)
                    timeFields |= C::TimeModification;
            } else if (job->modificationTime > 0) {
                flags |= C::OpenTimes;
                sendTimes = true;
                timeFields = C::TimeModification;
            }
        }
        if (version != 2 && (flags & C::OpenTruncate))
            timeFields |= C::TimeSize;
        r.version = version;
        r.flags = flags;
        r.fields.clear();
        // The size travels only with the times' field mask.
        if (sendTimes)
            r.fields.set(0, timeFields);
    };
    if (d->queue(d->openFileJobs, job, VfsClientJob::JobQueued, fill))
        d->kickQueued();
}

void VfsClientVelm::closeFile(VfsCloseFileJob* job)
{
    if (d->queue(d->closeFileJobs, job, VfsClientJob::JobRunning))
        d->kickQueued();
}

void VfsClientVelm::readFile(VfsReadFileJob* job)
{
    if (d->queue(d->readFileJobs, job, VfsClientJob::JobRunning))
        d->kickNow(&VfsClientVelmPrivate::readFileJobs);
}

void VfsClientVelm::writeFile(VfsWriteFileJob* job)
{
    if (d->queue(d->writeFileJobs, job, VfsClientJob::JobRunning))
        d->kickNow(&VfsClientVelmPrivate::writeFileJobs);
}

void VfsClientVelm::hashFile(VfsHashFileJob* job)
{
    if (d->queue(d->hashFileJobs, job, VfsClientJob::JobQueued))
        d->kickNow(&VfsClientVelmPrivate::hashFileJobs);
}
