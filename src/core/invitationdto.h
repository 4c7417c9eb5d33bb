#pragma once

#include "core/uuid.h"

#include <QMetaType>

// One invitation this peer has issued.
struct InvitationDto
{
    Uuid uuid;
    QString name;     // name given to the invited peer
    QString password;
    qint64 timestamp = 0; // creation, seconds since the epoch
    qint64 expires = 0;   // expiry, seconds since the epoch

    bool operator==(const InvitationDto& o) const
    {
        return uuid == o.uuid && name == o.name && password == o.password
               && timestamp == o.timestamp && expires == o.expires;
    }
    bool operator!=(const InvitationDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(InvitationDto)
