#pragma once

#include "peer/ipeerloader.h"

#include <memory>

struct CryptoKeyDto;
class IPeerHost;
class PeerLoaderVelmPrivate;

namespace com {
class Com;
}

// Builds and refreshes the peers of this program: wires each to the
// transport registry, relays its handshake requests to the io thread and
// writes its changed display properties back to the database.
class PeerLoaderVelm : public IPeerLoader
{
    Q_OBJECT
public:
    PeerLoaderVelm(com::Com* com, IPeerHost* host, QObject* parent = nullptr);
    ~PeerLoaderVelm() override;

    QString typeName() const override;
    IPeer* loadPeer(IDatabase* db, const PeerDto& dto) override;
    void updatePeer(IDatabase* db, IPeer* peer) override;
    void loaderAdded(IDatabase* db) override;

    // The own key pair ("pksk"), or an empty record when none is stored. Of
    // several pairs (a database written by an older version), always the one
    // stored first, so that every reader uses the same.
    static CryptoKeyDto ownKeyPair(IDatabase* db);
    // Stores key = value for the peer unless it holds that value already; an
    // empty value is not stored for a key the peer does not have.
    static void storePeerAttribute(IDatabase* db, const QString& peerUuid, const QString& key,
                                   const QString& value);

public slots:
    void onRequestSendHandshakeRequest(int flags);
    void onPeerPropertiesChanged();

private:
    std::unique_ptr<PeerLoaderVelmPrivate> d;
};
