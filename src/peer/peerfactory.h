#pragma once

#include "core/cryptokeydto.h"
#include "core/peerdto.h"
#include "core/transportdto.h"
#include "core/uuid.h"

#include <QObject>

#include <memory>

class IDatabase;
class IPeer;
class IPeerLoader;
class PeerFactoryPrivate;

// Turns stored peers into peer objects: every change of a peer row,
// transport, key, share or attribute reaches the loader of the peer's type,
// which builds the peer or refreshes it from the database. Lives on the io
// thread; database changes made on other threads arrive queued.
class PeerFactory : public QObject
{
    Q_OBJECT
public:
    explicit PeerFactory(IDatabase* db, QObject* parent = nullptr);
    ~PeerFactory() override;

    // Registers a loader and replays the stored peers of its type; a loader
    // registered already is left alone.
    void addPeerLoader(IPeerLoader* loader);

    // Any thread. The peer built for that uuid, or null.
    IPeer* findPeer(const QString& uuid) const;
    IPeerLoader* findLoader(const QString& type) const;

signals:
    // A peer object was built; it already lives on the main thread.
    void createdPeer(IPeer*);

public slots:
    void dbPeerAdded(const PeerDto& dto);
    void dbPeerTransportAdded(const Uuid& peerUuid, const TransportDto& dto);
    void dbPeerAclUpdated(const Uuid& peerUuid, const Uuid& aclUuid);
    void dbPeerCryptoKeyAdded(const Uuid& peerUuid, const CryptoKeyDto& dto);
    void dbPeerAttributesChanged(const Uuid& peerUuid);

private:
    std::unique_ptr<PeerFactoryPrivate> d;
};
