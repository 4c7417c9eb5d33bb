#pragma once

#include "vfs/client/vfsclientjob.h"
#include "vfs/client/vfsdirectoryentry.h"

#include <QChar>
#include <QMetaType>
#include <QMutex>
#include <QString>

#include <functional>
#include <vector>

// Lists one directory. The client pages through the listing and hands the
// record back once: complete (JobFinished, status FSO_STATUS_COMPLETE) or
// failed (JobFailed) with the entries of the pages that did arrive. Read the
// record under its mutex while it is queued.
struct VfsListDirectoryJob : VfsClientJob
{
    // Set by the client when the record is queued. Calling it withdraws the
    // record: it leaves the client's queue and is never handed back.
    std::function<void(VfsListDirectoryJob*)> release;

    QString path;
    quint8 watch = 0;       // non-zero: the server reports later changes
    QChar separator = '/';  // the server's path separator
    quint64 fileId = 0;     // the directory's inode number, 0 when unknown
    QMutex mutex;
    std::vector<VfsDirectoryEntry> entries;
};

Q_DECLARE_METATYPE(VfsListDirectoryJob*)
