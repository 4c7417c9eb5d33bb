#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>

// Reads up to 64400 bytes at an offset of an open file. A reply for another
// offset or with more bytes than asked for fails the request.
struct VfsReadFileJob : VfsClientJob
{
    static constexpr int MaxData = 64400;

    quint8 flags = 0;
    quint16 handle = 0;
    quint64 offset = 0;
    quint32 size = 0;   // bytes wanted
    quint32 length = 0; // bytes received
    quint8 data[MaxData];
};

Q_DECLARE_METATYPE(VfsReadFileJob*)
