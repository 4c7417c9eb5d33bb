#include "vfs/server/vfsdesktoptrash.h"

#include "core/logger.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
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
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// Names an entry may get in a trash folder; the info file adds 10 bytes.
constexpr std::size_t kMaxTrashName = 200;
constexpr int kMaxNameTries = 1000;

// The sub-folder name of dir, made when missing; it must be a real folder
// (never a link) owned by this user.
int openOwnFolder(int dir, const char* name)
{
    if (::mkdirat(dir, name, 0700) != 0 && errno != EEXIST)
        return -1;
    Fd fd(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return -1;
    if (st.st_uid != ::getuid()) {
        errno = EPERM;
        return -1;
    }
    return fd.release();
}

// mkdir -p of an absolute path whose folders may be links (the user's own
// home and data folder are the user's to arrange).
bool makePath(const std::string& path)
{
    std::string at;
    std::size_t pos = 1;
    while (pos <= path.size()) {
        const std::size_t next = path.find('/', pos);
        at = path.substr(0, next == std::string::npos ? path.size() : next);
        if (::mkdir(at.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (next == std::string::npos)
            break;
        pos = next + 1;
    }
    return true;
}

// A trash folder with its files/ and info/ folders open.
struct TrashFolder
{
    Fd files;
    Fd info;
    // True when info files record paths relative to the top of the file
    // system (a trash on that file system), false for absolute paths.
    bool relative = false;
};

bool openParts(int trash, TrashFolder* out)
{
    out->files.reset(openOwnFolder(trash, "files"));
    out->info.reset(openOwnFolder(trash, "info"));
    return out->files.valid() && out->info.valid();
}

bool openHomeTrash(dev_t device, TrashFolder* out)
{
    const std::string path = VfsDesktopTrash::homeTrashPath();
    if (path.empty() || !makePath(path))
        return false;
    Fd trash(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!trash.valid() || ::fstat(trash.get(), &st) != 0 || st.st_dev != device)
        return false;
    out->relative = false;
    return openParts(trash.get(), out);
}

// Walks up from dir while the file system stays the same; the last folder
// reached is the top of the file system. *levels counts the steps.
int openTopOfFileSystem(int dir, dev_t device, int* levels)
{
    Fd at(::openat(dir, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    *levels = 0;
    for (int step = 0; at.valid() && step < 4096; ++step) {
        struct stat here;
        if (::fstat(at.get(), &here) != 0 || here.st_dev != device)
            return -1;
        Fd up(::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat above;
        if (!up.valid() || ::fstat(up.get(), &above) != 0)
            return -1;
        if (above.st_dev != device || (above.st_ino == here.st_ino && above.st_dev == here.st_dev)) {
            return at.release();
        }
        at.reset(up.release());
        ++*levels;
    }
    return -1;
}

bool openTopTrash(int top, TrashFolder* out)
{
    const std::string uid = std::to_string(unsigned(::getuid()));
    // An administrator's shared .Trash: a real folder with the sticky bit.
    struct stat st;
    if (::fstatat(top, ".Trash", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
        && (st.st_mode & S_ISVTX)) {
        Fd shared(::openat(top, ".Trash", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (shared.valid()) {
            Fd own(openOwnFolder(shared.get(), uid.c_str()));
            if (own.valid() && openParts(own.get(), out)) {
                out->relative = true;
                return true;
            }
        }
    }
    const std::string name = ".Trash-" + uid;
    Fd own(openOwnFolder(top, name.c_str()));
    if (!own.valid() || !openParts(own.get(), out))
        return false;
    out->relative = true;
    return true;
}

std::string percentEncoded(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-'
            || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// The last count components of path, joined.
std::string lastComponents(const std::string& path, int count)
{
    std::size_t pos = path.size();
    for (int i = 0; i < count && pos != std::string::npos && pos > 0; ++i)
        pos = path.rfind('/', pos - 1);
    if (pos == std::string::npos)
        return path;
    return path.substr(pos + 1);
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

VfsTrash::Result resultOf(int error)
{
    switch (error) {
    case ENOENT:
        return VfsTrash::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return VfsTrash::PermissionDenied;
    case EXDEV:
        return VfsTrash::NotSupported;
    default:
        return VfsTrash::Failed;
    }
}

} // namespace

std::string VfsDesktopTrash::homeTrashPath()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        return std::string(dataHome) + "/Trash";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/share/Trash";
    return std::string();
}

VfsTrash::Result VfsDesktopTrash::moveToTrash(int directoryFd, const char* name, const char* nativePath)
{
    if (directoryFd < 0 || !name || !nativePath || !name[0] || std::strchr(name, '/')
        || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return Failed;
    }
    struct stat entry;
    struct stat folder;
    if (::fstatat(directoryFd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return resultOf(errno);
    if (::fstat(directoryFd, &folder) != 0)
        return Failed;
    if (entry.st_dev != folder.st_dev) // a mount point cannot be moved
        return PermissionDenied;

    TrashFolder trash;
    std::string recorded = nativePath;
    if (!openHomeTrash(entry.st_dev, &trash)) {
        int levels = 0;
        Fd top(openTopOfFileSystem(directoryFd, entry.st_dev, &levels));
        trash.files.reset();
        trash.info.reset();
        if (!top.valid() || !openTopTrash(top.get(), &trash)) {
            Logger::log(Logger::VSRV, "Failed to trash %s : no trash on its file system", nativePath);
            return NotSupported;
        }
        recorded = lastComponents(recorded, levels + 1);
    }

    char date[32];
    const std::time_t now = std::time(nullptr);
    struct tm local;
    ::localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const std::string info = "[Trash Info]\nPath=" + percentEncoded(recorded) + "\nDeletionDate=" + date + "\n";

    const std::string base = std::string(name).substr(0, kMaxTrashName);
    for (int attempt = 1; attempt <= kMaxNameTries; ++attempt) {
        const std::string trashName = attempt == 1 ? base : base + "." + std::to_string(attempt);
        const std::string infoName = trashName + ".trashinfo";
        // The info file is made first and exclusively: it claims the name.
        Fd infoFd(::openat(trash.info.get(), infoName.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!infoFd.valid()) {
            if (errno == EEXIST)
                continue;
            Logger::log(Logger::VSRV, "Failed to trash %s : %s (error code %d)", nativePath, std::strerror(errno),
                        errno);
            return Failed;
        }
        if (!writeAll(infoFd.get(), info)) {
            ::unlinkat(trash.info.get(), infoName.c_str(), 0);
            return Failed;
        }
        infoFd.reset();

        int rc = ::renameat2(directoryFd, name, trash.files.get(), trashName.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            struct stat taken;
            if (::fstatat(trash.files.get(), trashName.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
                errno = EEXIST;
            else
                rc = ::renameat(directoryFd, name, trash.files.get(), trashName.c_str());
        }
        if (rc == 0)
            return Trashed;
        const int error = errno;
        ::unlinkat(trash.info.get(), infoName.c_str(), 0);
        if (error == EEXIST)
            continue;
        Logger::log(Logger::VSRV, "Failed to trash %s : %s (error code %d)", nativePath, std::strerror(error),
                    error);
        return resultOf(error);
    }
    return Failed;
}
