#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>

// Writes 1 to 64400 bytes at an offset of an open file; any other size fails
// at once without sending anything.
struct VfsWriteFileJob : VfsClientJob
{
    static constexpr int MaxData = 64400;

    quint8 flags = 0;
    quint16 handle = 0;
    quint64 offset = 0;
    quint32 size = 0;
    quint8 data[MaxData];
    quint32 written = 0; // from the reply
};

Q_DECLARE_METATYPE(VfsWriteFileJob*)
