#pragma once

#include "core/uuid.h"

#include <QMetaType>

// A named area of the node view.
struct VSectorDto
{
    Uuid uuid;
    QString name;
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    bool operator==(const VSectorDto& o) const
    {
        return uuid == o.uuid && name == o.name && x == o.x && y == o.y && w == o.w && h == o.h;
    }
    bool operator!=(const VSectorDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(VSectorDto)
