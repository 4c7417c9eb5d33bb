#include "vfs/server/vfsfileoperations.h"

#include "core/logger.h"

#include <QList>
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
// Directories one walk may hold open at once, one per level: a deeper tree
// is refused rather than running the process out of descriptors.
constexpr int kMaxDepth = 512;

// A descriptor closed when it goes, without disturbing errno.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0) {
            const int error = errno;
            ::close(m_fd);
            errno = error;
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

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

// Calls visit(name) for every entry of the open directory fd but "." and
// ".."; takes fd over. False when the directory cannot be read or a visit
// failed, with errno telling why. With stopAtFailure the walk ends at the
// first failed visit, otherwise it visits every entry all the same.
template <class Visit>
bool visitChildren(int fd, bool stopAtFailure, Visit visit)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    bool ok = true;
    int error = 0;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) {
                ok = false;
                error = errno;
            }
            break;
        }
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (!visit(name)) {
            ok = false;
            error = errno;
            if (stopAtFailure)
                break;
        }
    }
    ::closedir(dir);
    errno = error;
    return ok;
}

// Opens the directory name in dirfd for reading, never through a link, and
// only when it is the directory that st describes.
int openDirectoryAt(int dirfd, const char* name, const struct stat& st)
{
    Descriptor fd(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    struct stat opened;
    if (::fstat(fd.get(), &opened) != 0)
        return -1;
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        errno = ESTALE; // replaced since it was looked at
        return -1;
    }
    return fd.release();
}

bool copyFileAt(int fromDir, const char* fromName, const struct stat& st, int toDir,
                const char* toName)
{
    // Not blocking: what was a file may have been swapped for a pipe.
    Descriptor in(::openat(fromDir, fromName,
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!in.valid())
        return false;
    struct stat opened;
    if (::fstat(in.get(), &opened) != 0)
        return false;
    if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        errno = ESTALE;
        return false;
    }
    ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
    Descriptor out(::openat(toDir, toName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600));
    if (!out.valid())
        return false;
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), kCopyChunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!writeAll(out.get(), buffer.data(), size_t(n)))
            return false;
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0)
        return false;
    const timespec times[2] = { st.st_atim, st.st_mtim };
    ::futimens(out.get(), times);
    const int fd = out.release();
    return ::close(fd) == 0;
}

// Copies the entry fromName of fromDir to toName in toDir, which must not
// exist: a file, a link (itself) or a directory with everything below it.
bool copyAt(int fromDir, const char* fromName, int toDir, const char* toName, int depth)
{
    struct stat st;
    if (::fstatat(fromDir, fromName, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    const timespec times[2] = { st.st_atim, st.st_mtim };
    if (S_ISLNK(st.st_mode)) {
        QByteArray target(4096, Qt::Uninitialized);
        const ssize_t length =
            ::readlinkat(fromDir, fromName, target.data(), size_t(target.size()));
        if (length < 0 || length >= target.size())
            return false;
        target.truncate(int(length));
        if (::symlinkat(target.constData(), toDir, toName) != 0)
            return false;
        ::utimensat(toDir, toName, times, AT_SYMLINK_NOFOLLOW);
        return true;
    }
    if (S_ISREG(st.st_mode))
        return copyFileAt(fromDir, fromName, st, toDir, toName);
    if (!S_ISDIR(st.st_mode)) { // devices, pipes and sockets are not carried over
        errno = ENOTSUP;
        return false;
    }
    if (depth >= kMaxDepth) {
        errno = ELOOP;
        return false;
    }
    Descriptor source(openDirectoryAt(fromDir, fromName, st));
    if (!source.valid() || ::mkdirat(toDir, toName, 0700) != 0)
        return false;
    Descriptor to(::openat(toDir, toName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!to.valid())
        return false;
    const int toFd = to.get();
    const int from = source.release(); // the walk owns it now
    const bool ok = visitChildren(from, true, [from, toFd, depth](const QByteArray& name) {
        return copyAt(from, name.constData(), toFd, name.constData(), depth + 1);
    });
    if (ok) {
        ::fchmod(toFd, st.st_mode & 07777);
        ::futimens(toFd, times);
    }
    return ok;
}

// Removes the entry name of dirfd, never following a link and never leaving
// the file system device.
bool removeAt(int dirfd, const char* name, dev_t device, int depth)
{
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(dirfd, name, 0) == 0 || errno == ENOENT;
    if (st.st_dev != device) { // a mount point below: leave that file system alone
        errno = EXDEV;
        return false;
    }
    if (depth >= kMaxDepth) {
        errno = ELOOP;
        return false;
    }
    const int fd = openDirectoryAt(dirfd, name, st);
    if (fd < 0)
        return false;
    // Remove all that can be removed, even after a failure.
    const bool ok = visitChildren(fd, false, [fd, device, depth](const QByteArray& child) {
        return removeAt(fd, child.constData(), device, depth + 1);
    });
    return ok && ::unlinkat(dirfd, name, AT_REMOVEDIR) == 0;
}

bool removeEntry(int dirfd, const char* name)
{
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return removeAt(dirfd, name, st.st_dev, 0);
}

VfsFileOperations::Result renameAt(int fromDir, const char* fromName, int toDir,
                                   const char* toName, bool noReplace)
{
    int rc;
    if (noReplace) {
        rc = ::renameat2(fromDir, fromName, toDir, toName, RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // The file system cannot refuse atomically; a hard link can, for files.
            struct stat st;
            if (::fstatat(fromDir, fromName, &st, AT_SYMLINK_NOFOLLOW) == 0
                && !S_ISDIR(st.st_mode) && ::linkat(fromDir, fromName, toDir, toName, 0) == 0) {
                ::unlinkat(fromDir, fromName, 0);
                return VfsFileOperations::Done;
            }
            if (errno == EEXIST)
                return VfsFileOperations::Exists;
            if (::fstatat(toDir, toName, &st, AT_SYMLINK_NOFOLLOW) == 0)
                return VfsFileOperations::Exists;
            rc = ::renameat(fromDir, fromName, toDir, toName);
        }
    } else {
        rc = ::renameat(fromDir, fromName, toDir, toName);
    }
    if (rc == 0)
        return VfsFileOperations::Done;
    if (errno == EEXIST && noReplace)
        return VfsFileOperations::Exists;
    if (errno == EXDEV)
        return VfsFileOperations::CrossDevice;
    return VfsFileOperations::Failed;
}

// True when folder is path or one of its ancestors, by whole components.
bool holds(const QByteArray& folder, const QByteArray& path)
{
    if (folder == "/")
        return true;
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == '/');
}

} // namespace

int VfsFileOperations::openParent(const QByteArray& path, bool noLinks, QByteArray* name)
{
    if (!path.startsWith('/')) {
        errno = EINVAL;
        return -1;
    }
    if (path == "/") {
        *name = ".";
        return ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    const int slash = path.lastIndexOf('/');
    const QByteArray last = path.mid(slash + 1);
    if (last.isEmpty() || last == "." || last == "..") {
        errno = EINVAL;
        return -1;
    }
    const QByteArray folder = slash == 0 ? QByteArray("/") : path.left(slash);
    *name = last;
    if (!noLinks)
        return ::open(folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    Descriptor dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const QByteArray& part : folder.split('/')) {
        if (!dir.valid())
            return -1;
        if (part.isEmpty())
            continue;
        if (part == "." || part == "..") {
            errno = EINVAL;
            return -1;
        }
        dir.reset(::openat(dir.get(), part.constData(),
                           O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return dir.release();
}

int VfsFileOperations::openFile(const QByteArray& path, int flags, bool noLinks)
{
    if (!noLinks)
        return ::open(path.constData(), flags | O_CLOEXEC, 0666);
    QByteArray name;
    const Descriptor dir(openParent(path, true, &name));
    if (!dir.valid())
        return -1;
    return ::openat(dir.get(), name.constData(), flags | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool VfsFileOperations::removeTree(const QByteArray& nativePath, bool noLinks)
{
    if (nativePath == "/") { // never the whole system, whoever asks
        errno = EBUSY;
        return false;
    }
    QByteArray name;
    const Descriptor dir(openParent(nativePath, noLinks, &name));
    return dir.valid() && removeEntry(dir.get(), name.constData());
}

bool VfsFileOperations::removeIfEmpty(const QByteArray& nativePath, bool noLinks)
{
    if (nativePath == "/") {
        errno = EBUSY;
        return false;
    }
    QByteArray name;
    const Descriptor dir(openParent(nativePath, noLinks, &name));
    if (!dir.valid())
        return false;
    struct stat st;
    if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return ::unlinkat(dir.get(), name.constData(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0;
}

VfsFileOperations::Result VfsFileOperations::rename(const QByteArray& source,
                                                    const QByteArray& destination, bool noReplace,
                                                    bool noLinks)
{
    QByteArray fromName;
    QByteArray toName;
    const Descriptor from(openParent(source, noLinks, &fromName));
    if (!from.valid())
        return Failed;
    const Descriptor to(openParent(destination, noLinks, &toName));
    if (!to.valid())
        return Failed;
    return renameAt(from.get(), fromName.constData(), to.get(), toName.constData(), noReplace);
}

bool VfsFileOperations::makePath(const QByteArray& path, bool noLinks)
{
    if (!path.startsWith('/')) {
        errno = EINVAL;
        return false;
    }
    const int follow = noLinks ? O_NOFOLLOW : 0;
    Descriptor dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const QByteArray& part : path.split('/')) {
        if (!dir.valid())
            return false;
        if (part.isEmpty())
            continue;
        if (part == "." || part == "..") {
            errno = EINVAL;
            return false;
        }
        const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC | follow;
        int next = ::openat(dir.get(), part.constData(), flags);
        if (next < 0 && errno == ENOENT) {
            if (::mkdirat(dir.get(), part.constData(), 0777) != 0 && errno != EEXIST)
                return false;
            next = ::openat(dir.get(), part.constData(), flags);
        }
        dir.reset(next);
    }
    return dir.valid();
}

VfsFileOperations::Result VfsFileOperations::moveAcrossDevices(const QByteArray& source,
                                                               const QByteArray& destination,
                                                               bool noReplace, bool noLinks)
{
    struct stat st;
    if (::lstat(source.constData(), &st) != 0)
        return Failed;
    if (S_ISDIR(st.st_mode) && holds(source, destination)) {
        errno = EINVAL;
        return Failed;
    }
    if (noReplace && ::lstat(destination.constData(), &st) == 0)
        return Exists;

    QByteArray fromName;
    QByteArray toName;
    const Descriptor from(openParent(source, noLinks, &fromName));
    if (!from.valid())
        return Failed;
    const Descriptor to(openParent(destination, noLinks, &toName));
    if (!to.valid())
        return Failed;

    const QByteArray temporary =
        ".velm-move-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    if (!copyAt(from.get(), fromName.constData(), to.get(), temporary.constData(), 0)) {
        const int error = errno;
        removeEntry(to.get(), temporary.constData());
        Logger::log(Logger::VSRV, "failed to copy %s across file systems, errno %d",
                    source.constData(), error);
        errno = error;
        return Failed;
    }
    const Result placed =
        renameAt(to.get(), temporary.constData(), to.get(), toName.constData(), noReplace);
    if (placed != Done) {
        const int error = errno;
        removeEntry(to.get(), temporary.constData());
        errno = error;
        return placed == CrossDevice ? Failed : placed;
    }
    if (!removeEntry(from.get(), fromName.constData())) {
        // Both copies exist now; nothing is lost, but the move is not complete.
        Logger::log(Logger::VSRV, "failed to remove %s after copying it", source.constData());
        return Failed;
    }
    return Done;
}
