#include "vfs/server/vfsopenfile.h"

#include "core/logger.h"
#include "vfs/server/vfsfiletimes.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

VfsOpenFile::VfsOpenFile(int fd, QByteArray nativePath, bool readable, bool writable)
    : m_fd(fd), m_nativePath(std::move(nativePath)), m_readable(readable), m_writable(writable)
{
    m_idle.start();
}

VfsOpenFile::~VfsOpenFile()
{
    if (m_fd < 0)
        return;
    if (m_applyTimes.load() && (m_accessTime > 0 || m_modificationTime > 0)) {
        if (!VfsFileTimes::apply(m_fd, m_accessTime, m_modificationTime)) {
            const int error = errno;
            Logger::log(Logger::ERR1, "failed to set atime, mtime: %s", std::strerror(error));
            Logger::log(Logger::VSRV, "failed to set file time status: %d", error);
        }
    }
    ::close(m_fd);
}

void VfsOpenFile::markClosed(bool applyTimes)
{
    if (m_open.exchange(false))
        m_applyTimes.store(applyTimes);
}

void VfsOpenFile::keepTimes(qint64 accessTime, qint64 birthTime, qint64 modificationTime)
{
    m_accessTime = accessTime > 0 ? accessTime : 0;
    m_birthTime = birthTime > 0 ? birthTime : 0;
    m_modificationTime = modificationTime > 0 ? modificationTime : 0;
}
