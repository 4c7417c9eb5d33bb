#include "models/vfsdrivemodel.h"

#include "core/logger.h"
#include "models/ithemepixmapprovider.h"

#include <QIcon>
#include <QMutex>
#include <QMutexLocker>
#include <QPixmap>

namespace {

// "C:", "D:" ...: a lettered drive path.
bool isLettered(const QString& path)
{
    return path.size() >= 2 && path.at(1) == QLatin1Char(':');
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

// True when path lies in the drive rooted at root: equal, or continuing
// after root with a new path component.
bool holdsPath(const QString& root, const QString& path)
{
    if (root.isEmpty() || !path.startsWith(root))
        return false;
    return path.size() == root.size() || isSeparator(root.back()) || isSeparator(path.at(root.size()));
}

} // namespace

class VfsDriveModelPrivate
{
public:
    QMutex mutex; // guards pending
    std::vector<VfsDrive> drives;
    std::vector<VfsDrive> pending;
};

VfsDriveModel::VfsDriveModel(QObject* parent) : QAbstractListModel(parent), d(new VfsDriveModelPrivate)
{
}

VfsDriveModel::~VfsDriveModel() = default;

int VfsDriveModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(d->drives.size());
}

int VfsDriveModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString VfsDriveModel::typeText(quint8 type)
{
    switch (type) {
    case DiskType:
        return QStringLiteral("disk");
    case HotplugType:
        return QStringLiteral("hotplug");
    case SmbType:
        return QStringLiteral("smb");
    case ShareType:
        return QStringLiteral("share");
    default:
        return QStringLiteral("unknown");
    }
}

QString VfsDriveModel::plugTypeText(quint8 plugType)
{
    switch (plugType) {
    case 0:
        return QStringLiteral("general");
    case 1:
        return QStringLiteral("sata");
    case 2:
        return QStringLiteral("firewire");
    case 3:
        return QStringLiteral("usb");
    case 4:
        return QStringLiteral("usb3");
    case 5:
        return QStringLiteral("mmc");
    default:
        return QStringLiteral("unknown");
    }
}

QString VfsDriveModel::iconName(const VfsDrive& drive)
{
    if (drive.type == SmbType || drive.plugType == 6)
        return QStringLiteral("icon/drive-smb.svg");
    if (drive.type == HotplugType)
        return QStringLiteral("icon/drive-hotplug.svg");
    return QStringLiteral("icon/drive-disk.svg");
}

QString VfsDriveModel::displayName(const VfsDrive& drive)
{
    const QString& name = drive.name;
    const QString& path = drive.path;
    if (path.size() == 2 && path.at(1) == QLatin1Char(':')) {
        if (drive.type == SmbType) {
            // "\\server\share" shows as "share (\\server) (Z:)".
            const QStringList parts = name.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
            if (parts.isEmpty())
                return path;
            return QStringLiteral("%1 (\\\\%2) (%3)").arg(parts.last(), parts.first(), path);
        }
        if (name.isEmpty()) {
            //% "Local Disk (%1)"
            return qtTrId("drive-local-disk").arg(path);
        }
        return QStringLiteral("%1 (%2)").arg(name, path);
    }
    const bool plainName = !name.contains(QLatin1Char('/'));
    if (name.size() > 1 && plainName)
        return name;
    if (path == QLatin1String("/")) {
        //% "Main HD"
        return qtTrId("drive-main-hd");
    }
    if (plainName)
        return name;
    //% "%1 GB Volume"
    return qtTrId("drive-volume-gb").arg(drive.bytesTotal / 1000000000ull);
}

QString VfsDriveModel::shortName(const VfsDrive& drive, int row)
{
    const QString& name = drive.name;
    if (drive.path.size() == 2 && drive.path.at(1) == QLatin1Char(':'))
        return drive.path.left(1);
    const bool plainName = !name.contains(QLatin1Char('/'));
    if (name.size() > 1 && plainName)
        return name;
    if (drive.path == QLatin1String("/"))
        return QStringLiteral("HD");
    if (plainName)
        return name;
    return QStringLiteral("HD%1").arg(row);
}

namespace {

QIcon driveIcon(const VfsDrive& drive)
{
    QIcon icon;
    if (IThemePixmapProvider* provider = IThemePixmapProvider::instance()) {
        const QString id = VfsDriveModel::iconName(drive);
        for (int side : {16, 24, 32, 48}) {
            QSize size;
            const QPixmap pixmap = provider->requestPixmap(id, &size, QSize(side, side));
            if (!pixmap.isNull())
                icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
        }
    }
    if (icon.isNull())
        icon = QIcon::fromTheme(QStringLiteral("drive-harddisk"));
    return icon;
}

} // namespace

QVariant VfsDriveModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.parent().isValid() || index.row() < 0
        || index.row() >= int(d->drives.size()))
        return QVariant();
    const int row = index.row();
    const VfsDrive& drive = d->drives[size_t(row)];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case 0:
            return drive.name;
        case 1:
            return displayName(drive);
        case 2:
            return shortName(drive, row);
        case 3:
            return typeText(drive.type);
        case 4:
            return drive.path;
        default:
            return QVariant();
        }
    case Qt::DecorationRole:
        return index.column() == 2 ? QVariant(driveIcon(drive)) : QVariant();
    case NameRole:
        return drive.name;
    case DisplayNameRole:
        return displayName(drive);
    case ShortNameRole:
        return shortName(drive, row);
    case IconRole:
        return driveIcon(drive);
    case IconNameRole:
        return iconName(drive);
    case PathRole:
        return drive.path;
    case TypeRole:
        return typeText(drive.type);
    case PlugTypeRole:
        return plugTypeText(drive.plugType);
    case BytesAvailableRole:
        return QVariant::fromValue<quint64>(drive.bytesAvailable);
    case BytesTotalRole:
        return QVariant::fromValue<quint64>(drive.bytesTotal);
    default: // the state byte is kept, not shown
        return QVariant();
    }
}

QHash<int, QByteArray> VfsDriveModel::roleNames() const
{
    return {
        {NameRole, "vfsDriveName"},
        {DisplayNameRole, "vfsDriveDisplayName"},
        {ShortNameRole, "vfsDriveShortName"},
        {IconRole, "vfsDriveIcon"},
        {IconNameRole, "vfsDriveIconName"},
        {PathRole, "vfsDrivePath"},
        {TypeRole, "vfsDriveType"},
        {PlugTypeRole, "vfsDrivePlugType"},
        {StateRole, "vfsDriveState"},
        {BytesAvailableRole, "vfsDriveBytesAvailable"},
        {BytesTotalRole, "vfsDriveBytesTotal"},
    };
}

QString VfsDriveModel::getPathForRow(int row) const
{
    return row >= 0 && row < int(d->drives.size()) ? d->drives[size_t(row)].path : QString();
}

QModelIndex VfsDriveModel::indexForPath(const QString& path) const
{
    for (size_t row = 0; row < d->drives.size(); ++row) {
        if (d->drives[row].path == path)
            return index(int(row), 0);
    }
    return QModelIndex();
}

VfsDrive VfsDriveModel::driveForPath(const QString& path) const
{
    const VfsDrive* best = nullptr;
    for (const VfsDrive& drive : d->drives) {
        if (holdsPath(drive.path, path) && (!best || drive.path.size() > best->path.size()))
            best = &drive;
    }
    return best ? *best : VfsDrive();
}

VfsDrive VfsDriveModel::drive(int row) const
{
    return row >= 0 && row < int(d->drives.size()) ? d->drives[size_t(row)] : VfsDrive();
}

void VfsDriveModel::updateDrives(const std::vector<VfsDrive>& drives)
{
    QMutexLocker lock(&d->mutex);
    d->pending = drives;
    QMetaObject::invokeMethod(this, "processUpdatedDrivesQueue", Qt::QueuedConnection);
}

void VfsDriveModel::processUpdatedDrivesQueue()
{
    // The listing is taken out under the lock and merged without it: the
    // merge emits model signals, and their slots may hand over the next
    // listing.
    std::vector<VfsDrive> pending;
    {
        QMutexLocker lock(&d->mutex);
        pending.swap(d->pending);
    }
    if (pending.empty())
        return; // an empty listing never removes a drive

    std::vector<VfsDrive>& drives = d->drives;
    for (const VfsDrive& p : pending) {
        if (p.type == ShareType)
            continue;
        const bool lettered = isLettered(p.path);
        int match = -1;
        int insertAt = -1;
        for (size_t row = 0; row < drives.size(); ++row) {
            const VfsDrive& r = drives[row];
            if (r.path == p.path) {
                match = int(row);
                break;
            }
            // Lettered drives go before the first lettered row with a
            // greater letter.
            if (insertAt < 0 && lettered && isLettered(r.path) && r.path.at(0) > p.path.at(0))
                insertAt = int(row);
        }
        if (match >= 0) {
            VfsDrive& m = drives[size_t(match)];
            m.trId = p.trId;
            if (m != p) {
                Logger::log(Logger::VMDL, "update drive %s in model", qUtf8Printable(p.path));
                m = p;
                emit dataChanged(index(match, 0), index(match, ColumnCount - 1), {});
            }
            continue;
        }
        int row;
        if (p.path == QLatin1String("/"))
            row = 0;
        else if (p.bytesTotal != 0)
            row = insertAt >= 0 ? insertAt : int(drives.size());
        else
            continue; // no capacity: nothing to show
        Logger::log(Logger::VMDL, "add drive name: %s, path: %s to model index = %d",
                    qUtf8Printable(p.name), qUtf8Printable(p.path), row);
        beginInsertRows(QModelIndex(), row, row);
        drives.insert(drives.begin() + row, p);
        endInsertRows();
    }

    // Every drive of one listing carries its transaction id; rows with
    // another one were not in this listing.
    const quint16 tag = pending.front().trId;
    for (size_t row = 0; row < drives.size();) {
        if (drives[row].trId == tag) {
            ++row;
            continue;
        }
        Logger::log(Logger::VMDL, "remove drive name: %s, path: %s to model index = %d",
                    qUtf8Printable(drives[row].name), qUtf8Printable(drives[row].path), int(row));
        beginRemoveRows(QModelIndex(), int(row), int(row));
        drives.erase(drives.begin() + long(row));
        endRemoveRows();
    }
}
