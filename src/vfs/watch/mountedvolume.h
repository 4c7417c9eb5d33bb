#pragma once

#include <QByteArray>
#include <QString>

// One entry of the mount table, with the figures of its file system.
struct MountedVolume
{
    QString rootPath;
    QByteArray device;
    QByteArray fileSystemType;
    QByteArray subvolume;
    QString displayName; // the label, or the root path when there is none
    bool ready = false;
    bool valid = false;
    bool readOnly = false;
    qint64 bytesTotal = 0;
    qint64 bytesAvailable = 0;
};
