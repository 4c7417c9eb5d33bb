#pragma once

#include "core/uuid.h"

#include <QMetaType>

// One way to reach a peer.
struct TransportDto
{
    Uuid uuid;
    QString type; // "tcp", "udp", "onion" or "turn"
    QString host; // address or onion address
    quint16 port = 0;
    qint64 timestamp = 0; // last stored or seen, seconds since the epoch
    bool stream = false;  // true for the stream types "tcp" and "onion"

    bool operator==(const TransportDto& o) const
    {
        return uuid == o.uuid && type == o.type && host == o.host && port == o.port
               && timestamp == o.timestamp && stream == o.stream;
    }
    bool operator!=(const TransportDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(TransportDto)
