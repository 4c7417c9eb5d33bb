#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>

#include <atomic>

// One file that a peer opened on the file-system server, known to it by a
// handle number. Workers on the thread pool hold the mutex for the whole
// use of the descriptor; the idle clock and the kept times are guarded by it
// as well.
//
// Records are shared (std::shared_ptr): the open-file table holds one
// reference, a worker that uses the file holds another. Closing marks the
// record closed, so workers that come later find it closed, and the
// descriptor itself is closed when the last reference goes. A file is thus
// never closed under a running worker, and file times asked for at close are
// applied after the last write.
class VfsOpenFile
{
public:
    VfsOpenFile(int fd, QByteArray nativePath, bool readable, bool writable);
    ~VfsOpenFile();
    VfsOpenFile(const VfsOpenFile&) = delete;
    VfsOpenFile& operator=(const VfsOpenFile&) = delete;

    QMutex& mutex() { return m_mutex; }
    int fd() const { return m_fd; }
    const QByteArray& nativePath() const { return m_nativePath; }
    bool isReadable() const { return m_readable; }
    bool isWritable() const { return m_writable; }
    quint16 handle() const { return m_handle; }
    void setHandle(quint16 handle) { m_handle = handle; }

    // False once the file was closed; check it after taking the mutex.
    bool isOpen() const { return m_open.load(); }
    // No later use; the kept times are applied at the final close only when
    // applyTimes is set (a regular close, not an idle or forced one).
    void markClosed(bool applyTimes);

    // Under the mutex.
    void touch() { m_idle.restart(); }
    qint64 idleMilliseconds() const { return m_idle.elapsed(); }
    // Times in milliseconds since 1970-01-01 UTC to apply at close; 0 = not given.
    void keepTimes(qint64 accessTime, qint64 birthTime, qint64 modificationTime);
    qint64 accessTime() const { return m_accessTime; }
    qint64 birthTime() const { return m_birthTime; }
    qint64 modificationTime() const { return m_modificationTime; }

private:
    QMutex m_mutex;
    int m_fd;
    QByteArray m_nativePath;
    bool m_readable;
    bool m_writable;
    quint16 m_handle = 0;
    std::atomic<bool> m_open{ true };
    std::atomic<bool> m_applyTimes{ false };
    QElapsedTimer m_idle;
    qint64 m_accessTime = 0;
    qint64 m_birthTime = 0; // kept, but no system call sets a birth time
    qint64 m_modificationTime = 0;
};
