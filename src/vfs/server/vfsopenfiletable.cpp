#include "vfs/server/vfsopenfiletable.h"

#include "core/logger.h"

#include <QMutexLocker>

VfsOpenFileTable::~VfsOpenFileTable()
{
    closeAll();
}

int VfsOpenFileTable::count() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_files.size());
}

quint16 VfsOpenFileTable::add(const std::shared_ptr<VfsOpenFile>& file)
{
    if (!file)
        return 0;
    QMutexLocker lock(&m_mutex);
    if (int(m_files.size()) >= MaxOpenFiles)
        return 0;
    // At most 256 numbers are taken, so this ends within 257 steps.
    do {
        m_counter = m_counter == 0xFFFF ? 1 : quint16(m_counter + 1);
    } while (indexOf(m_counter) >= 0);
    file->setHandle(m_counter);
    m_files.push_back(file);
    return m_counter;
}

std::shared_ptr<VfsOpenFile> VfsOpenFileTable::find(quint16 handle) const
{
    QMutexLocker lock(&m_mutex);
    const int index = indexOf(handle);
    return index < 0 ? nullptr : m_files[size_t(index)];
}

bool VfsOpenFileTable::close(quint16 handle, bool applyTimes)
{
    std::shared_ptr<VfsOpenFile> file;
    {
        QMutexLocker lock(&m_mutex);
        const int index = indexOf(handle);
        if (index < 0)
            return false;
        file = m_files[size_t(index)];
        m_files.erase(m_files.begin() + index);
    }
    file->markClosed(applyTimes);
    return true; // the descriptor closes when the last user lets go
}

quint16 VfsOpenFileTable::closeIdle(qint64 idleMilliseconds)
{
    std::shared_ptr<VfsOpenFile> file;
    {
        QMutexLocker lock(&m_mutex);
        for (auto it = m_files.begin(); it != m_files.end(); ++it) {
            Logger::log(Logger::VSRV, "close file handle check: %u", unsigned((*it)->handle()));
            // A worker holding the file is using it: not idle.
            if (!(*it)->mutex().tryLock())
                continue;
            const bool idle = (*it)->idleMilliseconds() >= idleMilliseconds;
            (*it)->mutex().unlock();
            if (idle) {
                file = *it;
                m_files.erase(it);
                break;
            }
        }
    }
    if (!file)
        return 0;
    file->markClosed(false);
    return file->handle();
}

void VfsOpenFileTable::closeAll()
{
    std::vector<std::shared_ptr<VfsOpenFile>> files;
    {
        QMutexLocker lock(&m_mutex);
        files.swap(m_files);
    }
    for (const auto& file : files)
        file->markClosed(false);
}

QVector<quint16> VfsOpenFileTable::handles() const
{
    QMutexLocker lock(&m_mutex);
    QVector<quint16> result;
    for (const auto& file : m_files)
        result.append(file->handle());
    return result;
}

int VfsOpenFileTable::indexOf(quint16 handle) const
{
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (m_files[i]->handle() == handle)
            return int(i);
    }
    return -1;
}
