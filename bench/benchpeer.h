#pragma once

#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclient.h"

#include <QDateTime>

// The own machine as the Filer benchmarks see it: a peer with a client.
class BenchPeer : public IPeer
{
public:
    PeerDto identity() const override { return PeerDto{ ownPeerUuid(), QStringLiteral("velm"), QDateTime() }; }
    VfsClient* vfsClient() const override { return client; }
    VfsClient* client = nullptr;
};
