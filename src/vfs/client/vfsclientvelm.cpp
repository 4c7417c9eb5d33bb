#include "vfs/client/vfsclientvelm_p.h"

#include <QRandomGenerator>

namespace {

using C = VfsMirkCommand;

} // namespace

VfsClientVelmPrivate::VfsClientVelmPrivate(VfsClientVelm* client) : q(client)
{
    // A random start in 0 to 65534.
    trIdCounter = quint16((quint64(QRandomGenerator::global()->generate()) * 65535) >> 32);
}

quint16 VfsClientVelmPrivate::takeTrId()
{
    // Wraps from 65535 to 0.
    return trIdCounter++;
}

bool VfsClientVelmPrivate::allEmpty() const
{
    return pendingCount() == 0;
}

int VfsClientVelmPrivate::pendingCount() const
{
    return int(listDirectoryJobs.size() + listDrivesJobs.size() + moveJobs.size()
               + openFileJobs.size() + closeFileJobs.size() + readFileJobs.size()
               + writeFileJobs.size() + deleteFileJobs.size() + hashFileJobs.size()
               + makeDirectoryJobs.size());
}

void VfsClientVelmPrivate::runAllTables(Outbox& out)
{
    runTable(listDirectoryJobs, out);
    runTable(listDrivesJobs, out);
    runTable(moveJobs, out);
    runTable(openFileJobs, out);
    runTable(closeFileJobs, out);
    runTable(readFileJobs, out);
    runTable(writeFileJobs, out);
    runTable(deleteFileJobs, out);
    runTable(hashFileJobs, out);
    runTable(makeDirectoryJobs, out);
}

void VfsClientVelmPrivate::deliver(Outbox& out)
{
    for (const QByteArray& frame : out.frames)
        emit q->fsoTransmit(frame);
    if (!out.frames.empty())
        emit q->transmit();
    if (out.listDirectory)
        emit q->listDirectoryUpdate(out.listDirectory);
    if (out.listDrives)
        emit q->listDrivesUpdate(out.listDrives);
    if (out.move)
        emit q->moveUpdate(out.move);
    if (out.openFile)
        emit q->openFileUpdate(out.openFile);
    if (out.closeFile)
        emit q->closeFileUpdate(out.closeFile);
    if (out.readFile) {
        Logger::log(Logger::VCLI, "emit readFileUpdate(job), job %p",
                    static_cast<void*>(out.readFile));
        emit q->readFileUpdate(out.readFile);
    }
    if (out.writeFile)
        emit q->writeFileUpdate(out.writeFile);
    if (out.deleteFile)
        emit q->deleteFileUpdate(out.deleteFile);
    if (out.hashFile)
        emit q->hashFileUpdate(out.hashFile);
    if (out.makeDirectory)
        emit q->makeDirectoryUpdate(out.makeDirectory);
}

void VfsClientVelmPrivate::startJobTimer(int interval)
{
    if (!onClientThread()) {
        QMetaObject::invokeMethod(
            q, [this, interval] { startJobTimer(interval); }, Qt::QueuedConnection);
        return;
    }
    if (interval == 0) {
        if (!jobTimer->isActive() || jobTimer->interval() != 0)
            jobTimer->start(0);
    } else if (!jobTimer->isActive()) {
        jobTimer->start(interval);
    }
}

void VfsClientVelmPrivate::kickQueued()
{
    QMetaObject::invokeMethod(q, "jobTimerFired", Qt::QueuedConnection);
}

void VfsClientVelmPrivate::processDirectoryChangedNotification(const VfsMirkCommand& cmd)
{
    emit q->directoryChanged(QString::fromUtf8(cmd.pathBytes()));
}

// --- VfsClientVelm ----------------------------------------------------------

VfsClientVelm::VfsClientVelm(QObject* parent)
    : VfsClient(parent), d(new VfsClientVelmPrivate(this))
{
    qRegisterMetaType<VfsMirkCommand*>("VfsMirkCommand*");
    d->jobTimer = new QTimer(this);
    d->jobTimer->setSingleShot(true);
    connect(d->jobTimer, &QTimer::timeout, this, &VfsClientVelm::jobTimerFired);
}

VfsClientVelm::~VfsClientVelm() = default;

void VfsClientVelm::setProtocolVersion(quint16 version)
{
    QMutexLocker lock(&d->tableLock);
    d->protocolVersion = version;
}

quint16 VfsClientVelm::protocolVersion() const
{
    QMutexLocker lock(&d->tableLock);
    return d->protocolVersion;
}

void VfsClientVelm::setTimeouts(int requestTimeout, int transferTimeout)
{
    QMutexLocker lock(&d->tableLock);
    d->requestTimeout = requestTimeout;
    d->transferTimeout = transferTimeout;
}

void VfsClientVelm::setListingLimit(qint64 bytes)
{
    QMutexLocker lock(&d->tableLock);
    d->listingLimit = bytes;
}

quint16 VfsClientVelm::nextTrId() const
{
    QMutexLocker lock(&d->tableLock);
    return d->trIdCounter;
}

void VfsClientVelm::setNextTrId(quint16 trId)
{
    QMutexLocker lock(&d->tableLock);
    d->trIdCounter = trId;
}

int VfsClientVelm::pendingJobs() const
{
    QMutexLocker lock(&d->tableLock);
    return d->pendingCount();
}

void VfsClientVelm::processIncomingCommand(VfsMirkCommand* cmd)
{
    if (!cmd)
        return;
    Logger::log(Logger::VCLI, "processIncomingCommand() thread: %p",
                static_cast<void*>(QThread::currentThread()));
    VfsClientVelmPrivate::Outbox out;
    int timerInterval = -1;
    {
        QMutexLocker lock(&d->tableLock);
        // A reply to a request on an open file (and to a move, a delete or a
        // new folder) runs its table at once: the record goes back on this
        // pass, not on the next tick of the job timer, which hands back one
        // record per table and tick (a burst of replies would otherwise
        // come back one per millisecond).
        switch (cmd->command) {
        case C::ListDrives | C::ReplyBit:
            Logger::log(Logger::VCLI, "process LIST_DRIVES response TrId %u drives.size %u",
                        unsigned(cmd->trId), unsigned(cmd->count));
            d->processListDrivesResponse(*cmd);
            break;
        case C::ListDirectory | C::ReplyBit:
            Logger::log(Logger::VCLI, "process LIST_DIRECTORY response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processListDirectoryResponse(*cmd);
            break;
        case C::QueryListDirectory | C::ReplyBit:
            Logger::log(Logger::VCLI,
                        "process QUERY_LIST_DIRECTORY response TrId %u status %u index %u size %u",
                        unsigned(cmd->trId), unsigned(cmd->status), unsigned(cmd->index),
                        unsigned(cmd->count));
            d->processQueryListDirectoryResponse(*cmd);
            break;
        case C::DirectoryChanged:
            Logger::log(Logger::VCLI, "process DIRECTORY_CHANGED notification, path %s",
                        cmd->pathBytes().constData());
            break; // emitted below, outside the lock
        case C::Move | C::ReplyBit:
            Logger::log(Logger::VCLI, "process MOVE response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processMoveResponse(*cmd);
            d->runTable(d->moveJobs, out);
            timerInterval = 0;
            break;
        case C::OpenFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process OPEN_FILE response TrId %u status %u handle %u",
                        unsigned(cmd->trId), unsigned(cmd->status), unsigned(cmd->handle));
            d->processOpenFileResponse(*cmd);
            d->runTable(d->openFileJobs, out);
            timerInterval = 1;
            break;
        case C::CloseFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process CLOSE_FILE response TrId %u status %u handle %u",
                        unsigned(cmd->trId), unsigned(cmd->status), unsigned(cmd->handle));
            d->processCloseFileResponse(*cmd);
            d->runTable(d->closeFileJobs, out);
            timerInterval = 1;
            break;
        case C::ReadFile | C::ReplyBit:
            Logger::log(Logger::VCLI,
                        "process READ_FILE response TrId %u status %u, offset: %llu, size: %u",
                        unsigned(cmd->trId), unsigned(cmd->status),
                        static_cast<unsigned long long>(cmd->offset), unsigned(cmd->dataLength));
            d->processReadFileResponse(*cmd);
            d->runTable(d->readFileJobs, out);
            timerInterval = 1;
            break;
        case C::WriteFile | C::ReplyBit:
            Logger::log(Logger::VCLI,
                        "process WRITE_FILE response TrId %u status %u, offset: %llu, size: %u",
                        unsigned(cmd->trId), unsigned(cmd->status),
                        static_cast<unsigned long long>(cmd->offset), unsigned(cmd->written));
            d->processWriteFileResponse(*cmd);
            d->runTable(d->writeFileJobs, out);
            timerInterval = 1;
            break;
        case C::DeleteFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process DELETE_FILE response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processDeleteFileResponse(*cmd);
            d->runTable(d->deleteFileJobs, out);
            timerInterval = 0;
            break;
        case C::HashFile | C::ReplyBit:
            Logger::log(Logger::VCLI, "process HASH_FILE response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processHashFileResponse(*cmd);
            d->runTable(d->hashFileJobs, out);
            timerInterval = 0;
            break;
        case C::MakeDirectory | C::ReplyBit:
            Logger::log(Logger::VCLI, "process MAKE_DIRECTORY response TrId %u status %u",
                        unsigned(cmd->trId), unsigned(cmd->status));
            d->processMakeDirectoryResponse(*cmd);
            d->runTable(d->makeDirectoryJobs, out);
            timerInterval = 0;
            break;
        default:
            Logger::log(Logger::VCLI, "drop unknown command 0x%02X", unsigned(cmd->command));
            break;
        }
    }
    d->deliver(out);
    if (timerInterval >= 0)
        d->startJobTimer(timerInterval);
    if (cmd->command == C::DirectoryChanged)
        d->processDirectoryChangedNotification(*cmd);
    emit processedCommand(cmd);
}

void VfsClientVelm::jobTimerFired()
{
    VfsClientVelmPrivate::Outbox out;
    {
        QMutexLocker lock(&d->tableLock);
        if (d->allEmpty()) {
            Logger::log(Logger::VCLI, "all jobs done");
            d->jobTimer->stop();
            return;
        }
        d->runAllTables(out);
    }
    d->deliver(out);
    d->startJobTimer(1);
}

void VfsClientVelm::onRxOngoing()
{
    d->rxActivity.restart();
}

void VfsClientVelm::failPending()
{
    int failed = 0;
    {
        QMutexLocker lock(&d->tableLock);
        d->failAll(d->listDirectoryJobs, &failed);
        d->failAll(d->listDrivesJobs, &failed);
        d->failAll(d->moveJobs, &failed);
        d->failAll(d->openFileJobs, &failed);
        d->failAll(d->closeFileJobs, &failed);
        d->failAll(d->readFileJobs, &failed);
        d->failAll(d->writeFileJobs, &failed);
        d->failAll(d->deleteFileJobs, &failed);
        d->failAll(d->hashFileJobs, &failed);
        d->failAll(d->makeDirectoryJobs, &failed);
    }
    if (failed == 0)
        return;
    Logger::log(Logger::VCLI, "link down: %d requests failed", failed);
    // The table runs hand them back, one per table and run.
    d->startJobTimer(0);
}

void VfsClientVelm::onThreadFinished()
{
    d->jobTimer->stop();
    QMutexLocker lock(&d->tableLock);
    d->listDirectoryJobs.clear();
    d->openFileJobs.clear();
    d->readFileJobs.clear();
    d->writeFileJobs.clear();
    d->makeDirectoryJobs.clear();
}
