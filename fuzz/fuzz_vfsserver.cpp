// Feeds arbitrary request frames to the file-system server of a paired peer
// (access mode 0) whose shares lie in a temporary tree:
//
//   root/share        read+write share    a, d/f, ro/r, links out, up, dang
//   root/share/ro     read-only share inside it
//   root/sharex       a drive share without rights, a text prefix of "share"
//   root/outside      the sentinel tree: nothing may change here
//
// The first input byte picks how the rest is read: raw frames (each cut by a
// two-byte length, its length field patched so that it is one frame), or a
// small program of requests built with the protocol's writers from a table
// of paths that try every way out of the share. After all replies have come
// back, the sentinel tree must be as it was and the share folders must
// still exist; otherwise the target aborts. The server does its work inline
// (no thread pool), and the tree is checked and rebuilt only after inputs
// that sent a request able to change it, so that the target runs fast.
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/server/vfspathguard.h"
#include "vfs/server/vfsservervelm.h"
#include "vfs/server/vfstrash.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QThreadPool>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kShare = QStringLiteral("{0f0f0f0f-0000-0000-0000-000000000001}");
const QString kReadOnly = QStringLiteral("{0f0f0f0f-0000-0000-0000-000000000002}");
const QString kDrive = QStringLiteral("{0f0f0f0f-0000-0000-0000-000000000003}");
const QString kStar = QStringLiteral("{0f0f0f0f-0000-0000-0000-000000000004}");

void check(bool ok)
{
    if (!ok)
        std::abort();
}

class NoTrash : public VfsTrash
{
public:
    explicit NoTrash(int answer) : m_answer(Result(answer % 5)) {}
    Result moveToTrash(int, const char*, const char*) override { return m_answer; }

private:
    Result m_answer;
};

struct Fixture
{
    QTemporaryDir dir;
    QString root;
    QMap<QString, QByteArray> sentinel;
};

Fixture* g_fixture = nullptr;
// A request that may have changed the tree was served: the share is built
// afresh before the next input, and this input ends with the sentinel check.
bool g_changed = true;

void serve(VfsMirkCommandParser& parser, const QByteArray& frame, VfsMirkCommand* cmd, uint16_t version,
           VfsServerVelm& server)
{
    if (frame.isNull() || !parser.processCommand(frame, cmd, version))
        return;
    switch (cmd->command) {
    case VfsMirkCommand::ListDrives:
    case VfsMirkCommand::ListDirectory:
    case VfsMirkCommand::QueryListDirectory:
    case VfsMirkCommand::ReadFile:
    case VfsMirkCommand::HashFile:
        break;
    default:
        g_changed = true;
        break;
    }
    server.processIncomingCommand(cmd);
}

bool put(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Type, size, mode, modification time and content of every entry below
// root except the share.
QMap<QString, QByteArray> outsideTree(const QString& root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        if (relative == QLatin1String("share") || relative.startsWith(QLatin1String("share/")))
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
                facts += QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1);
        }
        tree.insert(relative, facts);
    }
    return tree;
}

void buildShare(const QString& root)
{
    QDir(root + "/share").removeRecursively();
    QDir().mkpath(root + "/share/d");
    QDir().mkpath(root + "/share/ro");
    put(root + "/share/a", QByteArray(3000, 'a'));
    put(root + "/share/d/f", "f");
    put(root + "/share/ro/r", "r");
    const QByteArray s = QFile::encodeName(root + "/share");
    const QByteArray outside = QFile::encodeName(root + "/outside");
    ::symlink(outside.constData(), (s + "/out").constData());
    ::symlink("..", (s + "/up").constData());
    ::symlink((outside + "/new").constData(), (s + "/dang").constData());
}

class Reader
{
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_at >= m_size; }
    uint8_t u8() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    uint32_t u32() { return uint32_t(u16() | (uint32_t(u16()) << 16)); }
    uint64_t u64() { return uint64_t(u32()) | (uint64_t(u32()) << 32); }
    QByteArray bytes(size_t n)
    {
        n = std::min(n, m_size - std::min(m_at, m_size));
        QByteArray out(reinterpret_cast<const char*>(m_data + m_at), int(n));
        m_at += n;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

QByteArray pickPath(Reader& in, const QString& root)
{
    static const char* const relative[] = {
        "share", "share/a", "share/d", "share/d/f", "share/out", "share/out/secret",
        "share/up", "share/up/outside/secret", "share/dang", "share/ro", "share/ro/r",
        "outside", "outside/secret", "outside/dir", "sharex", "sharex/f",
        "share/../outside/secret", "share//", "share/./d", "share/new", "share/d/new",
        "share/ro/new", "share/up/share/a", "", "share/out/dir/x",
    };
    constexpr int relativeCount = int(sizeof(relative) / sizeof(relative[0]));
    const QByteArray shares = "%shares/" + kShare.toUtf8();
    const QByteArray r = QFile::encodeName(root);
    const uint8_t pick = in.u8();
    QByteArray path;
    switch (pick % (relativeCount + 8)) {
    case relativeCount + 0: path = "%shares"; break;
    case relativeCount + 1: path = shares; break;
    case relativeCount + 2: path = shares + "/.."; break;
    case relativeCount + 3: path = shares + "/a"; break;
    case relativeCount + 4: path = shares + "/out/secret"; break;
    case relativeCount + 5: path = "/"; break;
    case relativeCount + 6: path = "/etc"; break;
    case relativeCount + 7: path = QByteArray(); break;
    default: {
        const char* rel = relative[pick % (relativeCount + 8)];
        path = *rel ? r + '/' + rel : r;
        break;
    }
    }
    // Now and then a tail of raw bytes: separators, dots, NULs, bad UTF-8.
    if (pick & 0x80)
        path += in.bytes(in.u8() % 16);
    return path.left(1023);
}

void runProgram(Reader& in, VfsMirkCommandParser& parser, VfsMirkCommand* cmd,
                VfsServerVelm& server, const QString& root)
{
    int steps = 0;
    while (!in.atEnd() && steps++ < 16) {
        const uint8_t op = in.u8();
        const uint16_t trId = uint16_t(op >> 4); // few ids, so pages find their listings
        QByteArray frame;
        switch (op % 12) {
        case 0: {
            VfsMirkFieldMask fields;
            fields.set(0, in.u16());
            frame = VfsMirkCommandWriter::listDirectoryRequest(trId, in.u8(), fields,
                                                               pickPath(in, root));
            break;
        }
        case 1:
            frame = VfsMirkCommandWriter::queryListDirectoryRequest(
                trId, (op & 0x08) ? in.u32() : in.u8());
            break;
        case 2:
            frame = VfsMirkCommandWriter::listDrivesRequest(trId, 16, in.u8());
            break;
        case 3: {
            const uint8_t flags = in.u8();
            const QByteArray from = pickPath(in, root);
            frame = VfsMirkCommandWriter::moveRequest(trId, flags, from, pickPath(in, root));
            break;
        }
        case 4: {
            const uint32_t flags = in.u8() & 0x3F;
            VfsMirkFieldMask times;
            if (flags & VfsMirkCommand::OpenTimes)
                times.set(0, in.u8() & VfsMirkCommand::TimeFieldsAllowed);
            const int64_t a = int64_t(in.u64());
            const int64_t m = int64_t(in.u64());
            frame = VfsMirkCommandWriter::openFileRequest(trId, 3, flags, times, a, 0, m,
                                                          in.u16(), pickPath(in, root));
            break;
        }
        case 5:
            frame = VfsMirkCommandWriter::readFileRequest(trId, in.u8(), in.u8() % 6, in.u64(),
                                                          in.u32());
            break;
        case 6: {
            const uint8_t flags = in.u8();
            const uint16_t handle = in.u8() % 6;
            const uint64_t offset = (op & 0x08) ? in.u64() : in.u16();
            QByteArray data = in.bytes(in.u8());
            if (data.isEmpty())
                data = QByteArray(int(in.u16() % 64400) + 1, 'w');
            frame = VfsMirkCommandWriter::writeFileRequest(trId, flags, handle, offset,
                                                           data.constData(), data.size());
            break;
        }
        case 7:
            frame = VfsMirkCommandWriter::deleteFileRequest(trId, in.u8(), pickPath(in, root));
            break;
        case 8:
            frame = VfsMirkCommandWriter::makeDirectoryRequest(trId, in.u8(), VfsMirkFieldMask(),
                                                               pickPath(in, root));
            break;
        case 9:
            frame = VfsMirkCommandWriter::closeFileRequest(trId, in.u8() & 1, in.u8() % 6);
            break;
        case 10:
            frame = VfsMirkCommandWriter::hashFileRequest(trId, in.u8(), in.u8() % 6, in.u16(),
                                                          in.u32() % 70000, in.u64());
            break;
        case 11:
            QCoreApplication::processEvents(); // let replies come back between requests
            continue;
        }
        serve(parser, frame, cmd, 3, server);
    }
}

void runRaw(Reader& in, VfsMirkCommandParser& parser, VfsMirkCommand* cmd, VfsServerVelm& server)
{
    const uint16_t version = in.u8() % 4;
    int frames = 0;
    while (!in.atEnd() && frames++ < 16) {
        QByteArray frame = in.bytes(in.u16());
        if (frame.size() >= 5) {
            // One frame, as the frame buffer would have cut it.
            frame[0] = 7;
            const uint32_t length = uint32_t(frame.size());
            std::memcpy(frame.data() + 1, &length, 4);
        }
        serve(parser, frame, cmd, version, server);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Never destroyed: at exit Qt's own statics may already be gone.
    new QCoreApplication(*argc, *argv);
    g_fixture = new Fixture;
    check(g_fixture->dir.isValid());
    g_fixture->root = QFileInfo(g_fixture->dir.path()).canonicalFilePath();
    const QString root = g_fixture->root;
    QDir().mkpath(root + "/outside/dir");
    QDir().mkpath(root + "/sharex");
    put(root + "/outside/secret", "secret");
    put(root + "/outside/dir/x", "x");
    put(root + "/sharex/f", "lookalike");
    buildShare(root);
    g_fixture->sentinel = outsideTree(root);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QString root = g_fixture->root;
    if (g_changed)
        buildShare(root);
    g_changed = false;

    Reader in(data, size);
    const uint8_t mode = in.u8();
    static std::unique_ptr<VfsMirkCommand> cmd(new VfsMirkCommand());
    VfsMirkCommandParser parser;
    {
        VfsServerVelm server(VfsServerVelm::Restricted);
        server.setPeerVersion(3);
        // The handlers' work runs at once on this thread: no waiting for the
        // pool, thousands of inputs a second.
        VfsServerVelm::Timings timings;
        timings.workInline = true;
        server.setTimings(timings);
        const quint32 rw = VfsPathGuard::ShareRead | VfsPathGuard::ShareWrite;
        PeerAclDto share{ kShare, "share", root + "/share", rw | VfsPathGuard::ShareDirectory, {} };
        PeerAclDto ro{ kReadOnly, "ro", root + "/share/ro",
                       VfsPathGuard::ShareRead | VfsPathGuard::ShareDirectory, {} };
        PeerAclDto drive{ kDrive, "drive", root + "/sharex", VfsPathGuard::ShareDrive, {} };
        PeerAclDto star{ kStar, "star", "*", rw | VfsPathGuard::ShareDirectory, {} };
        server.setShares({ share, ro, drive, star });
        server.setTrash(std::unique_ptr<VfsTrash>(new NoTrash(mode >> 4)));
        server.setDriveSource([root] {
            DriveCache a;
            a.rootPath = QFile::encodeName(root + "/sharex");
            a.name = "x";
            DriveCache b;
            b.rootPath = QFile::encodeName(root + "/outside");
            b.name = QByteArray(900, 'n');
            return std::vector<DriveCache>{ b, a, b, a };
        });

        if (mode & 1)
            runProgram(in, parser, cmd.get(), server, root);
        else
            runRaw(in, parser, cmd.get(), server);

        // Every reply comes back before the server goes.
        while (server.hasRunningWork()) {
            QThreadPool::globalInstance()->waitForDone();
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
    }

    if (g_changed) {
        check(QFileInfo(root + "/share").isDir());
        check(QFileInfo(root + "/share/ro").isDir());
        check(outsideTree(root) == g_fixture->sentinel);
    }
    return 0;
}
