#pragma once

#include "core/uuid.h"

#include <QDateTime>
#include <QMetaType>

// One share granted to a peer.
struct PeerAclDto
{
    Uuid uuid;
    QString name;     // display name
    QString selector; // path of the shared directory, drive or file
    quint32 flags = 0; // 1 read, 2 write, 4 directory, 8 drive
    QDateTime timestamp; // stored as seconds

    bool operator==(const PeerAclDto& o) const
    {
        return uuid == o.uuid && name == o.name && selector == o.selector && flags == o.flags
               && timestamp == o.timestamp;
    }
    bool operator!=(const PeerAclDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(PeerAclDto)
