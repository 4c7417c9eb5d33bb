#include "peer/peermodel.h"

namespace {
PeerModel* s_instance = nullptr;
}

PeerModel::PeerModel(QObject* parent) : QAbstractListModel(parent)
{
    s_instance = this;
}

PeerModel::~PeerModel()
{
    if (s_instance == this)
        s_instance = nullptr;
}

PeerModel* PeerModel::instance()
{
    return s_instance;
}

int PeerModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 0;
}

QVariant PeerModel::data(const QModelIndex&, int) const
{
    return QVariant();
}
