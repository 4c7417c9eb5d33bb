#pragma once

#include "peer/ipeermodelfactory.h"

// Gives every peer a VfsDriveModel and a VfsModel bound to it, and connects
// the file model to the peer's file-system client. install() makes it the
// factory of the process.
class VfsModelFactory : public IPeerModelFactory
{
public:
    QAbstractItemModel* createDriveModel(IPeer* peer) override;
    QAbstractItemModel* createFileSystemModel(IPeer* peer) override;
    void connectClient(IPeer* peer, VfsClient* client) override;

    // The one factory of the process, installed for every peer made from
    // now on.
    static VfsModelFactory* instance();
    static void install();
};
