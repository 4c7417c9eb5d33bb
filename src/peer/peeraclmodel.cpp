#include "peer/peeraclmodel.h"

#include <QMetaObject>
#include <QThread>

PeerAclModel::PeerAclModel(QObject* parent) : QAbstractListModel(parent) {}

PeerAclModel::~PeerAclModel() = default;

void PeerAclModel::updateAcls(const std::vector<PeerAclDto>& acls)
{
    if (thread() == QThread::currentThread()) {
        applyAcls(acls);
        return;
    }
    QMetaObject::invokeMethod(this, [this, acls] { applyAcls(acls); }, Qt::QueuedConnection);
}

void PeerAclModel::applyAcls(const std::vector<PeerAclDto>& acls)
{
    beginResetModel();
    m_acls = acls;
    endResetModel();
}

std::vector<PeerAclDto> PeerAclModel::acls() const
{
    return m_acls;
}

int PeerAclModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_acls.size());
}

QVariant PeerAclModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_acls.size()) || role != Qt::DisplayRole)
        return QVariant();
    return m_acls[size_t(index.row())].name;
}
