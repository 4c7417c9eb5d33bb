#include "peer/invitationmodel.h"

#include "core/idatabase.h"

#include <QDateTime>

namespace {
InvitationModel* s_instance = nullptr;
}

InvitationModel::InvitationModel(IDatabase* db, QObject* parent)
    : QAbstractListModel(parent), m_db(db)
{
    if (m_db) {
        m_rows = m_db->getInvitations();
        connect(m_db, &IDatabase::addedInvitation, this, &InvitationModel::onAddedInvitation);
        connect(m_db, &IDatabase::removedInvitation, this, &InvitationModel::onRemovedInvitation);
    }
    s_instance = this;
}

InvitationModel::~InvitationModel()
{
    if (s_instance == this)
        s_instance = nullptr;
}

InvitationModel* InvitationModel::instance()
{
    return s_instance;
}

int InvitationModel::rowCount(const QModelIndex&) const
{
    return int(m_rows.size());
}

QVariant InvitationModel::data(const QModelIndex& index, int role) const
{
    if (index.row() < 0 || index.row() >= int(m_rows.size()) || index.column() < 0)
        return QVariant();
    const InvitationDto& row = m_rows[size_t(index.row())];
    switch (role) {
    case UuidRole:
        return row.uuid;
    case NameRole:
        return row.name;
    case PasswordRole:
        return row.password;
    case TimestampRole:
        return QDateTime::fromSecsSinceEpoch(row.timestamp, Qt::LocalTime);
    case ExpiresRole:
        return QDateTime::fromSecsSinceEpoch(row.expires, Qt::LocalTime);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> InvitationModel::roleNames() const
{
    return {{UuidRole, "invUuid"},
            {NameRole, "invName"},
            {PasswordRole, "invPassword"},
            {TimestampRole, "invTimestamp"},
            {ExpiresRole, "invExpires"}};
}

int InvitationModel::rowOf(const QString& invUuid) const
{
    const QString wanted = normalizedUuid(invUuid);
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (normalizedUuid(m_rows[i].uuid) == wanted)
            return int(i);
    }
    return -1;
}

void InvitationModel::onAddedInvitation(const QString& invUuid)
{
    if (!m_db)
        return;
    const QString wanted = normalizedUuid(invUuid);
    for (const InvitationDto& dto : m_db->getInvitations()) {
        if (normalizedUuid(dto.uuid) != wanted)
            continue;
        const int row = rowOf(invUuid);
        if (row >= 0) {
            m_rows[size_t(row)] = dto;
            const QModelIndex changed = index(row);
            emit dataChanged(changed, changed);
            return;
        }
        const int end = int(m_rows.size());
        beginInsertRows(QModelIndex(), end, end);
        m_rows.push_back(dto);
        endInsertRows();
        return;
    }
}

void InvitationModel::onRemovedInvitation(const QString& invUuid)
{
    const int row = rowOf(invUuid);
    if (row < 0)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}
