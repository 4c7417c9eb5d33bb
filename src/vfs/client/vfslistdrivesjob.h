#pragma once

#include "vfs/client/vfsclientjob.h"
#include "vfs/client/vfsdrive.h"

#include <QMetaType>
#include <QMutex>
#include <QString>

#include <vector>

// Lists the drives of a peer.
struct VfsListDrivesJob : VfsClientJob
{
    QString label; // names the request in the log
    QMutex mutex;
    std::vector<VfsDrive> drives;
};

Q_DECLARE_METATYPE(VfsListDrivesJob*)
