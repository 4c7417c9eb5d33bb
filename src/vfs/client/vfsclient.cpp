#include "vfs/client/vfsclient.h"

VfsClient::VfsClient(QObject* parent) : QObject(parent)
{
    // The update signals cross threads.
    static const bool registered = [] {
        qRegisterMetaType<VfsListDirectoryJob*>("VfsListDirectoryJob*");
        qRegisterMetaType<VfsListDrivesJob*>("VfsListDrivesJob*");
        qRegisterMetaType<VfsMoveJob*>("VfsMoveJob*");
        qRegisterMetaType<VfsOpenFileJob*>("VfsOpenFileJob*");
        qRegisterMetaType<VfsCloseFileJob*>("VfsCloseFileJob*");
        qRegisterMetaType<VfsReadFileJob*>("VfsReadFileJob*");
        qRegisterMetaType<VfsWriteFileJob*>("VfsWriteFileJob*");
        qRegisterMetaType<VfsDeleteFileJob*>("VfsDeleteFileJob*");
        qRegisterMetaType<VfsHashFileJob*>("VfsHashFileJob*");
        qRegisterMetaType<VfsMakeDirectoryJob*>("VfsMakeDirectoryJob*");
        qRegisterMetaType<VfsDrive>("VfsDrive");
        return true;
    }();
    Q_UNUSED(registered)
}

VfsClient::~VfsClient() = default;
