#include "vfsfiletimes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

timespec toTimespec(qint64 milliseconds)
{
    timespec time{};
    if (milliseconds > 0) {
        time.tv_sec = time_t(milliseconds / 1000);
        time.tv_nsec = 0;
    } else {
        time.tv_nsec = UTIME_OMIT;
    }
    return time;
}

} // namespace

bool VfsFileTimes::apply(const QByteArray& nativePath, qint64 accessTime,
                         qint64 modificationTime)
{
    if (accessTime <= 0 && modificationTime <= 0) {
        errno = EINVAL;
        return false;
    }
    const timespec times[2] = { toTimespec(accessTime), toTimespec(modificationTime) };
    return ::utimensat(AT_FDCWD, nativePath.constData(), times, 0) == 0;
}

bool VfsFileTimes::apply(int fd, qint64 accessTime, qint64 modificationTime)
{
    if (accessTime <= 0 && modificationTime <= 0) {
        errno = EINVAL;
        return false;
    }
    const timespec times[2] = { toTimespec(accessTime), toTimespec(modificationTime) };
    return ::futimens(fd, times) == 0;
}
