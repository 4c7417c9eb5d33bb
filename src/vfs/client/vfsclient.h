#pragma once

#include "vfs/client/vfsclosefilejob.h"
#include "vfs/client/vfsdeletefilejob.h"
#include "vfs/client/vfshashfilejob.h"
#include "vfs/client/vfslistdirectoryjob.h"
#include "vfs/client/vfslistdrivesjob.h"
#include "vfs/client/vfsmakedirectoryjob.h"
#include "vfs/client/vfsmovejob.h"
#include "vfs/client/vfsopenfilejob.h"
#include "vfs/client/vfsreadfilejob.h"
#include "vfs/client/vfswritefilejob.h"

#include <QObject>
#include <QString>

// The file-system client of a peer: one operation per request kind, each
// taking a record that stays the caller's, and one update signal per kind
// that hands the record back when its request has finished, failed or timed
// out. Operations return at once and may be called from any thread; the
// signals come from the client's thread, so connect them queued when the
// caller lives elsewhere.
class VfsClient : public QObject
{
    Q_OBJECT
public:
    explicit VfsClient(QObject* parent = nullptr);
    ~VfsClient() override;

public slots:
    virtual void listDirectory(VfsListDirectoryJob* job) = 0;
    virtual void listDrives(VfsListDrivesJob* job) = 0;
    virtual void move(VfsMoveJob* job) = 0;
    virtual void openFile(VfsOpenFileJob* job) = 0;
    virtual void closeFile(VfsCloseFileJob* job) = 0;
    virtual void readFile(VfsReadFileJob* job) = 0;
    virtual void writeFile(VfsWriteFileJob* job) = 0;
    virtual void deleteFile(VfsDeleteFileJob* job) = 0;
    virtual void hashFile(VfsHashFileJob* job) = 0;
    virtual void makeDirectory(VfsMakeDirectoryJob* job) = 0;

signals:
    void listDirectoryUpdate(VfsListDirectoryJob* job);
    void listDrivesUpdate(VfsListDrivesJob* job);
    void moveUpdate(VfsMoveJob* job);
    void openFileUpdate(VfsOpenFileJob* job);
    void closeFileUpdate(VfsCloseFileJob* job);
    void readFileUpdate(VfsReadFileJob* job);
    void writeFileUpdate(VfsWriteFileJob* job);
    void deleteFileUpdate(VfsDeleteFileJob* job);
    void hashFileUpdate(VfsHashFileJob* job);
    void makeDirectoryUpdate(VfsMakeDirectoryJob* job);
    void directoryChanged(const QString& path);
};
