#pragma once

#include "core/uuid.h"

#include <QMetaType>

// A node placed in a sector of the node view.
struct VNodeDto
{
    Uuid uuid;
    Uuid peerUuid;
    Uuid vsectorUuid;
    QString name;
    QString style;
    QString path;
    QString type;
    QString icon;
    quint64 fileid = 0;
    double x = 0;
    double y = 0;

    bool operator==(const VNodeDto& o) const
    {
        return uuid == o.uuid && peerUuid == o.peerUuid && vsectorUuid == o.vsectorUuid
               && name == o.name && style == o.style && path == o.path && type == o.type
               && icon == o.icon && fileid == o.fileid && x == o.x && y == o.y;
    }
    bool operator!=(const VNodeDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(VNodeDto)
