#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>
#include <QString>

// Creates a directory (and its missing parents) on a peer.
struct VfsMakeDirectoryJob : VfsClientJob
{
    quint32 flags = 0;
    QString path;
    quint32 existing = 0; // from the reply: 4 existed as a directory, 12 as something else
};

Q_DECLARE_METATYPE(VfsMakeDirectoryJob*)
