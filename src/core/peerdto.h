#pragma once

#include "core/uuid.h"

#include <QDateTime>
#include <QMetaType>

// A peer's identity record.
struct PeerDto
{
    Uuid uuid;          // brace form; the own peer has the null UUID
    QString type;       // "velm" for peers of this program
    QDateTime timestamp; // when the peer was added; stored as seconds

    bool operator==(const PeerDto& o) const
    {
        return uuid == o.uuid && type == o.type && timestamp == o.timestamp;
    }
    bool operator!=(const PeerDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(PeerDto)
