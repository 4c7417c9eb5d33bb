#pragma once

#include "core/uuid.h"

#include <QMetaType>

// One key/value attribute of a peer, such as "name", "devicetype", "icon",
// "invitation" or "invpw".
struct PeerAttributeDto
{
    Uuid attrUuid;
    QString key;
    QString value;
    qint64 timestamp = 0; // seconds since the epoch

    bool operator==(const PeerAttributeDto& o) const
    {
        return attrUuid == o.attrUuid && key == o.key && value == o.value
               && timestamp == o.timestamp;
    }
    bool operator!=(const PeerAttributeDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(PeerAttributeDto)
