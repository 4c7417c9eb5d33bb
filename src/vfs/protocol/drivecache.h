#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <vector>

// One local volume as the file-system server reports it to LIST_DRIVES.
struct DriveCache
{
    enum Type : quint8 { FixedDisk = 0, HotPluggable = 1 };
    enum PlugType : quint8 {
        PlugGeneral = 0,
        PlugUsb = 3,
        PlugUsb3 = 4,
        PlugMemoryCard = 5,
        PlugNetworkShare = 6,
    };

    quint8 readOnly = 0;
    quint8 type = FixedDisk;
    quint8 plugType = PlugGeneral;
    quint8 state = 0;
    quint64 bytesTotal = 0;
    quint64 bytesAvailable = 0;
    QString id;          // UUID text in braces
    QByteArray name;     // display name, UTF-8
    QByteArray rootPath; // mount point, UTF-8
};

Q_DECLARE_METATYPE(DriveCache)
