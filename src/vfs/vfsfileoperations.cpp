#include "vfsfileoperations.h"

#include "logger.h"

#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kCopyChunk = 1 << 20;

QByteArray parentOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray("/") : path.left(slash);
}

bool writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= size_t(n);
    }
    return true;
}

// Calls visit(name) for every entry of the directory but "." and "..";
// false when the directory cannot be opened or a visit failed, with errno
// telling why. With stopAtFailure the walk ends at the first failed visit,
// otherwise it visits every entry all the same.
template <class Visit>
bool visitChildren(const QByteArray& path, bool stopAtFailure, Visit visit)
{
    DIR* dir = ::opendir(path.constData());
    if (!dir)
        return false;
    bool ok = true;
    while (dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (!visit(name)) {
            ok = false;
            if (stopAtFailure)
                break;
        }
    }
    const int error = errno;
    ::closedir(dir);
    errno = error;
    return ok;
}

void copyTimes(const struct stat& st, const QByteArray& path)
{
    const timespec times[2] = { st.st_atim, st.st_mtim };
    ::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW);
}

bool copyFile(const QByteArray& source, const struct stat& st, const QByteArray& destination)
{
    const int in = ::open(source.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (in < 0)
        return false;
    const int out = ::open(destination.constData(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        errno = error;
        return false;
    }
    std::vector<char> buffer(kCopyChunk);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), kCopyChunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!writeAll(out, buffer.data(), size_t(n))) {
            ok = false;
            break;
        }
    }
    const int error = errno;
    if (ok)
        ok = ::fchmod(out, st.st_mode & 07777) == 0;
    ::close(in);
    if (::close(out) != 0)
        ok = false;
    if (ok)
        copyTimes(st, destination);
    errno = error;
    return ok;
}

bool copyTree(const QByteArray& source, const QByteArray& destination)
{
    struct stat st;
    if (::lstat(source.constData(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) {
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t length = ::readlink(source.constData(), target.data(), size_t(target.size()));
        if (length < 0 || length >= target.size())
            return false;
        target.truncate(int(length));
        if (::symlink(target.constData(), destination.constData()) != 0)
            return false;
        copyTimes(st, destination);
        return true;
    }
    if (S_ISREG(st.st_mode))
        return copyFile(source, st, destination);
    if (!S_ISDIR(st.st_mode)) { // devices, pipes and sockets are not carried over
        errno = ENOTSUP;
        return false;
    }
    if (::mkdir(destination.constData(), 0700) != 0)
        return false;
    const bool ok = visitChildren(source, true, [&source, &destination](const QByteArray& name) {
        return copyTree(source + '/' + name, destination + '/' + name);
    });
    if (ok) {
        ::chmod(destination.constData(), st.st_mode & 07777);
        copyTimes(st, destination);
    }
    return ok;
}

bool removeTreeOn(const QByteArray& path, dev_t device)
{
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.constData()) == 0 || errno == ENOENT;
    if (st.st_dev != device) { // a mount point below: leave that file system alone
        errno = EXDEV;
        return false;
    }
    // Remove all that can be removed, even after a failure.
    const bool ok = visitChildren(path, false, [device, &path](const QByteArray& name) {
        return removeTreeOn(path + '/' + name, device);
    });
    return ok && ::rmdir(path.constData()) == 0;
}

} // namespace

bool VfsFileOperations::removeTree(const QByteArray& nativePath)
{
    struct stat st;
    if (::lstat(nativePath.constData(), &st) != 0)
        return false;
    return removeTreeOn(nativePath, st.st_dev);
}

VfsFileOperations::Result VfsFileOperations::rename(const QByteArray& source,
                                                    const QByteArray& destination, bool noReplace)
{
    int rc;
    if (noReplace) {
        rc = ::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(),
                         RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // The file system cannot refuse atomically; a hard link can, for files.
            struct stat st;
            if (::lstat(source.constData(), &st) == 0 && !S_ISDIR(st.st_mode)
                && ::link(source.constData(), destination.constData()) == 0) {
                ::unlink(source.constData());
                return Done;
            }
            if (errno == EEXIST)
                return Exists;
            if (::lstat(destination.constData(), &st) == 0)
                return Exists;
            rc = ::rename(source.constData(), destination.constData());
        }
    } else {
        rc = ::rename(source.constData(), destination.constData());
    }
    if (rc == 0)
        return Done;
    if (errno == EEXIST && noReplace)
        return Exists;
    if (errno == EXDEV)
        return CrossDevice;
    return Failed;
}

VfsFileOperations::Result VfsFileOperations::moveAcrossDevices(const QByteArray& source,
                                                               const QByteArray& destination,
                                                               bool noReplace)
{
    struct stat st;
    if (::lstat(source.constData(), &st) != 0)
        return Failed;
    if (noReplace && ::lstat(destination.constData(), &st) == 0)
        return Exists;

    const QByteArray temporary = parentOf(destination) + "/.velm-move-"
        + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    if (!copyTree(source, temporary)) {
        const int error = errno;
        removeTree(temporary);
        Logger::log(Logger::VSRV, "failed to copy %s across file systems, errno %d",
                    source.constData(), error);
        errno = error;
        return Failed;
    }
    const Result placed = rename(temporary, destination, noReplace);
    if (placed != Done) {
        const int error = errno;
        removeTree(temporary);
        errno = error;
        return placed == CrossDevice ? Failed : placed;
    }
    if (!removeTree(source)) {
        // Both copies exist now; nothing is lost, but the move is not complete.
        Logger::log(Logger::VSRV, "failed to remove %s after copying it", source.constData());
        return Failed;
    }
    return Done;
}
