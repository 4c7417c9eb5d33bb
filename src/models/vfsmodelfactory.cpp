#include "models/vfsmodelfactory.h"

#include "peer/ipeer.h"
#include "vfs/client/vfsclient.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"

QAbstractItemModel* VfsModelFactory::createDriveModel(IPeer*)
{
    return new VfsDriveModel;
}

QAbstractItemModel* VfsModelFactory::createFileSystemModel(IPeer* peer)
{
    // The peer is still being built: setPeer() only keeps it and connects to
    // it and to its drive model, which exists by now.
    auto* model = new VfsModel;
    model->setPeer(peer);
    return model;
}

void VfsModelFactory::connectClient(IPeer* peer, VfsClient* client)
{
    if (auto* model = qobject_cast<VfsModel*>(peer ? peer->vfsFileSystemModel() : nullptr))
        model->connectClient(client);
}

VfsModelFactory* VfsModelFactory::instance()
{
    static VfsModelFactory factory;
    return &factory;
}

void VfsModelFactory::install()
{
    IPeerModelFactory::install(instance());
}
