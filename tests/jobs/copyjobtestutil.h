#pragma once

// Two machines for the copy job: each a temporary directory served by its own
// file-system server, reached through its own client over the in-process link.

#include "peer/ipeer.h"
#include "vfs/client/vfsclientvelm.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfscopyjob.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/server/vfsservervelm.h"

#include "support/idtranslator.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QPointer>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUuid>

#include <functional>
#include <memory>
#include <vector>

namespace copytest {

constexpr int Slow = 60000; // ms, generous for sanitizer builds on a busy machine

class TestPeer : public IPeer
{
public:
    explicit TestPeer(VfsClient* client) : m_client(client) { setLinkState(LinkUp); }
    VfsClient* vfsClient() const override { return m_client; }
    void setClient(VfsClient* client) { m_client = client; }

private:
    VfsClient* m_client;
};

// A client that hands every request to another one and passes its answers
// back; tests derive from it to stand in for one kind of answer.
class RelayClient : public VfsClient
{
public:
    explicit RelayClient(VfsClient* inner) : m_inner(inner)
    {
        connect(inner, &VfsClient::listDirectoryUpdate, this, &VfsClient::listDirectoryUpdate);
        connect(inner, &VfsClient::moveUpdate, this, &VfsClient::moveUpdate);
        connect(inner, &VfsClient::openFileUpdate, this, &VfsClient::openFileUpdate);
        connect(inner, &VfsClient::closeFileUpdate, this, &VfsClient::closeFileUpdate);
        connect(inner, &VfsClient::readFileUpdate, this, &VfsClient::readFileUpdate);
        connect(inner, &VfsClient::writeFileUpdate, this, &VfsClient::writeFileUpdate);
        connect(inner, &VfsClient::deleteFileUpdate, this, &VfsClient::deleteFileUpdate);
        connect(inner, &VfsClient::hashFileUpdate, this, &VfsClient::hashFileUpdate);
        connect(inner, &VfsClient::makeDirectoryUpdate, this, &VfsClient::makeDirectoryUpdate);
    }

    void listDirectory(VfsListDirectoryJob* job) override { m_inner->listDirectory(job); }
    void listDrives(VfsListDrivesJob* job) override { m_inner->listDrives(job); }
    void move(VfsMoveJob* job) override { m_inner->move(job); }
    void openFile(VfsOpenFileJob* job) override { m_inner->openFile(job); }
    void closeFile(VfsCloseFileJob* job) override { m_inner->closeFile(job); }
    void readFile(VfsReadFileJob* job) override { m_inner->readFile(job); }
    void writeFile(VfsWriteFileJob* job) override { m_inner->writeFile(job); }
    void deleteFile(VfsDeleteFileJob* job) override { m_inner->deleteFile(job); }
    void hashFile(VfsHashFileJob* job) override { m_inner->hashFile(job); }
    void makeDirectory(VfsMakeDirectoryJob* job) override { m_inner->makeDirectory(job); }

protected:
    VfsClient* m_inner;
};

struct Machine
{
    explicit Machine(int accessMode = VfsServerVelm::Unrestricted)
        : server(accessMode), link(&client, &server), peer(&client)
    {
        peer.setId(QUuid::createUuid().toString());
    }
    ~Machine() { QThreadPool::globalInstance()->waitForDone(); }

    QString path(const QString& relative) const { return dir.filePath(relative); }

    QTemporaryDir dir;
    VfsServerVelm server;
    VfsClientVelm client;
    VfsLoopbackLink link;
    TestPeer peer;
};

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFileInfo(path).dir().mkpath(QStringLiteral("."));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Bytes that differ from block to block and from seed to seed.
inline QByteArray pattern(qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < data.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

inline VfsCopyItem itemFor(const QString& path)
{
    const QFileInfo info(path);
    VfsCopyItem item;
    item.path = path;
    item.type = info.isSymLink() ? VfsCopyItem::TypeSymbolicLink
        : info.isDir()           ? VfsCopyItem::TypeDirectory
                                 : VfsCopyItem::TypeFile;
    item.size = info.isFile() ? quint64(info.size()) : 0;
    item.atime = info.lastRead().toMSecsSinceEpoch();
    item.mtime = info.lastModified().toMSecsSinceEpoch();
    item.ctime = item.mtime;
    return item;
}

inline VfsCopyDto requestFor(const Machine& source, const Machine& destination,
                             const QStringList& paths, const QString& destinationPath)
{
    VfsCopyDto dto;
    dto.id = QUuid::createUuid().toString();
    dto.srcPeerUuid = source.peer.id();
    dto.dstPeerUuid = destination.peer.id();
    for (const QString& path : paths)
        dto.entries.push_back(itemFor(path));
    dto.dstPath = destinationPath;
    return dto;
}

// Relative path -> content ("/" for a directory) of everything below root.
inline QMap<QString, QByteArray> treeOf(const QString& root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        tree.insert(relative, it.fileInfo().isDir() ? QByteArray("/") : readFile(path));
    }
    return tree;
}

// One job, watched from start to end. The job deletes itself after it
// finishes; what it verified is taken as it finishes.
class CopyRun
{
public:
    CopyRun(const VfsCopyDto& request, IPeer* source, IPeer* destination, int restartDelay = 20)
    {
        job = new VfsCopyJob(request);
        raw = job;
        job->setPeers(source, destination);
        job->setRestartDelay(restartDelay);
        QObject::connect(job.data(), &VfsCopyJob::jobFinished, &context, [this] {
            ++finished;
            verified = job->verifiedItems();
        });
        QObject::connect(job.data(), &VfsCopyJob::jobAborted, &context, [this] {
            ++aborted;
            prompt = job->userActionPrompt();
        });
        QObject::connect(job.data(), &VfsJob::stateChanged, &context, [this] {
            const VfsJob::VfsJobState state = job->state();
            if (state == VfsJob::VfsJobStateQuestion && lastState != state)
                ++questions;
            if (state == VfsJob::VfsJobStatePaused && lastState != state)
                ++pauses;
            lastState = state;
            retries = job->retryCount();
        });
        QObject::connect(job.data(), &QObject::destroyed, &context, [this] { destroyed = true; });
    }
    ~CopyRun() { delete job.data(); }

    void start() { job->start(); }
    bool asking() const { return job && job->state() == VfsJob::VfsJobStateQuestion; }
    QStringList verifiedPaths() const
    {
        QStringList paths;
        for (const VfsCopyItem& item : verified)
            paths << item.path;
        return paths;
    }

    QObject context;
    QPointer<VfsCopyJob> job;
    const void* raw = nullptr;
    int finished = 0;
    int aborted = 0;
    int questions = 0;
    int pauses = 0;
    int retries = 0;
    bool destroyed = false;
    QString prompt;
    std::vector<VfsCopyItem> verified;
    VfsJob::VfsJobState lastState = VfsJob::VfsJobStateUnknown;
};

// Counts the requests a link carries, by command, and keeps the offsets of
// reads and writes. Reads and writes go before an optional hook of the test.
struct Traffic
{
    void attach(VfsLoopbackLink& link)
    {
        link.setRequestHook([this](const VfsMirkCommand& request) {
            ++counts[request.command];
            if (request.command == VfsMirkCommand::ReadFile)
                reads.push_back(request.offset);
            if (request.command == VfsMirkCommand::WriteFile)
                writes.push_back(request.offset);
            return hook ? hook(request) : false;
        });
    }
    int count(quint8 command) const { return counts.value(command); }

    QHash<quint8, int> counts;
    std::vector<quint64> reads;
    std::vector<quint64> writes;
    VfsLoopbackLink::RequestHook hook;
};

} // namespace copytest
