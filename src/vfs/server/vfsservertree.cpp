#include "vfs/server/vfsservervelm_p.h"

#include "core/logger.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/server/vfsfileoperations.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Moves across file systems a peer may have running at once.
constexpr int kMaxMoveTasks = 8;

// The request path less its last component.
QString parentOfRequestPath(const QByteArray& path)
{
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    const int slash = trimmed.lastIndexOf('/');
    if (slash < 0)
        return QString();
    return QString::fromUtf8(slash == 0 ? QByteArray("/") : trimmed.left(slash));
}

} // namespace

// --- MOVE -----------------------------------------------------------------------

void VfsServerVelm::processMoveCommand(VfsMirkCommand* cmd)
{
    const quint16 trId = cmd->trId;
    auto reply = [this, trId](quint8 status) {
        send(VfsMirkCommandWriter::moveReply(trId, status), "failed to send MOVE response %u",
             trId);
    };
    const VfsPathGuard guard = d->guard();
    const VfsPathGuard::Decision source = guard.check(cmd->pathBytes(), VfsPathGuard::NeedWrite);
    const VfsPathGuard::Decision destination =
        guard.check(cmd->destinationPathBytes(), VfsPathGuard::NeedWrite);
    if (!source.allowed()) {
        reply(VfsServerVelmPrivate::refusal(source));
        return;
    }
    if (!destination.allowed()) {
        reply(VfsServerVelmPrivate::refusal(destination));
        return;
    }
    // A share's own folder is neither moved away nor replaced.
    if (guard.holdsShareFolder(source.path) || guard.holdsShareFolder(destination.path)) {
        reply(FSO_STATUS_NOT_PERMITTED);
        return;
    }
    struct stat st;
    if (!VfsServerVelmPrivate::exists(source.nativePath, &st)) {
        reply(FSO_STATUS_NOT_FOUND);
        return;
    }
    if (source.nativePath == destination.nativePath) {
        reply(FSO_STATUS_SAME_PATH);
        return;
    }
    const bool noReplace = cmd->flags & 0x02;
    const bool refuseCrossDevice = cmd->flags & 0x01;
    if (noReplace && VfsServerVelmPrivate::exists(destination.nativePath)) {
        reply(FSO_STATUS_EXISTS);
        return;
    }
    if (refuseCrossDevice) {
        // Compare the file systems the source and the destination's directory live on.
        const QByteArray parent = destination.nativePath.left(
            qMax(1, destination.nativePath.lastIndexOf('/')));
        struct stat target;
        if (::stat(parent.constData(), &target) != 0) {
            reply(FSO_STATUS_IO_ERROR);
            return;
        }
        if (target.st_dev != st.st_dev) {
            reply(FSO_STATUS_CROSS_DEVICE);
            return;
        }
    }

    // For a peer confined to its shares no name on the way may have become a
    // link since the paths were checked.
    const bool noLinks = d->restricted();
    if (const int fault = VfsServerVelmPrivate::faultOf(d->writeFault, MoveInto,
                                                        destination.nativePath)) {
        reply(VfsServerVelmPrivate::writeFailure(fault));
        return;
    }
    switch (VfsFileOperations::rename(source.nativePath, destination.nativePath, noReplace,
                                      noLinks)) {
    case VfsFileOperations::Done:
        reply(FSO_STATUS_OK);
        return;
    case VfsFileOperations::Exists:
        reply(FSO_STATUS_EXISTS);
        return;
    case VfsFileOperations::Failed: {
        const int error = errno;
        Logger::log(Logger::VSRV, "failed to move %s TrId %u: %s", source.nativePath.constData(),
                    unsigned(trId), std::strerror(error));
        reply(VfsServerVelmPrivate::writeFailure(error));
        return;
    }
    case VfsFileOperations::CrossDevice:
        break;
    }
    if (refuseCrossDevice) {
        reply(FSO_STATUS_CROSS_DEVICE);
        return;
    }
    if (int(d->moveTasks.size()) >= kMaxMoveTasks) {
        reply(FSO_STATUS_IO_ERROR);
        return;
    }
    // Copying may take long: do it on the pool and answer when it is done.
    auto* task = new QFutureWatcher<quint8>(this);
    task->setProperty("trId", unsigned(trId));
    connect(task, &QFutureWatcher<quint8>::finished, this, &VfsServerVelm::moveFutureFinished);
    d->moveTasks.push_back(task);
    const QByteArray from = source.nativePath;
    const QByteArray to = destination.nativePath;
    task->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [from, to, noReplace,
                                                                       noLinks] {
        switch (VfsFileOperations::moveAcrossDevices(from, to, noReplace, noLinks)) {
        case VfsFileOperations::Done:
            return quint8(FSO_STATUS_OK);
        case VfsFileOperations::Exists:
            return quint8(FSO_STATUS_EXISTS);
        default:
            return VfsServerVelmPrivate::writeFailure(errno);
        }
    }));
}

void VfsServerVelm::moveFutureFinished()
{
    auto* task = static_cast<QFutureWatcher<quint8>*>(sender());
    auto it = std::find(d->moveTasks.begin(), d->moveTasks.end(), task);
    if (it == d->moveTasks.end())
        return;
    d->moveTasks.erase(it);
    const quint16 trId = quint16(task->property("trId").toUInt());
    const quint8 status = task->result();
    task->deleteLater();
    send(VfsMirkCommandWriter::moveReply(trId, status), "failed to send MOVE response %u", trId);
}

// --- DELETE_FILE and MAKE_DIRECTORY ------------------------------------------------------

void VfsServerVelm::processDeleteFileCommand(VfsMirkCommand* cmd)
{
    const QByteArray requestPath = cmd->pathBytes();
    const VfsPathGuard guard = d->guard();
    // The link itself is deleted, never what it points to.
    const VfsPathGuard::Decision decision = guard.check(requestPath, VfsPathGuard::NeedWrite);
    quint8 status = FSO_STATUS_IO_ERROR;
    if (!decision.allowed()) {
        status = VfsServerVelmPrivate::refusal(decision);
    } else if (guard.holdsShareFolder(decision.path)
               || guard.holdsShareFolder(decision.lexicalPath)) {
        status = FSO_STATUS_NOT_PERMITTED;
    } else if (!VfsServerVelmPrivate::exists(decision.nativePath)) {
        status = FSO_STATUS_NOT_FOUND;
    } else if (cmd->flags & 0x01) {
        // The trash acts on the entry of the directory reached here, walked
        // without following links like every other operation, never on a
        // name looked up again: a folder on the way swapped for a link since
        // the check fails instead of sending something outside to the trash.
        QByteArray name;
        const int folder = VfsFileOperations::openParent(decision.nativePath, d->restricted(), &name);
        const VfsTrash::Result trashed = folder < 0
            ? (errno == ENOENT ? VfsTrash::NotFound : VfsTrash::Failed)
            : d->trash->moveToTrash(folder, name.constData(), decision.nativePath.constData());
        if (folder >= 0)
            ::close(folder);
        switch (trashed) {
        case VfsTrash::Trashed:
            status = FSO_STATUS_OK;
            break;
        case VfsTrash::PermissionDenied:
            status = FSO_STATUS_NOT_PERMITTED;
            break;
        case VfsTrash::NotSupported:
            status = FSO_STATUS_NOT_SUPPORTED;
            break;
        case VfsTrash::NotFound:
            status = FSO_STATUS_NOT_FOUND;
            break;
        case VfsTrash::Failed:
            status = FSO_STATUS_IO_ERROR;
            break;
        }
    } else if (cmd->flags & VfsMirkCommand::DeleteOnlyEmpty) {
        // Only what the caller knows about: a directory that holds anything
        // (a file that arrived since the caller looked) stays.
        if (VfsFileOperations::removeIfEmpty(decision.nativePath, d->restricted()))
            status = FSO_STATUS_OK;
        else if (errno == ENOTEMPTY || errno == EEXIST)
            status = FSO_STATUS_NOT_EMPTY;
        else if (errno == ENOENT)
            status = FSO_STATUS_NOT_FOUND;
        else
            Logger::log(Logger::VSRV, "failed to delete %s: %s", decision.nativePath.constData(),
                        std::strerror(errno));
    } else if (VfsFileOperations::removeTree(decision.nativePath, d->restricted())) {
        status = FSO_STATUS_OK;
    } else {
        Logger::log(Logger::VSRV, "failed to delete %s: %s", decision.nativePath.constData(),
                    std::strerror(errno));
    }

    send(VfsMirkCommandWriter::deleteFileReply(cmd->trId, status, requestPath),
         "failed to send DELETE_FILE response TrId %u", cmd->trId);
    if (status == FSO_STATUS_OK) {
        const QString parent = parentOfRequestPath(requestPath);
        if (!parent.isEmpty())
            emit notifyDirectoryChanged(parent);
    }
}

void VfsServerVelm::processMakeDirectoryCommand(VfsMirkCommand* cmd)
{
    const VfsPathGuard::Decision decision = d->guard().check(
        cmd->pathBytes(), VfsPathGuard::NeedWrite | VfsPathGuard::FollowLastLink);
    quint8 status = FSO_STATUS_IO_ERROR;
    quint32 existing = 0;
    struct stat st;
    int fault = 0;
    if (!decision.allowed()) {
        status = VfsServerVelmPrivate::refusal(decision);
    } else if (::stat(decision.nativePath.constData(), &st) == 0
               || ::lstat(decision.nativePath.constData(), &st) == 0) {
        const bool directory = S_ISDIR(st.st_mode);
        existing = directory ? 4 : 12;
        status = (cmd->flags & 0x01) || !directory ? FSO_STATUS_IO_ERROR : FSO_STATUS_OK;
    } else if ((fault = VfsServerVelmPrivate::faultOf(d->writeFault, MakeDirectory,
                                                      decision.nativePath))) {
        status = VfsServerVelmPrivate::writeFailure(fault);
    } else if (VfsFileOperations::makePath(decision.nativePath, d->restricted())) {
        status = FSO_STATUS_OK;
    } else {
        status = VfsServerVelmPrivate::writeFailure(errno);
    }
    send(VfsMirkCommandWriter::makeDirectoryReply(cmd->trId, status, existing),
         "failed to send MAKE_DIRECTORY response TrId %u", cmd->trId);
}
