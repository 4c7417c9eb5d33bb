#include "vfs/client/vfsdrive.h"

#include <QLocale>

QString VfsDrive::formattedSize() const
{
    return QLocale().formattedDataSize(qint64(bytesTotal), 0, QLocale::DataSizeSIFormat);
}

bool VfsDrive::operator==(const VfsDrive& other) const
{
    return type == other.type && plugType == other.plugType && state == other.state
        && name == other.name && path == other.path && bytesAvailable == other.bytesAvailable
        && bytesTotal == other.bytesTotal;
}
