#pragma once

#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"
#include "vfs/server/vfsservervelm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QPersistentModelIndex>
#include <QStringList>
#include <QTest>
#include <QThreadPool>

#include <algorithm>
#include <memory>
#include <vector>

// Generous: sanitizer builds on a loaded machine.
constexpr int kWait = 10000;

// Runs the event loop until done() holds, without sleeping between checks
// (many short listings in a row would otherwise wait mostly for the poll);
// false after timeoutMs.
template <class Done>
bool waitUntil(Done done, int timeoutMs = kWait)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// A peer for the models: a fixed uuid and whatever client the test gives it.
class TestPeer : public IPeer
{
public:
    explicit TestPeer(const QString& uuid) : m_uuid(uuid) {}
    PeerDto identity() const override { return PeerDto{m_uuid, QStringLiteral("velm"), QDateTime()}; }
    VfsClient* vfsClient() const override { return client; }

    VfsClient* client = nullptr;

private:
    const QString m_uuid;
};

// A peer's drives and directories held in memory, answering the client's
// listings through the link's request hook in pages of pageEntries entries.
class FakeFileSystem
{
public:
    using E = VfsMirkListEntry;
    using C = VfsMirkCommand;

    struct Directory
    {
        std::vector<E> entries;
        quint8 status = FSO_STATUS_OK; // of the LIST_DIRECTORY reply
        int failAtPage = -1;           // this page is refused with status 4
        bool hold = false;             // LIST_DIRECTORY stays unanswered until releaseHeld()
    };

    FakeFileSystem(VfsLoopbackLink& link, bool backslash) : m_link(link), m_backslash(backslash)
    {
        link.setRequestHook([this](const C& request) { return answer(request); });
    }

    static E entry(const char* name, quint8 type, quint64 size = 0, qint64 mtime = 0,
                   quint16 access = E::AccessReadable | E::AccessWritable | E::AccessExecutable)
    {
        E e;
        e.name = name;
        e.type = type;
        e.size = size;
        e.modificationTime = mtime;
        e.access = access;
        return e;
    }
    static E file(const char* name, quint64 size = 0, qint64 mtime = 0) { return entry(name, E::TypeFile, size, mtime); }
    static E dir(const char* name) { return entry(name, E::TypeDirectory); }
    static E link(const char* name, const char* target, quint8 targetType)
    {
        E e = entry(name, E::TypeSymbolicLink);
        e.reference = target;
        e.targetType = targetType;
        return e;
    }
    static E share(const char* name, const char* reference)
    {
        E e = entry(name, E::TypeShare);
        e.reference = reference;
        e.targetType = E::TypeDirectory;
        return e;
    }
    static DriveCache drive(const char* root, const char* name, quint64 total = 500000000000ull,
                            quint8 type = DriveCache::FixedDisk)
    {
        DriveCache d;
        d.rootPath = root;
        d.name = name;
        d.bytesTotal = total;
        d.bytesAvailable = total / 2;
        d.type = type;
        return d;
    }

    // Answers the requests held so far.
    void releaseHeld()
    {
        const std::vector<quint16> heldDrives = std::move(m_heldDrives);
        m_heldDrives.clear();
        for (quint16 trId : heldDrives)
            m_link.sendToClient(VfsMirkCommandWriter::listDrivesReply(trId, 0, drives));
        const auto held = std::move(m_held);
        m_held.clear();
        for (const auto& h : held) {
            m_open.insert(h.first, h.second);
            m_link.sendToClient(VfsMirkCommandWriter::listDirectoryReply(h.first, FSO_STATUS_OK, replyFlags(0),
                                                                         allFields(), 0));
        }
    }
    int heldCount() const { return int(m_held.size() + m_heldDrives.size()); }

    std::vector<DriveCache> drives;
    QHash<QString, Directory> dirs; // by the path the client asks for
    QStringList listed;             // paths of the LIST_DIRECTORY requests, in order
    QStringList watched;            // those that asked the server to watch the directory
    int driveRequests = 0;
    bool holdDrives = false; // LIST_DRIVES stays unanswered until releaseHeld()
    int pageEntries = 100;

private:
    static VfsMirkFieldMask allFields()
    {
        VfsMirkFieldMask fields;
        fields.set(0, E::FieldsAll);
        return fields;
    }
    quint32 replyFlags(quint32 requestFlags) const
    {
        return (requestFlags & C::ListReplyFlags) | (m_backslash ? quint32(C::ListClientBit) : 0u);
    }

    bool answer(const C& request)
    {
        switch (request.command) {
        case C::ListDrives:
            ++driveRequests;
            if (holdDrives)
                m_heldDrives.push_back(request.trId);
            else
                m_link.sendToClient(VfsMirkCommandWriter::listDrivesReply(request.trId, 0, drives));
            return true;
        case C::ListDirectory: {
            const QString path = QString::fromUtf8(request.pathBytes());
            listed << path;
            if (request.flags & C::ListWatch)
                watched << path;
            auto it = dirs.find(path);
            if (it == dirs.end() || it->status != FSO_STATUS_OK) {
                const quint8 status = it == dirs.end() ? quint8(FSO_STATUS_NOT_FOUND) : it->status;
                m_link.sendToClient(VfsMirkCommandWriter::listDirectoryReply(request.trId, status, 0,
                                                                             allFields(), 0));
                return true;
            }
            if (it->hold) {
                m_held.emplace_back(request.trId, path);
                return true;
            }
            m_open.insert(request.trId, path);
            m_link.sendToClient(VfsMirkCommandWriter::listDirectoryReply(
                request.trId, FSO_STATUS_OK, replyFlags(request.flags), allFields(), 0));
            return true;
        }
        case C::QueryListDirectory: {
            const Directory& dir = dirs.value(m_open.value(request.trId));
            const quint32 index = request.index;
            if (dir.failAtPage >= 0 && int(index) / pageEntries == dir.failAtPage) {
                VfsMirkListPageWriter writer(request.trId, FSO_STATUS_NOT_PERMITTED, index, E::FieldsAll);
                m_link.sendToClient(writer.finish());
                return true;
            }
            const size_t end = std::min(dir.entries.size(), size_t(index) + size_t(pageEntries));
            const quint8 status = end >= dir.entries.size() ? quint8(FSO_STATUS_COMPLETE) : quint8(FSO_STATUS_OK);
            VfsMirkListPageWriter writer(request.trId, status, index, E::FieldsAll);
            for (size_t i = index; i < end; ++i)
                writer.addEntry(dir.entries[i]);
            m_link.sendToClient(writer.finish());
            return true;
        }
        default:
            return false;
        }
    }

    VfsLoopbackLink& m_link;
    const bool m_backslash;
    QHash<quint16, QString> m_open;
    std::vector<std::pair<quint16, QString>> m_held;
    std::vector<quint16> m_heldDrives;
};

// A model bound to a test peer whose client reaches either the own
// machine's real file-system server or a FakeFileSystem, through the
// in-process link; the model's clock is `now`.
struct ModelRig
{
    enum Server { RealServer, FakeServer, FakeBackslashServer };

    explicit ModelRig(Server kind = RealServer, const QString& uuid = ownPeerUuid())
        : server(kind == RealServer ? new VfsServerVelm(VfsServerVelm::Unrestricted) : nullptr),
          link(&client, server.get()),
          fake(kind == RealServer ? nullptr : new FakeFileSystem(link, kind == FakeBackslashServer)),
          peer(new TestPeer(uuid))
    {
        if (server)
            server->setDriveSource([this] { return drives; });
        peer->client = &client;
        VfsModelFactory::instance()->connectClient(peer.get(), &client);
        model = qobject_cast<VfsModel*>(peer->vfsFileSystemModel());
        driveModel = qobject_cast<VfsDriveModel*>(peer->vfsDriveModel());
        model->setClock([this] { return now; });
        peer->setLinkState(IPeer::LinkUp);
    }
    ~ModelRig() { QThreadPool::globalInstance()->waitForDone(); }

    // The top level: the drive list asked for and merged.
    bool loadDrives()
    {
        model->fetchMore(QModelIndex());
        return waitUntil([this] { return model->rowCount() > 1; });
    }

    // Lists a directory and waits until the listing is merged (or failed).
    bool list(const QModelIndex& index)
    {
        const QPersistentModelIndex kept(index);
        model->fetchMore(kept);
        if (!model->isBusy(kept))
            return false;
        return waitUntil([&] { return !model->isBusy(kept); });
    }

    // A path below "/", each directory on the way listed.
    QPersistentModelIndex reach(const QString& path)
    {
        if (model->rowCount() < 2 && !loadDrives())
            return QPersistentModelIndex();
        QPersistentModelIndex index = model->indexForPath(QStringLiteral("/"));
        QString prefix;
        for (const QString& component : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            if (!index.isValid() || !list(index))
                return QPersistentModelIndex();
            prefix += QLatin1Char('/') + component;
            index = model->indexForPath(prefix);
        }
        return index;
    }

    // The names of the children of an index, in row order.
    QStringList names(const QModelIndex& parent) const
    {
        QStringList out;
        for (int row = 0; row < model->rowCount(parent); ++row)
            out << model->index(row, 0, parent).data(Qt::DisplayRole).toString();
        return out;
    }

    struct FactoryInstaller
    {
        FactoryInstaller() { VfsModelFactory::install(); }
    };

    FactoryInstaller installer; // before the peer, which asks the factory for its models
    std::unique_ptr<VfsServerVelm> server;
    VfsClientVelm client;
    VfsLoopbackLink link;
    std::unique_ptr<FakeFileSystem> fake;
    std::unique_ptr<TestPeer> peer; // owns the models
    VfsModel* model = nullptr;
    VfsDriveModel* driveModel = nullptr;
    std::vector<DriveCache> drives{FakeFileSystem::drive("/", "root")};
    qint64 now = 1000000;
};
