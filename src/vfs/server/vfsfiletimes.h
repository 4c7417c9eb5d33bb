#pragma once

#include <QByteArray>

// Sets the access and modification times of a file, given in milliseconds
// since 1970-01-01 UTC and applied in whole seconds. A time of 0 or less was
// not given: that time is left as it is, never set to 1970.
class VfsFileTimes
{
public:
    // False when the system call failed (errno tells why) or when neither
    // time was given.
    static bool apply(const QByteArray& nativePath, qint64 accessTime, qint64 modificationTime);
    static bool apply(int fd, qint64 accessTime, qint64 modificationTime);
    // The entry name of the directory dirfd; a symbolic link there gets its
    // own times, what it points to is left alone.
    static bool applyAt(int dirfd, const QByteArray& name, qint64 accessTime,
                        qint64 modificationTime);
};
