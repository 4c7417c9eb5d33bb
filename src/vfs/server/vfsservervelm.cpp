#include "vfs/server/vfsservervelm_p.h"

#include "core/logger.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/server/vfsdesktoptrash.h"
#include "vfs/watch/vfswatcher.h"

#include <QThread>
#include <QTimer>

#include <cerrno>

namespace {

using C = VfsMirkCommand;

const QString kDrivesPath = QStringLiteral("%drives");

} // namespace

quint8 VfsServerVelmPrivate::refusal(const VfsPathGuard::Decision& decision)
{
    return decision.verdict == VfsPathGuard::Malformed ? FSO_STATUS_INVALID_PARAMETER
                                                       : FSO_STATUS_NOT_PERMITTED;
}

quint8 VfsServerVelmPrivate::writeFailure(int error)
{
    return error == ENOSPC || error == EDQUOT ? FSO_STATUS_NO_SPACE : FSO_STATUS_IO_ERROR;
}

int VfsServerVelmPrivate::faultOf(const std::shared_ptr<const VfsServerVelm::WriteFault>& fault,
                                  VfsServerVelm::WriteOperation operation,
                                  const QByteArray& nativePath)
{
    return fault && *fault ? (*fault)(operation, nativePath) : 0;
}

bool VfsServerVelmPrivate::exists(const QByteArray& nativePath, struct stat* st)
{
    struct stat local;
    return ::lstat(nativePath.constData(), st ? st : &local) == 0;
}

// --- the server ---------------------------------------------------------------

VfsServerVelm::VfsServerVelm(int accessMode, QObject* parent)
    : QObject(parent), d(new VfsServerVelmPrivate(this))
{
    qRegisterMetaType<VfsMirkCommand*>();
    d->accessMode = accessMode == Unrestricted ? VfsPathGuard::Unrestricted
                                               : VfsPathGuard::Restricted;
    d->trash.reset(new VfsDesktopTrash);
    d->driveSource = [] {
        VfsWatcher* watcher = VfsWatcher::instance();
        return watcher ? watcher->drives() : std::vector<DriveCache>();
    };

    if (VfsWatcher* watcher = VfsWatcher::instance()) {
        connect(watcher, &VfsWatcher::directoryChanged, this, &VfsServerVelm::directoryChanged,
                Qt::QueuedConnection);
    }
    connect(this, &VfsServerVelm::notifyDirectoryChanged, this,
            &VfsServerVelm::directoryChanged, Qt::QueuedConnection);

    d->jobTimer = new QTimer(this);
    d->jobTimer->setInterval(d->timings.jobTick);
    connect(d->jobTimer, &QTimer::timeout, this, &VfsServerVelm::jobTimerFired);

    d->idleTimer = new QTimer(this);
    d->idleTimer->setSingleShot(true);
    connect(d->idleTimer, &QTimer::timeout, this, &VfsServerVelm::closeFileTimerFired);
    closeFileTimerFired();
}

VfsServerVelm::~VfsServerVelm()
{
    d->jobTimer->stop();
    d->idleTimer->stop();
    // Workers hold raw pointers to their jobs: let every one finish first.
    for (const auto& job : d->listingJobs)
        job->watcher.waitForFinished();
    d->stopFileWork();
    for (QFutureWatcher<quint8>* task : d->moveTasks) {
        task->waitForFinished();
        delete task;
    }
    d->files.closeAll(); // without the kept times: those files were not finished
}

int VfsServerVelm::accessMode() const
{
    return d->accessMode;
}

void VfsServerVelm::setShares(const std::vector<PeerAclDto>& shares)
{
    bool changed;
    {
        QMutexLocker lock(&d->sharesMutex);
        changed = d->shares != shares;
        d->shares = shares;
    }
    if (changed) {
        emit notifyDirectoryChanged(VfsPathGuard::SharesRoot);
        emit notifyDirectoryChanged(kDrivesPath);
    }
}

std::vector<PeerAclDto> VfsServerVelm::shares() const
{
    QMutexLocker lock(&d->sharesMutex);
    return d->shares;
}

void VfsServerVelm::setPeerVersion(quint16 version)
{
    d->peerVersion = version;
}

quint16 VfsServerVelm::peerVersion() const
{
    return d->peerVersion;
}

void VfsServerVelm::setTimings(const Timings& timings)
{
    d->timings = timings;
    d->jobTimer->setInterval(timings.jobTick);
    d->idleTimer->start(timings.idleCheckInterval);
}

void VfsServerVelm::setAccessTest(const VfsAccessTest& test)
{
    d->access = test;
}

void VfsServerVelm::setTrash(std::unique_ptr<VfsTrash> trash)
{
    if (trash)
        d->trash = std::move(trash);
}

void VfsServerVelm::setBacklogCheck(BacklogCheck backedUp)
{
    d->backedUp = std::move(backedUp);
}

quint64 VfsServerVelm::droppedWhileBackedUp() const
{
    return d->droppedWhileBackedUp;
}

void VfsServerVelm::setWriteFault(WriteFault fault)
{
    // Workers already running keep the one they were given.
    d->writeFault = fault ? std::make_shared<const WriteFault>(std::move(fault)) : nullptr;
}

void VfsServerVelm::setDriveSource(DriveSource source)
{
    if (source)
        d->driveSource = std::move(source);
}

int VfsServerVelm::openFileCount() const
{
    return d->files.count();
}

int VfsServerVelm::listingJobCount() const
{
    return int(d->listingJobs.size());
}

bool VfsServerVelm::hasRunningWork() const
{
    if (!d->fileJobs.empty() || !d->moveTasks.empty())
        return true;
    for (const auto& job : d->listingJobs) {
        if (job->state == JobRunning || job->state == JobBuilt)
            return true;
    }
    return false;
}

void VfsServerVelm::send(const QByteArray& frame, const char* failure, unsigned trId)
{
    if (frame.isNull()) {
        Logger::log(Logger::VSRV, failure, trId);
        return;
    }
    emit fsoTransmit(frame);
}

void VfsServerVelm::processIncomingCommand(VfsMirkCommand* cmd)
{
    if (!cmd)
        return;
    if (cmd->command != C::CloseFile && d->backedUp && d->backedUp()) {
        if (d->droppedWhileBackedUp++ == 0 || d->droppedWhileBackedUp % 1000 == 0)
            Logger::log(Logger::VSRV, "drop command 0x%02X TrId %u: the link is backed up (%llu dropped)",
                        unsigned(cmd->command), unsigned(cmd->trId),
                        static_cast<unsigned long long>(d->droppedWhileBackedUp));
        emit processedCommand(cmd);
        return;
    }
    switch (cmd->command) {
    case C::ListDrives:
        Logger::log(Logger::VSRV, "process LIST_DRIVES request TrId %u index: %u",
                    unsigned(cmd->trId), unsigned(cmd->driveStart));
        processListDrivesCommand(cmd);
        break;
    case C::ListDirectory:
        Logger::log(Logger::VSRV, "process LIST_DIRECTORY request TrId %u path: %s",
                    unsigned(cmd->trId), cmd->path);
        processListDirectoryCommand(cmd);
        break;
    case C::QueryListDirectory:
        Logger::log(Logger::VSRV, "process QUERY_LIST_DIRECTORY request TrId %u index: %u",
                    unsigned(cmd->trId), unsigned(cmd->index));
        processQueryListDirectoryCommand(cmd);
        break;
    case C::Move:
        Logger::log(Logger::VSRV,
                    "process MOVE request TrId %u flags: 0x%08X srcPath: %s, dstPath: %s",
                    unsigned(cmd->trId), unsigned(cmd->flags), cmd->path, cmd->destinationPath);
        processMoveCommand(cmd);
        break;
    case C::OpenFile:
        Logger::log(Logger::VSRV, "process OPEN_FILE request TrId %u flags: 0x%08X path: %s",
                    unsigned(cmd->trId), unsigned(cmd->flags), cmd->path);
        processOpenFileCommand(cmd);
        break;
    case C::CloseFile:
        Logger::log(Logger::VSRV, "process CLOSE_FILE request TrId %u flags: 0x%08X handle: %u",
                    unsigned(cmd->trId), unsigned(cmd->flags), unsigned(cmd->handle));
        processCloseFileCommand(cmd);
        break;
    case C::ReadFile:
        Logger::log(Logger::VSRV,
                    "process READ_FILE request TrId %u flags: 0x%02X handle: %u, offset: %llu, "
                    "size: %u",
                    unsigned(cmd->trId), unsigned(cmd->flags), unsigned(cmd->handle),
                    static_cast<unsigned long long>(cmd->offset), unsigned(cmd->size));
        processReadFileCommand(cmd);
        break;
    case C::WriteFile:
        Logger::log(Logger::VSRV,
                    "process WRITE_FILE request TrId %u, thread: %p, flags: 0x%02X handle: %u, "
                    "offset: %llu, size: %u",
                    unsigned(cmd->trId), static_cast<void*>(QThread::currentThread()),
                    unsigned(cmd->flags), unsigned(cmd->handle),
                    static_cast<unsigned long long>(cmd->offset), unsigned(cmd->dataLength));
        processWriteFileCommand(cmd);
        break;
    case C::DeleteFile:
        Logger::log(Logger::VSRV, "process DELETE_FILE request TrId %u flags: 0x%08X path: %s",
                    unsigned(cmd->trId), unsigned(cmd->flags), cmd->path);
        processDeleteFileCommand(cmd);
        break;
    case C::HashFile:
        Logger::log(Logger::VSRV, "process HASH_FILE request TrId %u flags: 0x%02X handle: %u",
                    unsigned(cmd->trId), unsigned(cmd->flags), unsigned(cmd->handle));
        processHashFileCommand(cmd);
        break;
    case C::MakeDirectory:
        Logger::log(Logger::VSRV, "process MAKE_DIRECTORY request TrId %u path: %s",
                    unsigned(cmd->trId), cmd->path);
        processMakeDirectoryCommand(cmd);
        break;
    default:
        Logger::log(Logger::VSRV, "drop unknown command 0x%02X", unsigned(cmd->command));
        break;
    }
    emit processedCommand(cmd);
}

// --- change notices -------------------------------------------------------------------------

void VfsServerVelm::directoryChanged(const QString& path)
{
    QStringList names;
    if (path == VfsPathGuard::SharesRoot || path == kDrivesPath) {
        names.append(path);
    } else {
        const VfsPathGuard guard = d->guard();
        const VfsPathGuard::Decision decision = guard.check(path, VfsPathGuard::FollowLastLink);
        if (!decision.allowed())
            return; // not something this peer may see
        names.append(path);
        // The client hears of a directory under the names it listed it by.
        for (const QString& local : { decision.path, path }) {
            for (const QString& alias : d->watchAliases.value(local)) {
                if (!names.contains(alias)
                    && guard.check(alias, VfsPathGuard::FollowLastLink).allowed()) {
                    names.append(alias);
                }
            }
        }
    }
    for (const QString& name : names) {
        Logger::log(Logger::VSRV, "directory changed %s", qPrintable(name));
        const quint16 trId = d->notificationCounter++;
        send(VfsMirkCommandWriter::directoryChangedNotice(trId, name.toUtf8()),
             "failed to send DIRECTORY_CHANGED %u", trId);
    }
}
