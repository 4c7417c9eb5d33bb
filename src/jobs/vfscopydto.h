#pragma once

#include "jobs/vfscopyentry.h"
#include "jobs/vfsdeferredlaunch.h"

#include <QMetaType>
#include <QString>

#include <vector>

struct VfsMakeDirectoryJob;
struct VfsMoveJob;

// The copy and move request of the file-manager window, and at the same time
// its internal clipboard. The first eight fields are the request proper: the
// jobs read only those, and a finished copy hands them back. The last three
// are work in progress of the window's own record; they stay empty in a
// request. A new record has empty strings, clear flags and empty lists.
struct VfsCopyDto
{
    QString id;          // braced uuid naming the request; empty in a new record
    QString srcPeerUuid; // the peer that holds the entries
    QString dstPeerUuid; // the peer that receives them
    quint8 move = 0;     // 1: the entries are moved (deleted once copied)
    quint8 overwrite = 0;    // 1: replace the first clashing file without asking
    quint8 overwriteAll = 0; // 1: replace every clashing file without asking
    std::vector<VfsCopyEntry> entries; // in selection order
    QString dstPath;     // the destination directory on the destination peer

    // Not owned by the record.
    std::vector<VfsMakeDirectoryJob*> pendingMakeDirectoryJobs;
    std::vector<VfsMoveJob*> pendingMoveJobs;
    std::vector<VfsDeferredLaunch> pendingLaunches;
};

// The first eight fields of a request; the window's own bookkeeping stays
// behind.
inline VfsCopyDto requestPart(const VfsCopyDto& from)
{
    VfsCopyDto to;
    to.id = from.id;
    to.srcPeerUuid = from.srcPeerUuid;
    to.dstPeerUuid = from.dstPeerUuid;
    to.move = from.move;
    to.overwrite = from.overwrite;
    to.overwriteAll = from.overwriteAll;
    to.entries = from.entries;
    to.dstPath = from.dstPath;
    return to;
}

Q_DECLARE_METATYPE(VfsCopyDto)
