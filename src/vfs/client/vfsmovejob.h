#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>
#include <QMutex>
#include <QString>

// Moves or renames one path on a peer.
struct VfsMoveJob : VfsClientJob
{
    enum Flag : quint32 {
        RefuseCrossDevice = 0x01,
        RefuseExisting = 0x02,
    };

    QMutex mutex;
    quint32 flags = 0;
    QString sourcePath;
    QString destinationPath;
};

Q_DECLARE_METATYPE(VfsMoveJob*)
