#pragma once

#include <QMetaType>
#include <QString>

// One drive of a peer as its file-system server lists it (LIST_DRIVES).
// A plain value, copied freely; a default drive has every number 0 and both
// strings empty.
struct VfsDrive
{
    quint16 trId = 0;    // the listing that delivered the drive; not part of equality
    quint8 type = 0;     // drive kind
    quint8 plugType = 0; // how the drive is attached
    quint8 state = 0;    // state byte as the server sent it
    QString name;        // the server's display name
    QString path;        // root path on the serving machine
    quint64 bytesAvailable = 0;
    quint64 bytesTotal = 0;

    // The capacity in SI units ("500 GB").
    QString formattedSize() const;

    bool operator==(const VfsDrive& other) const;
    bool operator!=(const VfsDrive& other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(VfsDrive)
