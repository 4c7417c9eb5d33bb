#include "vfs/server/vfsfiletimes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

timespec toTimespec(qint64 milliseconds)
{
    timespec time{};
    if (milliseconds > 0)
        time.tv_sec = time_t(milliseconds / 1000);
    else
        time.tv_nsec = UTIME_OMIT;
    return time;
}

// The two times as utimensat() and futimens() take them; false, with errno
// EINVAL, when neither was given.
bool toTimespecs(qint64 accessTime, qint64 modificationTime, timespec* times)
{
    if (accessTime <= 0 && modificationTime <= 0) {
        errno = EINVAL;
        return false;
    }
    times[0] = toTimespec(accessTime);
    times[1] = toTimespec(modificationTime);
    return true;
}

} // namespace

bool VfsFileTimes::apply(const QByteArray& nativePath, qint64 accessTime,
                         qint64 modificationTime)
{
    timespec times[2];
    return toTimespecs(accessTime, modificationTime, times)
        && ::utimensat(AT_FDCWD, nativePath.constData(), times, 0) == 0;
}

bool VfsFileTimes::apply(int fd, qint64 accessTime, qint64 modificationTime)
{
    timespec times[2];
    return toTimespecs(accessTime, modificationTime, times) && ::futimens(fd, times) == 0;
}

bool VfsFileTimes::applyAt(int dirfd, const QByteArray& name, qint64 accessTime,
                           qint64 modificationTime)
{
    timespec times[2];
    return toTimespecs(accessTime, modificationTime, times)
        && ::utimensat(dirfd, name.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}
