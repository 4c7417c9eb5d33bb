#include "vfs/protocol/vfsmirkcommand.h"

QByteArray VfsMirkCommand::driveRootPath(int i) const
{
    if (i < 0 || i >= MaxDrives || i >= count)
        return QByteArray();
    const Drive& drive = drives[i];
    if (quint64(drive.rootPathOffset) + drive.rootPathLength > quint64(driveStringsUsed))
        return QByteArray();
    return QByteArray(driveStrings + drive.rootPathOffset, int(drive.rootPathLength));
}

QByteArray VfsMirkCommand::driveName(int i) const
{
    if (i < 0 || i >= MaxDrives || i >= count)
        return QByteArray();
    const Drive& drive = drives[i];
    if (quint64(drive.nameOffset) + drive.nameLength > quint64(driveStringsUsed))
        return QByteArray();
    return QByteArray(driveStrings + drive.nameOffset, int(drive.nameLength));
}
