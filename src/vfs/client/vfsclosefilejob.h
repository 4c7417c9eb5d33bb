#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>

// Closes a handle on a peer.
struct VfsCloseFileJob : VfsClientJob
{
    quint32 flags = 0;
    quint16 handle = 0;
};

Q_DECLARE_METATYPE(VfsCloseFileJob*)
