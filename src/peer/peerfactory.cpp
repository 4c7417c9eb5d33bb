#include "peer/peerfactory.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "peer/ipeer.h"
#include "peer/ipeerloader.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <vector>

class PeerFactoryPrivate
{
public:
    IPeer* findPeerLocked(const QString& uuid) const
    {
        for (IPeer* peer : peers) {
            if (peer->identity().uuid == uuid)
                return peer;
        }
        return nullptr;
    }

    IPeerLoader* findLoaderLocked(const QString& type) const
    {
        for (IPeerLoader* loader : loaders) {
            if (loader->typeName() == type)
                return loader;
        }
        return nullptr;
    }

    // Refreshes a built peer from the database; a change for a peer not
    // built, or of a type without a loader, does nothing.
    void update(const QString& peerUuid)
    {
        IPeer* peer = findPeerLocked(peerUuid);
        if (!peer)
            return;
        if (IPeerLoader* loader = findLoaderLocked(peer->type()))
            loader->updatePeer(db, peer);
    }

    IDatabase* db = nullptr;
    std::vector<IPeerLoader*> loaders;
    std::vector<IPeer*> peers; // never shrinks
    // Recursive: a loader's work may store things whose signals come back
    // directly on this thread.
    mutable QMutex mutex{QMutex::Recursive};
};

PeerFactory::PeerFactory(IDatabase* db, QObject* parent) : QObject(parent), d(new PeerFactoryPrivate)
{
    d->db = db;
    connect(db, &IDatabase::addedPeer, this, &PeerFactory::dbPeerAdded);
    connect(db, &IDatabase::addedPeerTransport, this, &PeerFactory::dbPeerTransportAdded);
    connect(db, &IDatabase::addedPeerCryptoKey, this, &PeerFactory::dbPeerCryptoKeyAdded);
    connect(db, &IDatabase::peerAttributesChanged, this, &PeerFactory::dbPeerAttributesChanged);
    // Shares change on the main thread; the peer's server lives here, so the
    // refresh runs here too.
    connect(db, &IDatabase::addedPeerAcl, this, &PeerFactory::dbPeerAclUpdated);
    connect(db, &IDatabase::removedPeerAcl, this, &PeerFactory::dbPeerAclUpdated);
}

PeerFactory::~PeerFactory() = default;

void PeerFactory::addPeerLoader(IPeerLoader* loader)
{
    {
        QMutexLocker lock(&d->mutex);
        if (std::find(d->loaders.begin(), d->loaders.end(), loader) != d->loaders.end())
            return;
        Logger::log(Logger::NFO1, "add peer loader: %s", qUtf8Printable(loader->typeName()));
        d->loaders.push_back(loader);
    }
    for (const PeerDto& peer : d->db->getPeers(loader->typeName())) {
        dbPeerAdded(peer);
        for (const TransportDto& transport : d->db->getTransports(peer.uuid))
            dbPeerTransportAdded(peer.uuid, transport);
        for (const CryptoKeyDto& key : d->db->getCryptoKeys(peer.uuid))
            dbPeerCryptoKeyAdded(peer.uuid, key);
    }
    loader->loaderAdded(d->db);
}

IPeer* PeerFactory::findPeer(const QString& uuid) const
{
    QMutexLocker lock(&d->mutex);
    return d->findPeerLocked(uuid);
}

IPeerLoader* PeerFactory::findLoader(const QString& type) const
{
    QMutexLocker lock(&d->mutex);
    return d->findLoaderLocked(type);
}

void PeerFactory::dbPeerAdded(const PeerDto& dto)
{
    IPeer* peer = nullptr;
    {
        QMutexLocker lock(&d->mutex);
        Logger::log(Logger::DB1, "added peer %s", qUtf8Printable(dto.uuid));
        // A row written again (the same peer stored twice) must not build a
        // second peer on the same key ids.
        if (d->findPeerLocked(dto.uuid))
            return;
        IPeerLoader* loader = d->findLoaderLocked(dto.type);
        if (!loader)
            return;
        peer = loader->loadPeer(d->db, dto);
        d->peers.push_back(peer);
    }
    emit createdPeer(peer);
}

void PeerFactory::dbPeerTransportAdded(const Uuid& peerUuid, const TransportDto& dto)
{
    // IPv6 addresses are not used yet.
    if (dto.host.indexOf(QLatin1Char(':')) > 0) {
        Logger::log(Logger::DB1, "tmp. ignore IPv6 transport %s, host: %s", qUtf8Printable(dto.type),
                    qUtf8Printable(dto.host));
        return;
    }
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "added transport %s, host: %s", qUtf8Printable(dto.type), qUtf8Printable(dto.host));
    d->update(peerUuid);
}

void PeerFactory::dbPeerAclUpdated(const Uuid& peerUuid, const Uuid& aclUuid)
{
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "added acl %s", qUtf8Printable(aclUuid));
    d->update(peerUuid);
}

void PeerFactory::dbPeerCryptoKeyAdded(const Uuid& peerUuid, const CryptoKeyDto& dto)
{
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "added cryptokey %s", qUtf8Printable(dto.keyUuid));
    d->update(peerUuid);
}

void PeerFactory::dbPeerAttributesChanged(const Uuid& peerUuid)
{
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "peer attributes changed %s", qUtf8Printable(peerUuid));
    d->update(peerUuid);
}
