#pragma once

class IPeer;
class QAbstractItemModel;
class VfsClient;

// Makes the drive and file-system models of every peer. The models stand
// above the peers (they read a peer's link state and drive its client), so
// the layer that builds them installs a factory here; without one a peer
// gets empty placeholder models.
class IPeerModelFactory
{
public:
    virtual ~IPeerModelFactory() = default;

    // Both are called from the peer's constructor, on the thread that builds
    // it; the peer moves the models to the main thread afterwards.
    virtual QAbstractItemModel* createDriveModel(IPeer* peer) = 0;
    virtual QAbstractItemModel* createFileSystemModel(IPeer* peer) = 0;
    // The peer's file-system client exists: the models follow its updates
    // (connected queued, the client lives on the io thread).
    virtual void connectClient(IPeer* peer, VfsClient* client) = 0;

    // The process-wide factory; null when none is installed. Not owned.
    static IPeerModelFactory* installed();
    static void install(IPeerModelFactory* factory);
};
