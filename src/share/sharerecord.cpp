#include "share/sharerecord.h"

#include "core/idatabase.h"
#include "models/vfsmodel.h"

#include <QFileInfo>
#include <QUuid>

namespace {
PeerAclDto newRecord(const QString& path, const QString& name, quint32 flags, const QDateTime& now)
{
    PeerAclDto acl;
    acl.uuid = ShareRecord::newShareUuid();
    acl.name = name;
    acl.selector = path;
    acl.flags = flags;
    acl.timestamp = now.toUTC();
    return acl;
}
} // namespace

QString ShareRecord::newShareUuid()
{
    return QUuid().toString();
}

bool ShareRecord::isNewShare(const PeerAclDto& acl)
{
    return acl.uuid == newShareUuid();
}

QString ShareRecord::drivePath(const QString& path)
{
    return path.endsWith(QLatin1Char(':')) ? path + QLatin1Char('\\') : path;
}

const PeerAclDto* ShareRecord::findBySelector(const std::vector<PeerAclDto>& acls, const QString& selector)
{
    for (const PeerAclDto& acl : acls) {
        if (acl.selector == selector)
            return &acl;
    }
    return nullptr;
}

const PeerAclDto* ShareRecord::findByUuid(const std::vector<PeerAclDto>& acls, const QString& uuid)
{
    for (const PeerAclDto& acl : acls) {
        if (normalizedUuid(acl.uuid) == normalizedUuid(uuid))
            return &acl;
    }
    return nullptr;
}

PeerAclDto ShareRecord::forItem(const std::vector<PeerAclDto>& acls, const QString& itemPath, const QString& name,
                                int type, const QDateTime& now)
{
    const bool drive = type == VfsModel::DriveType;
    const QString path = drive ? drivePath(itemPath) : itemPath;
    if (const PeerAclDto* existing = findBySelector(acls, path))
        return *existing;
    quint32 flags = drive ? (Read | Drive) : Read;
    if (QFileInfo(path).isDir())
        flags |= Directory;
    return newRecord(path, name, flags, now);
}

PeerAclDto ShareRecord::forDrive(const std::vector<PeerAclDto>& acls, const QString& drive, const QString& name,
                                 const QDateTime& now)
{
    const QString path = drivePath(drive);
    if (const PeerAclDto* existing = findBySelector(acls, path))
        return *existing;
    return newRecord(path, name, Read | Directory | Drive, now);
}

QModelIndex ShareRecord::itemIndex(const QModelIndexList& selected, const QModelIndex& shownDirectory,
                                   bool ownMachine)
{
    for (const QModelIndex& index : selected) {
        if (index.isValid() && index.column() == 0)
            return index;
    }
    return ownMachine ? shownDirectory : QModelIndex();
}

QModelIndex ShareRecord::driveIndex(const QModelIndexList& selected)
{
    for (const QModelIndex& start : selected) {
        QModelIndex index = start;
        while (index.isValid() && index.data(VfsModel::TypeRole).toInt() != VfsModel::DriveType)
            index = index.parent();
        if (index.isValid() && index.column() == 0)
            return index;
    }
    return QModelIndex();
}

bool ShareRecord::prepareShare(IDatabase* db, const QString& peerUuid, const QModelIndexList& selected,
                               const QModelIndex& shownDirectory, bool ownMachine, PeerAclDto* out)
{
    const QModelIndex item = itemIndex(selected, shownDirectory, ownMachine);
    if (!db || !item.isValid())
        return false;
    const QString path = item.data(VfsModel::PathRole).toString();
    if (path.isEmpty())
        return false;
    *out = forItem(db->getAcls(peerUuid), path, item.data(VfsModel::NameRole).toString(),
                   item.data(VfsModel::TypeRole).toInt(), QDateTime::currentDateTimeUtc());
    return true;
}

bool ShareRecord::prepareDriveShare(IDatabase* db, const QString& peerUuid, const QModelIndexList& selected,
                                    PeerAclDto* out)
{
    const QModelIndex drive = driveIndex(selected);
    if (!db || !drive.isValid())
        return false;
    const QString path = drive.data(VfsModel::PathRole).toString();
    if (path.isEmpty())
        return false;
    *out = forDrive(db->getAcls(peerUuid), path, drive.data(VfsModel::NameRole).toString(),
                    QDateTime::currentDateTimeUtc());
    return true;
}

bool ShareRecord::findShare(IDatabase* db, const QString& peerUuid, const QString& aclUuid, PeerAclDto* out)
{
    if (!db)
        return false;
    const std::vector<PeerAclDto> acls = db->getAcls(peerUuid);
    const PeerAclDto* acl = findByUuid(acls, aclUuid);
    if (!acl)
        return false;
    *out = *acl;
    return true;
}
