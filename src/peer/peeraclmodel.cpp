#include "peer/peeraclmodel.h"

#include <QMetaObject>
#include <QThread>

#include <algorithm>

namespace {
constexpr quint32 AclDirectory = 4;
constexpr quint32 AclDrive = 8;
} // namespace

PeerAclModel::PeerAclModel(QObject* parent) : QAbstractListModel(parent)
{
    m_roleNames = {
        {NameRole, "name"},         {SelectorRole, "selector"},   {UuidRole, "uuid"}, {FlagsRole, "flags"},
        {MimeTypeRole, "mimetype"}, {TimestampRole, "timestamp"}, {IconRole, "icon"},
    };
}

PeerAclModel::~PeerAclModel() = default;

void PeerAclModel::updateAcls(const std::vector<PeerAclDto>& acls)
{
    if (thread() == QThread::currentThread()) {
        applyAcls(acls);
        return;
    }
    // The views read the rows on the model's thread without a lock: the
    // list is handed over there, a copy travelling with the call.
    QMetaObject::invokeMethod(this, [this, acls] { applyAcls(acls); }, Qt::QueuedConnection);
}

void PeerAclModel::applyAcls(std::vector<PeerAclDto> acls)
{
    std::sort(acls.begin(), acls.end(), [](const PeerAclDto& a, const PeerAclDto& b) {
        const bool aDir = a.flags & AclDirectory;
        const bool bDir = b.flags & AclDirectory;
        if (aDir != bDir)
            return aDir;
        return QString::compare(a.name, b.name, Qt::CaseInsensitive) < 0;
    });
    beginResetModel();
    m_acls = std::move(acls);
    endResetModel();
}

std::vector<PeerAclDto> PeerAclModel::acls() const
{
    return m_acls;
}

int PeerAclModel::rowCount(const QModelIndex&) const
{
    return int(m_acls.size());
}

QVariant PeerAclModel::data(const QModelIndex& index, int role) const
{
    if (index.row() < 0 || index.row() >= int(m_acls.size()))
        return QVariant();
    const PeerAclDto& acl = m_acls[size_t(index.row())];
    const bool directory = acl.flags & AclDirectory;
    switch (role) {
    case NameRole:
        return acl.name;
    case SelectorRole:
        return acl.selector;
    case UuidRole:
        return acl.uuid;
    case FlagsRole:
        return uint(acl.flags);
    case MimeTypeRole:
        return directory ? QStringLiteral("application/x-directory") : QStringLiteral("application/file");
    case TimestampRole:
        return acl.timestamp;
    case IconRole:
        if (directory && (acl.flags & AclDrive))
            return QStringLiteral("image://theme/icon/drive-disk.svg");
        if (directory)
            return QStringLiteral("image://theme/mime/application/x-directory");
        return QStringLiteral("image://theme/file/") + acl.name;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> PeerAclModel::roleNames() const
{
    return m_roleNames;
}
