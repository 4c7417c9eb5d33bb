#pragma once

#include "vfs/client/vfsclientjob.h"

#include <QMetaType>

// Asks for the SHA-1 digests of count blocks of an open file. A reply with
// more digests than asked for fails the request.
struct VfsHashFileJob : VfsClientJob
{
    static constexpr int MaxDigestBytes = 64400;
    static constexpr int DigestSize = 20;

    quint8 flags = 0;
    quint16 handle = 0;
    quint16 count = 0;      // blocks wanted
    quint32 blockSize = 0;
    quint64 offset = 0;
    quint8 replyFlags = 0;
    quint16 digestsReceived = 0;
    quint32 digestBytes = 0;
    quint8 digests[MaxDigestBytes];
};

Q_DECLARE_METATYPE(VfsHashFileJob*)
