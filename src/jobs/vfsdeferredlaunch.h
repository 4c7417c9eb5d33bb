#pragma once

#include "jobs/vfscopyentry.h"

#include <QString>

#include <vector>

// A copy of remote files to the own machine after which an application is
// launched on the copies: the copy request itself, then the application and
// the local paths it receives.
struct VfsDeferredLaunch
{
    QString id;
    QString srcPeerUuid;
    QString dstPeerUuid;
    quint8 move = 0;
    quint8 overwrite = 0;
    quint8 overwriteAll = 0;
    std::vector<VfsCopyEntry> entries;
    QString dstPath;
    int appId = 0;
    std::vector<QString> localPaths;
};
