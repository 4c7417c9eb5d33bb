#pragma once

#include "core/uuid.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>

// One key stored for a peer.
struct CryptoKeyDto
{
    Uuid keyUuid;
    QByteArray key;
    // "pksk": own 32-byte public key followed by the 32-byte secret key;
    // "pk": a peer's 32-byte public key; "ED25519-V3": onion service key.
    QString type;
    QDateTime timestamp; // stored as seconds

    bool operator==(const CryptoKeyDto& o) const
    {
        return keyUuid == o.keyUuid && key == o.key && type == o.type && timestamp == o.timestamp;
    }
    bool operator!=(const CryptoKeyDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(CryptoKeyDto)
