#include "peer/peermodel.h"
#include "core/logger.h"
#include "peer/ipeer.h"

#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

#include <algorithm>

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

int PeerModel::rowCount(const QModelIndex&) const
{
    QMutexLocker lock(&m_mutex);
    return int(m_peers.size());
}

QVariant PeerModel::data(const QModelIndex& index, int role) const
{
    IPeer* peer = getPeerForRow(index.row());
    if (!peer)
        return QVariant();
    switch (role) {
    case NameRole:
        return peer->name();
    case TypeRole:
        return peer->type();
    case LinkStateRole:
        return int(peer->linkState());
    case PlatformRole:
        return peer->platform();
    case ObjectRole:
        return QVariant::fromValue(static_cast<QObject*>(peer));
    case IconRole:
        return peer->icon();
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> PeerModel::roleNames() const
{
    return {
        {NameRole, "peerName"},         {TypeRole, "peerType"},     {LinkStateRole, "peerLinkState"},
        {PlatformRole, "peerPlatform"}, {ObjectRole, "peerObject"}, {IconRole, "peerIcon"},
        {UuidRole, "peerUuid"},
    };
}

bool PeerModel::addPeer(IPeer* peer)
{
    if (!peer)
        return false;
    const QString uuid = peer->identity().uuid;
    {
        QMutexLocker lock(&m_mutex);
        for (IPeer* listed : m_peers) {
            if (listed->identity().uuid == uuid)
                return false;
        }
    }
    Logger::log(Logger::NFO1, "add Peer %s", qUtf8Printable(peer->name()));
    peer->setParent(this);

    // The views follow the peer's properties.
    connect(peer, &IPeer::nameChanged, this, [this, peer] { peerChanged(peer, NameRole); });
    connect(peer, &IPeer::typeChanged, this, [this, peer] { peerChanged(peer, TypeRole); });
    connect(peer, &IPeer::linkStateChanged, this, [this, peer] { peerChanged(peer, LinkStateRole); });
    connect(peer, &IPeer::platformChanged, this, [this, peer] { peerChanged(peer, PlatformRole); });
    connect(peer, &IPeer::iconChanged, this, [this, peer] { peerChanged(peer, IconRole); });

    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    {
        QMutexLocker lock(&m_mutex);
        m_peers.push_back(peer);
    }
    endInsertRows();

    QPointer<IPeer> guarded(peer);
    QTimer::singleShot(FirstSupervisorRunMs, Qt::CoarseTimer, this, [guarded] {
        if (guarded)
            QMetaObject::invokeMethod(guarded, "testSendTimer", Qt::QueuedConnection);
    });
    return true;
}

void PeerModel::removePeer(IPeer* peer)
{
    QMutexLocker check(&m_mutex);
    auto it = std::find(m_peers.begin(), m_peers.end(), peer);
    if (it == m_peers.end())
        return;
    check.unlock();
    beginResetModel();
    {
        QMutexLocker lock(&m_mutex);
        m_peers.erase(std::remove(m_peers.begin(), m_peers.end(), peer), m_peers.end());
    }
    disconnect(peer, nullptr, this, nullptr);
    endResetModel();
}

IPeer* PeerModel::getPeerForUuid(const QString& uuid) const
{
    QMutexLocker lock(&m_mutex);
    for (IPeer* peer : m_peers) {
        if (peer->identity().uuid == uuid)
            return peer;
    }
    return nullptr;
}

IPeer* PeerModel::getPeerForRow(int row) const
{
    QMutexLocker lock(&m_mutex);
    return row >= 0 && row < int(m_peers.size()) ? m_peers[size_t(row)] : nullptr;
}

void PeerModel::peerChanged(IPeer* peer, int role)
{
    int row = -1;
    {
        QMutexLocker lock(&m_mutex);
        auto it = std::find(m_peers.begin(), m_peers.end(), peer);
        if (it != m_peers.end())
            row = int(it - m_peers.begin());
    }
    if (row >= 0)
        emit dataChanged(index(row), index(row), {role});
}
