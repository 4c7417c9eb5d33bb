#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>
#include <QString>

// Deletes a path on a peer, or moves it to the peer's trash (flags bit 0).
struct VfsDeleteFileJob : VfsClientJob
{
    quint32 flags = 0;
    QString path;
    QString failedPath; // the path named by an error reply
};

Q_DECLARE_METATYPE(VfsDeleteFileJob*)
