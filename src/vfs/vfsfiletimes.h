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
};
