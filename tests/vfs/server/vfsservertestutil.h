#pragma once

// Helpers for the file-system server tests: a server driven by request
// frames through the real parser, with its reply frames decoded again, and
// a snapshot of a directory tree to prove that nothing outside a share was
// touched.

#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirkframewriter.h"
#include "vfs/server/vfsaccesstest.h"
#include "vfs/server/vfsservervelm.h"
#include "vfs/server/vfstrash.h"
#include "vfs/watch/idriveplatform.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMutex>
#include <QStringList>
#include <QThreadPool>
#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vfsservertest {

constexpr quint8 NoReply = 0xFF;

inline PeerAclDto share(const QString& uuid, const QString& name, const QString& selector,
                        quint32 flags)
{
    PeerAclDto dto;
    dto.uuid = uuid;
    dto.name = name;
    dto.selector = selector;
    dto.flags = flags;
    dto.timestamp = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    return dto;
}

// The tests run as root, where access() allows everything: this one allows
// everything too, except execute (enter) on the paths it is told.
inline VfsAccessTest permissiveAccess(QStringList noEnter = {})
{
    return VfsAccessTest([noEnter](const QByteArray& path, int mode) {
        return !(mode & VfsAccessTest::Execute) || !noEnter.contains(QFile::decodeName(path));
    });
}

// A trash that records what it was given and answers as told.
class FakeTrash : public VfsTrash
{
public:
    struct State
    {
        QMutex mutex;
        QList<QByteArray> paths;
        Result answer = Trashed;
    };

    explicit FakeTrash(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    Result moveToTrash(int directoryFd, const char* name, const char* nativePath) override
    {
        Q_UNUSED(directoryFd)
        Q_UNUSED(name)
        QMutexLocker lock(&m_state->mutex);
        m_state->paths.append(QByteArray(nativePath));
        return m_state->answer;
    }

private:
    std::shared_ptr<State> m_state;
};

// A drive platform with nothing in it, for a watcher the tests can create.
class EmptyDrivePlatform : public IDrivePlatform
{
public:
    QVector<MountedVolume> mountedVolumes() const override { return {}; }
    QByteArray udevInfo(const QByteArray&) const override { return {}; }
    QVector<QPair<QString, QString>> diskByUuidLinks() const override { return {}; }
    void startVolumeMonitor() override {}
    void abort() override {}
};

// One server and the frames it sent.
class ServerHarness
{
public:
    explicit ServerHarness(int accessMode, const std::vector<PeerAclDto>& shares = {},
                           quint16 peerVersion = 3)
        : server(accessMode)
        , request(new VfsMirkCommand())
        , reply(new VfsMirkCommand())
        , version(peerVersion)
    {
        server.setPeerVersion(peerVersion);
        server.setShares(shares);
        server.setAccessTest(permissiveAccess());
        QObject::connect(&server, &VfsServerVelm::fsoTransmit,
                         [this](const QByteArray& frame) { frames.append(frame); });
        settle();
        frames.clear(); // the change notices of setShares()
    }

    // Parses the request frame as the peer would and hands it to the server.
    bool feed(const QByteArray& frame)
    {
        if (frame.isNull() || !parser.processCommand(frame, request.get(), version))
            return false;
        server.processIncomingCommand(request.get());
        return true;
    }

    static quint8 commandOf(const QByteArray& frame)
    {
        return frame.size() > 8 ? quint8(frame.at(8)) : 0;
    }
    static quint16 trIdOf(const QByteArray& frame)
    {
        return frame.size() > 11 ? quint16(quint8(frame.at(10)) | (quint8(frame.at(11)) << 8)) : 0;
    }

    // Waits for the reply to a request (same TrId, the request's code with
    // the reply bit), removes it from frames and decodes it into reply.
    bool awaitReply(quint8 command, quint16 trId, int timeout = 10000)
    {
        const quint8 wanted = quint8(command | VfsMirkCommand::ReplyBit);
        int at = -1;
        auto find = [&] {
            for (int i = 0; i < frames.size(); ++i) {
                if (commandOf(frames.at(i)) == wanted && trIdOf(frames.at(i)) == trId) {
                    at = i;
                    return true;
                }
            }
            return false;
        };
        if (!find() && !QTest::qWaitFor(find, timeout))
            return false;
        const QByteArray frame = frames.takeAt(at);
        return parser.processCommand(frame, reply.get(), version);
    }

    // Sends a request and gives the status of its reply (NoReply when none came).
    quint8 call(const QByteArray& frame, int timeout = 10000)
    {
        if (!feed(frame))
            return NoReply;
        return awaitReply(commandOf(frame), trIdOf(frame), timeout) ? reply->status : NoReply;
    }

    // Lets every worker finish and every queued signal arrive.
    void settle()
    {
        for (int round = 0; round < 3; ++round) {
            const bool idle = QTest::qWaitFor([this] {
                QCoreApplication::processEvents();
                return !server.hasRunningWork();
            }, 10000);
            Q_UNUSED(idle)
            QThreadPool::globalInstance()->waitForDone();
            QCoreApplication::processEvents();
        }
    }

    QList<QByteArray> notices()
    {
        QList<QByteArray> paths;
        for (const QByteArray& frame : frames) {
            if (commandOf(frame) == VfsMirkCommand::DirectoryChanged
                && parser.processCommand(frame, reply.get(), version)) {
                paths.append(reply->pathBytes());
            }
        }
        return paths;
    }

    // The frames other than change notices (which the process-wide watcher
    // may add at any time for directories an earlier test touched).
    QList<QByteArray> replies() const
    {
        QList<QByteArray> result;
        for (const QByteArray& frame : frames) {
            if (commandOf(frame) != VfsMirkCommand::DirectoryChanged)
                result.append(frame);
        }
        return result;
    }

    quint16 nextTrId() { return m_trId++; }

    // Frequent requests.
    quint8 open(const QByteArray& path, quint32 flags, quint16* handle = nullptr)
    {
        const quint8 status = call(VfsMirkCommandWriter::openFileRequest(
            nextTrId(), version, flags, VfsMirkFieldMask(), 0, 0, 0, 0, path));
        if (handle)
            *handle = status == 0 ? reply->handle : 0;
        return status;
    }
    quint8 close(quint16 handle, quint32 flags = 0)
    {
        return call(VfsMirkCommandWriter::closeFileRequest(nextTrId(), flags, handle));
    }

    VfsServerVelm server;
    VfsMirkCommandParser parser;
    std::unique_ptr<VfsMirkCommand> request;
    std::unique_ptr<VfsMirkCommand> reply;
    quint16 version;
    QList<QByteArray> frames;

private:
    quint16 m_trId = 1;
};

// Every entry below root (links not followed), with its type, size, mode,
// modification time and, for files, content digest; subtrees named in
// skip (relative paths) are left out.
inline QMap<QString, QByteArray> snapshot(const QString& root, const QStringList& skip = {})
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        bool skipped = false;
        for (const QString& s : skip)
            skipped = skipped || relative == s || relative.startsWith(s + QLatin1Char('/'));
        if (skipped)
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray facts = QByteArray::number(uint(st.st_mode)) + ' '
            + QByteArray::number(S_ISDIR(st.st_mode) ? 0 : qlonglong(st.st_size)) + ' '
            + QByteArray::number(qlonglong(st.st_mtim.tv_sec)) + '.'
            + QByteArray::number(qlonglong(st.st_mtim.tv_nsec));
        if (S_ISREG(st.st_mode)) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                facts += ' ' + QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target,
                                              sizeof(target));
            facts += ' ' + QByteArray(target, int(qMax<ssize_t>(length, 0)));
        }
        tree.insert(relative, facts);
    }
    return tree;
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace vfsservertest
