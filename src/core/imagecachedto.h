#pragma once

#include "core/uuid.h"

#include <QByteArray>
#include <QMetaType>

// A cached preview image of a file of some peer.
struct ImageCacheDto
{
    Uuid imgUuid;
    Uuid peerUuid;
    QString uri; // path of the file
    qint32 width = 0;
    qint32 height = 0;
    qint64 mtime = 0; // the file's modification, milliseconds since the epoch
    qint64 atime = 0; // last use, milliseconds since the epoch
    QByteArray img;   // the encoded image

    bool operator==(const ImageCacheDto& o) const
    {
        return imgUuid == o.imgUuid && peerUuid == o.peerUuid && uri == o.uri
               && width == o.width && height == o.height && mtime == o.mtime
               && atime == o.atime && img == o.img;
    }
    bool operator!=(const ImageCacheDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(ImageCacheDto)
