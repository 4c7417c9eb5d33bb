#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>
#include <QString>

// Opens a file on a peer, or only sets its times. Flags are those of the
// OPEN_FILE request (VfsMirkCommand::OpenFlag); the client adds the times bit
// itself when it sends times.
struct VfsOpenFileJob : VfsClientJob
{
    quint32 flags = 0;
    qint64 accessTime = 0;       // milliseconds since 1970-01-01 UTC; 0 or less: not given
    qint64 birthTime = 0;        // never sent
    qint64 modificationTime = 0;
    quint64 size = 0;            // the size to cut the file to
    QString path;
    quint16 handle = 0;          // from the reply
};

Q_DECLARE_METATYPE(VfsOpenFileJob*)
