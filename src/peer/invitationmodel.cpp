#include "peer/invitationmodel.h"

namespace {
InvitationModel* s_instance = nullptr;
}

InvitationModel::InvitationModel(IDatabase* db, QObject* parent)
    : QAbstractListModel(parent), m_db(db)
{
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

int InvitationModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 0;
}

QVariant InvitationModel::data(const QModelIndex&, int) const
{
    return QVariant();
}
