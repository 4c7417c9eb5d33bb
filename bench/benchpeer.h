#pragma once

#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclient.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/server/vfsservervelm.h"

#include <QDateTime>
#include <QThread>
#include <QThreadPool>

// The own machine as the Filer benchmarks see it: a peer with a client.
class BenchPeer : public IPeer
{
public:
    PeerDto identity() const override { return PeerDto{ ownPeerUuid(), QStringLiteral("velm"), QDateTime() }; }
    VfsClient* vfsClient() const override { return client; }
    VfsClient* client = nullptr;
};

// The own machine served to the Filer benchmarks: a server of the whole
// file system (one drive, "/") and a client joined by a loopback link with
// the given round trip, both on a thread of their own as on the program's
// io thread, so that what is measured is the window's thread. Its peer is
// in the process's peer model while this lives.
class LoopbackMachine
{
public:
    explicit LoopbackMachine(int delayMs = 0, quint64 bytesAvailable = 0)
    {
        m_io.setObjectName(QStringLiteral("ioThread"));
        m_server = new VfsServerVelm(VfsServerVelm::Unrestricted);
        m_client = new VfsClientVelm;
        m_link = new VfsLoopbackLink(m_client, m_server);
        m_link->setDelay(delayMs);
        DriveCache drive;
        drive.rootPath = "/";
        drive.name = "bench";
        drive.bytesTotal = 1000000000;
        drive.bytesAvailable = bytesAvailable;
        m_server->setDriveSource([drive] { return std::vector<DriveCache>{ drive }; });
        for (QObject* object : { static_cast<QObject*>(m_server), static_cast<QObject*>(m_client),
                                 static_cast<QObject*>(m_link) })
            object->moveToThread(&m_io);
        m_io.start();

        peer = new BenchPeer;
        peer->client = m_client;
        VfsModelFactory::instance()->connectClient(peer, m_client);
        peer->setLinkState(IPeer::LinkUp);
        PeerModel::instance()->addPeer(peer);
    }

    ~LoopbackMachine()
    {
        PeerModel::instance()->removePeer(peer);
        delete peer;
        QMetaObject::invokeMethod(m_link, [this] {
            delete m_link;
            delete m_client;
            delete m_server;
            QThread::currentThread()->quit();
        });
        m_io.wait();
        QThreadPool::globalInstance()->waitForDone();
    }

    LoopbackMachine(const LoopbackMachine&) = delete;
    LoopbackMachine& operator=(const LoopbackMachine&) = delete;

    VfsModel* model() const { return qobject_cast<VfsModel*>(peer->vfsFileSystemModel()); }

    BenchPeer* peer = nullptr;

private:
    QThread m_io;
    VfsServerVelm* m_server = nullptr;
    VfsClientVelm* m_client = nullptr;
    VfsLoopbackLink* m_link = nullptr;
};
