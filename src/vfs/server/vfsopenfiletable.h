#pragma once

#include "vfs/server/vfsopenfile.h"

#include <QMutex>
#include <QVector>

#include <memory>
#include <vector>

// The files a peer has open on the file-system server, at most 256, in the
// order they were opened. Handle numbers count up from 1 and wrap from 65535
// to 1; 0 is never given, nor a number still in use. Changed on the server's
// thread only; find() may be called from any thread.
class VfsOpenFileTable
{
public:
    static constexpr int MaxOpenFiles = 256;

    VfsOpenFileTable() = default;
    // Closes what is still open, without applying kept times.
    ~VfsOpenFileTable();
    VfsOpenFileTable(const VfsOpenFileTable&) = delete;
    VfsOpenFileTable& operator=(const VfsOpenFileTable&) = delete;

    int count() const;
    bool isFull() const { return count() >= MaxOpenFiles; }

    // Gives the file its handle and takes it in; 0 when the table is full.
    quint16 add(const std::shared_ptr<VfsOpenFile>& file);
    // The open file with that handle, or null.
    std::shared_ptr<VfsOpenFile> find(quint16 handle) const;
    // Takes the file out and closes it (see VfsOpenFile); applyTimes writes
    // the times kept for the close. False when no file has that handle.
    bool close(quint16 handle, bool applyTimes);
    // Closes the first file, in opening order, that has been idle for at
    // least idleMilliseconds and is not in use right now. No file times are
    // applied: the copy that stopped may be incomplete. The handle, or 0.
    quint16 closeIdle(qint64 idleMilliseconds);
    // Closes everything without applying file times.
    void closeAll();
    QVector<quint16> handles() const;

private:
    // Where the file with that handle stands, or -1; with the lock held.
    int indexOf(quint16 handle) const;

    mutable QMutex m_mutex;
    std::vector<std::shared_ptr<VfsOpenFile>> m_files;
    quint16 m_counter = 0;
};
