#include "vfs/server/vfsservertestutil.h"

#include "vfs/protocol/fsostatus.h"
#include "vfs/server/vfspathguard.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vfsservertest;

namespace {

const QString kShare = QStringLiteral("{22222222-0000-0000-0000-00000000000a}");

constexpr quint32 kRefuseCrossDevice = 0x01;
constexpr quint32 kNoReplace = 0x02;

} // namespace

// Moves, deletions and new directories, for the own machine and for a peer
// inside its share. Each test works in a fresh tree T/S (the share) with
// T/S/a.txt, T/S/b.txt, T/S/full/x, T/S/empty, T/S/link-dir -> T/S/full,
// T/S/link-file -> T/S/a.txt, T/S/dangling -> T/S/none.
class TestVfsServerOps : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void move_data();
    void move();
    void moveAcrossFileSystems_data();
    void moveAcrossFileSystems();
    void deleteFile_data();
    void deleteFile();
    void deleteToTrash_data();
    void deleteToTrash();
    void deleteOnlyWhenEmpty_data();
    void deleteOnlyWhenEmpty();
    void fullDiskAnswersNoSpace_data();
    void fullDiskAnswersNoSpace();
    void fullTmpfsAnswersNoSpace();
    void makeDirectory_data();
    void makeDirectory();

private:
    QByteArray t(const char* relative) const { return m_root + relative; }
    QString ts(const char* relative) const { return QFile::decodeName(t(relative)); }
    std::unique_ptr<ServerHarness> harness(int mode) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_root;
};

void TestVfsServerOps::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_root = QFile::encodeName(QFileInfo(m_dir->path()).canonicalFilePath());
    QVERIFY(QDir().mkpath(ts("/S/full")));
    QVERIFY(QDir().mkpath(ts("/S/empty")));
    QVERIFY(writeFile(ts("/S/a.txt"), "alpha"));
    QVERIFY(writeFile(ts("/S/b.txt"), "beta"));
    QVERIFY(writeFile(ts("/S/full/x"), "x"));
    QCOMPARE(::symlink(t("/S/full").constData(), t("/S/link-dir").constData()), 0);
    QCOMPARE(::symlink(t("/S/a.txt").constData(), t("/S/link-file").constData()), 0);
    QCOMPARE(::symlink(t("/S/none").constData(), t("/S/dangling").constData()), 0);
}

std::unique_ptr<ServerHarness> TestVfsServerOps::harness(int mode) const
{
    return std::make_unique<ServerHarness>(
        mode, std::vector<PeerAclDto>{ share(kShare, "S", ts("/S"),
                                             VfsPathGuard::ShareRead | VfsPathGuard::ShareWrite
                                                 | VfsPathGuard::ShareDirectory) });
}

void TestVfsServerOps::move_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("from"); // below T
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<quint8>("status");
    // Expected afterwards: "path=content" for files, "path/" for directories,
    // "path!" for paths that must not exist.
    QTest::addColumn<QStringList>("expect");

    for (int mode : { int(VfsServerVelm::Unrestricted), int(VfsServerVelm::Restricted) }) {
        const QByteArray m = mode == VfsServerVelm::Restricted ? "peer: " : "own: ";
        auto row = [&](const char* name) -> QTestData& { return QTest::newRow((m + name).constData()) << mode; };
        row("file to a new name") << QByteArray("/S/a.txt") << QByteArray("/S/c.txt") << 0u
                                  << quint8(0) << QStringList{ "/S/a.txt!", "/S/c.txt=alpha" };
        row("file onto a file") << QByteArray("/S/a.txt") << QByteArray("/S/b.txt") << 0u
                                << quint8(0) << QStringList{ "/S/a.txt!", "/S/b.txt=alpha" };
        row("file onto a file, refused") << QByteArray("/S/a.txt") << QByteArray("/S/b.txt")
                                         << kNoReplace << quint8(FSO_STATUS_EXISTS)
                                         << QStringList{ "/S/a.txt=alpha", "/S/b.txt=beta" };
        row("same path") << QByteArray("/S/a.txt") << QByteArray("/S//a.txt") << 0u
                         << quint8(FSO_STATUS_SAME_PATH) << QStringList{ "/S/a.txt=alpha" };
        row("missing source") << QByteArray("/S/none") << QByteArray("/S/c.txt") << 0u
                              << quint8(FSO_STATUS_NOT_FOUND) << QStringList{ "/S/c.txt!" };
        // Never a removal first: a directory with content stays where it is.
        row("directory onto a full directory") << QByteArray("/S/empty") << QByteArray("/S/full")
                                               << 0u << quint8(FSO_STATUS_IO_ERROR)
                                               << QStringList{ "/S/empty/", "/S/full/x=x" };
        row("file onto a directory") << QByteArray("/S/a.txt") << QByteArray("/S/full") << 0u
                                     << quint8(FSO_STATUS_IO_ERROR)
                                     << QStringList{ "/S/a.txt=alpha", "/S/full/x=x" };
        row("directory onto an empty directory") << QByteArray("/S/full") << QByteArray("/S/empty")
                                                 << 0u << quint8(0)
                                                 << QStringList{ "/S/full!", "/S/empty/x=x" };
        row("directory onto an empty directory, refused")
            << QByteArray("/S/full") << QByteArray("/S/empty") << kNoReplace
            << quint8(FSO_STATUS_EXISTS) << QStringList{ "/S/full/x=x", "/S/empty/" };
        row("directory to a new name") << QByteArray("/S/full") << QByteArray("/S/moved") << 0u
                                       << quint8(0) << QStringList{ "/S/full!", "/S/moved/x=x" };
        row("link moves itself") << QByteArray("/S/link-dir") << QByteArray("/S/moved-link") << 0u
                                 << quint8(0)
                                 << QStringList{ "/S/link-dir!", "/S/moved-link/x=x",
                                                 "/S/full/x=x" };
        row("same file system, checked") << QByteArray("/S/a.txt") << QByteArray("/S/c.txt")
                                         << kRefuseCrossDevice << quint8(0)
                                         << QStringList{ "/S/c.txt=alpha" };
        row("directory into itself") << QByteArray("/S/full") << QByteArray("/S/full/inner") << 0u
                                     << quint8(FSO_STATUS_IO_ERROR)
                                     << QStringList{ "/S/full/x=x", "/S/full/inner!" };
    }
    QTest::newRow("own: empty source") << int(VfsServerVelm::Unrestricted) << QByteArray()
                                       << QByteArray("/S/c.txt") << 0u
                                       << quint8(FSO_STATUS_INVALID_PARAMETER)
                                       << QStringList{ "/S/c.txt!" };
}

void TestVfsServerOps::move()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(quint32, flags);
    QFETCH(quint8, status);
    QFETCH(QStringList, expect);
    auto h = harness(mode);
    const QByteArray source = from.isEmpty() ? QByteArray() : t(from.constData());
    QCOMPARE(h->call(VfsMirkCommandWriter::moveRequest(h->nextTrId(), flags, source,
                                                        t(to.constData()))),
             status);
    for (const QString& e : expect) {
        if (e.endsWith('!')) {
            QVERIFY2(!QFileInfo(ts("") + e.chopped(1)).exists()
                         && !QFileInfo(ts("") + e.chopped(1)).isSymLink(),
                     qPrintable(e));
        } else if (e.endsWith('/')) {
            QVERIFY2(QFileInfo(ts("") + e.chopped(1)).isDir(), qPrintable(e));
        } else {
            const int eq = e.indexOf('=');
            QCOMPARE(readFile(ts("") + e.left(eq)), e.mid(eq + 1).toUtf8());
        }
    }
}

void TestVfsServerOps::moveAcrossFileSystems_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<bool>("destinationExists");
    QTest::addColumn<quint8>("status");

    QTest::newRow("file") << "file" << 0u << false << quint8(0);
    QTest::newRow("file, refused") << "file" << kRefuseCrossDevice << false
                                   << quint8(FSO_STATUS_CROSS_DEVICE);
    QTest::newRow("file onto a file") << "file" << 0u << true << quint8(0);
    QTest::newRow("file onto a file, not replacing") << "file" << kNoReplace << true
                                                     << quint8(FSO_STATUS_EXISTS);
    QTest::newRow("directory tree") << "tree" << 0u << false << quint8(0);
    QTest::newRow("directory onto a full directory") << "tree" << 0u << true
                                                     << quint8(FSO_STATUS_IO_ERROR);
}

void TestVfsServerOps::moveAcrossFileSystems()
{
    QFETCH(QString, what);
    QFETCH(quint32, flags);
    QFETCH(bool, destinationExists);
    QFETCH(quint8, status);

    QTemporaryDir shm(QStringLiteral("/dev/shm/velm-test-XXXXXX"));
    struct stat a, b;
    if (!shm.isValid() || ::stat(m_root.constData(), &a) != 0
        || ::stat(QFile::encodeName(shm.path()).constData(), &b) != 0 || a.st_dev == b.st_dev) {
        QSKIP("needs /dev/shm on a file system of its own beside the temporary directory");
    }
    const QString other = QFileInfo(shm.path()).canonicalFilePath();

    // Source on the temporary directory's file system, destination on /dev/shm.
    QString source;
    if (what == "file") {
        source = ts("/S/a.txt");
        QCOMPARE(::chmod(QFile::encodeName(source).constData(), 0640), 0);
    } else {
        source = ts("/S/full");
        QVERIFY(QDir().mkpath(source + "/deeper"));
        QVERIFY(writeFile(source + "/deeper/y", QByteArray(3 * 1000 * 1000, 'y')));
        QCOMPARE(::symlink("x", QFile::encodeName(source + "/link-to-x").constData()), 0);
    }
    const QMap<QString, QByteArray> sourceTree =
        what == "file" ? QMap<QString, QByteArray>() : snapshot(source);
    struct stat before;
    QCOMPARE(::lstat(QFile::encodeName(source).constData(), &before), 0);

    const QString destination = other + "/moved";
    if (destinationExists) {
        if (what == "file") {
            QVERIFY(writeFile(destination, "old"));
        } else {
            QVERIFY(QDir().mkpath(destination));
            QVERIFY(writeFile(destination + "/keep", "keep"));
        }
    }

    ServerHarness h(VfsServerVelm::Unrestricted);
    QCOMPARE(h.call(VfsMirkCommandWriter::moveRequest(h.nextTrId(), flags,
                                                       QFile::encodeName(source),
                                                       QFile::encodeName(destination))),
             status);
    h.settle();
    // No temporary copy is left behind, whatever happened.
    QCOMPARE(QDir(other).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList(destinationExists || status == 0 ? QStringList{ "moved" }
                                                          : QStringList{}));
    if (status != 0) {
        QVERIFY(QFileInfo::exists(source));
        if (destinationExists && what == "file")
            QCOMPARE(readFile(destination), QByteArray("old"));
        if (destinationExists && what == "tree")
            QCOMPARE(readFile(destination + "/keep"), QByteArray("keep"));
        return;
    }
    QVERIFY(!QFileInfo::exists(source));
    struct stat after;
    QCOMPARE(::lstat(QFile::encodeName(destination).constData(), &after), 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    if (what == "file") {
        QCOMPARE(readFile(destination), QByteArray("alpha"));
    } else {
        const QMap<QString, QByteArray> moved = snapshot(destination);
        for (auto it = sourceTree.begin(); it != sourceTree.end(); ++it)
            QCOMPARE(moved.value(it.key()), it.value());
        QCOMPARE(moved.keys(), sourceTree.keys());
        QVERIFY(QFileInfo(destination + "/link-to-x").isSymLink());
    }
}

void TestVfsServerOps::deleteFile_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("path"); // below T, as sent
    QTest::addColumn<quint8>("status");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QByteArray>("notice"); // below T

    for (int mode : { int(VfsServerVelm::Unrestricted), int(VfsServerVelm::Restricted) }) {
        const QByteArray m = mode == VfsServerVelm::Restricted ? "peer: " : "own: ";
        auto row = [&](const char* name) -> QTestData& { return QTest::newRow((m + name).constData()) << mode; };
        row("file") << QByteArray("/S/a.txt") << quint8(0) << QStringList{ "/S/a.txt" }
                    << QStringList{ "/S/b.txt" } << QByteArray("/S");
        row("directory with content") << QByteArray("/S/full/") << quint8(0)
                                      << QStringList{ "/S/full" } << QStringList{ "/S/a.txt" }
                                      << QByteArray("/S");
        row("link to a directory: the link only")
            << QByteArray("/S/link-dir") << quint8(0) << QStringList{ "/S/link-dir" }
            << QStringList{ "/S/full/x" } << QByteArray("/S");
        row("link to a file: the link only") << QByteArray("/S/link-file") << quint8(0)
                                             << QStringList{ "/S/link-file" }
                                             << QStringList{ "/S/a.txt" } << QByteArray("/S");
        row("dangling link") << QByteArray("/S/dangling") << quint8(0)
                             << QStringList{ "/S/dangling" } << QStringList{} << QByteArray("/S");
        row("missing") << QByteArray("/S/none") << quint8(FSO_STATUS_NOT_FOUND) << QStringList{}
                       << QStringList{ "/S/a.txt" } << QByteArray();
        row("below a link to a directory") << QByteArray("/S/link-dir/x") << quint8(0)
                                           << QStringList{ "/S/full/x" }
                                           << QStringList{ "/S/link-dir" }
                                           << QByteArray("/S/link-dir");
    }
}

void TestVfsServerOps::deleteFile()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, path);
    QFETCH(quint8, status);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);
    QFETCH(QByteArray, notice);
    auto h = harness(mode);
    QCOMPARE(h->call(VfsMirkCommandWriter::deleteFileRequest(h->nextTrId(), 0, t(path.constData()))),
             status);
    QCOMPARE(h->reply->pathBytes(), t(path.constData())); // exactly as sent
    for (const QString& g : gone) {
        QVERIFY2(!QFileInfo(ts("") + g).exists() && !QFileInfo(ts("") + g).isSymLink(),
                 qPrintable(g));
    }
    for (const QString& k : kept)
        QVERIFY2(QFileInfo(ts("") + k).exists(), qPrintable(k));
    h->settle();
    if (notice.isEmpty())
        QVERIFY(h->notices().isEmpty());
    else
        QVERIFY(h->notices().contains(t(notice.constData())));
}

void TestVfsServerOps::deleteToTrash_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<bool>("asked");

    QTest::newRow("trashed") << int(VfsTrash::Trashed) << QByteArray("/S/a.txt") << quint8(0)
                             << true;
    QTest::newRow("permission denied") << int(VfsTrash::PermissionDenied)
                                       << QByteArray("/S/a.txt") << quint8(4) << true;
    QTest::newRow("no trash there") << int(VfsTrash::NotSupported) << QByteArray("/S/a.txt")
                                    << quint8(14) << true;
    QTest::newRow("vanished meanwhile") << int(VfsTrash::NotFound) << QByteArray("/S/a.txt")
                                        << quint8(3) << true;
    QTest::newRow("other failure") << int(VfsTrash::Failed) << QByteArray("/S/a.txt")
                                   << quint8(1) << true;
    QTest::newRow("missing, not asked") << int(VfsTrash::Trashed) << QByteArray("/S/none")
                                        << quint8(3) << false;
    QTest::newRow("a link goes as itself") << int(VfsTrash::Trashed) << QByteArray("/S/link-dir")
                                           << quint8(0) << true;
}

void TestVfsServerOps::deleteToTrash()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, path);
    QFETCH(quint8, status);
    QFETCH(bool, asked);
    auto h = harness(VfsServerVelm::Restricted);
    auto trash = std::make_shared<FakeTrash::State>();
    trash->answer = VfsTrash::Result(answer);
    h->server.setTrash(std::unique_ptr<VfsTrash>(new FakeTrash(trash)));
    QCOMPARE(h->call(VfsMirkCommandWriter::deleteFileRequest(h->nextTrId(), 1, t(path.constData()))),
             status);
    QCOMPARE(trash->paths, asked ? QList<QByteArray>{ t(path.constData()) } : QList<QByteArray>{});
    // The server itself removes nothing when asked for the trash.
    QVERIFY(QFileInfo(ts(path.constData())).exists() || !asked);
}

// DeleteOnlyEmpty removes a file or a link as a plain delete does, but a
// directory only when nothing is in it; without the flag (bit 1 is what the
// cut always sent) a directory goes with everything in it, as before.
void TestVfsServerOps::deleteOnlyWhenEmpty_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");

    const quint32 onlyEmpty = VfsMirkCommand::DeleteOnlyEmpty | 0x02;
    for (int mode : { int(VfsServerVelm::Unrestricted), int(VfsServerVelm::Restricted) }) {
        const QByteArray m = mode == VfsServerVelm::Restricted ? "peer: " : "own: ";
        auto row = [&](const char* name) -> QTestData& {
            return QTest::newRow((m + name).constData()) << mode;
        };
        row("file") << onlyEmpty << QByteArray("/S/a.txt") << quint8(0)
                    << QStringList{ "/S/a.txt" } << QStringList{ "/S/b.txt" };
        row("empty directory") << onlyEmpty << QByteArray("/S/empty") << quint8(0)
                               << QStringList{ "/S/empty" } << QStringList{ "/S/full/x" };
        row("directory with a file stays") << onlyEmpty << QByteArray("/S/full")
                                           << quint8(FSO_STATUS_NOT_EMPTY) << QStringList{}
                                           << QStringList{ "/S/full", "/S/full/x" };
        row("link to a directory: the link only")
            << onlyEmpty << QByteArray("/S/link-dir") << quint8(0)
            << QStringList{ "/S/link-dir" } << QStringList{ "/S/full/x" };
        row("missing") << onlyEmpty << QByteArray("/S/none") << quint8(FSO_STATUS_NOT_FOUND)
                       << QStringList{} << QStringList{ "/S/a.txt" };
        row("without the flag: the whole tree") << 0x02u << QByteArray("/S/full") << quint8(0)
                                                << QStringList{ "/S/full" }
                                                << QStringList{ "/S/a.txt" };
    }
}

void TestVfsServerOps::deleteOnlyWhenEmpty()
{
    QFETCH(int, mode);
    QFETCH(quint32, flags);
    QFETCH(QByteArray, path);
    QFETCH(quint8, status);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);
    auto h = harness(mode);
    QCOMPARE(h->call(VfsMirkCommandWriter::deleteFileRequest(h->nextTrId(), flags,
                                                              t(path.constData()))),
             status);
    QCOMPARE(h->reply->pathBytes(), t(path.constData()));
    for (const QString& g : gone) {
        QVERIFY2(!QFileInfo(ts("") + g).exists() && !QFileInfo(ts("") + g).isSymLink(),
                 qPrintable(g));
    }
    for (const QString& k : kept)
        QVERIFY2(QFileInfo(ts("") + k).exists(), qPrintable(k));
}

// A write that fails because the file system is full (or the quota used up)
// answers FSO_STATUS_NO_SPACE, whichever request wrote; any other failure
// stays an I/O error. The disk is made full by the server's stand-in.
void TestVfsServerOps::fullDiskAnswersNoSpace_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("error");
    QTest::addColumn<quint8>("status");

    const int ops[] = { VfsServerVelm::WriteBlock, VfsServerVelm::OpenForWrite,
                        VfsServerVelm::MakeDirectory, VfsServerVelm::MoveInto };
    const char* names[] = { "write", "open for write", "make directory", "move" };
    for (int i = 0; i < 4; ++i) {
        QTest::newRow(QByteArray(names[i]).append(", no space").constData())
            << ops[i] << ENOSPC << quint8(FSO_STATUS_NO_SPACE);
        QTest::newRow(QByteArray(names[i]).append(", over quota").constData())
            << ops[i] << EDQUOT << quint8(FSO_STATUS_NO_SPACE);
        QTest::newRow(QByteArray(names[i]).append(", other failure").constData())
            << ops[i] << EIO << quint8(FSO_STATUS_IO_ERROR);
    }
}

void TestVfsServerOps::fullDiskAnswersNoSpace()
{
    QFETCH(int, operation);
    QFETCH(int, error);
    QFETCH(quint8, status);
    for (int mode : { int(VfsServerVelm::Unrestricted), int(VfsServerVelm::Restricted) }) {
        init();
        auto h = harness(mode);
        QList<QByteArray> asked;
        h->server.setWriteFault([&](VfsServerVelm::WriteOperation op, const QByteArray& path) {
            if (op != operation)
                return 0;
            asked.append(path);
            return error;
        });
        const QByteArray before = readFile(ts("/S/a.txt"));
        quint8 got = NoReply;
        QByteArray expectedPath;
        switch (operation) {
        case VfsServerVelm::WriteBlock: {
            quint16 handle = 0;
            QCOMPARE(h->open(t("/S/a.txt"), VfsMirkCommand::OpenRead | VfsMirkCommand::OpenWrite,
                             &handle),
                     quint8(0));
            const QByteArray data(1000, 'w');
            // Both a write inside the file and one that has to grow it.
            for (quint8 flags : { quint8(0), quint8(0x04) }) {
                got = h->call(VfsMirkCommandWriter::writeFileRequest(
                    h->nextTrId(), flags, handle, flags ? 100 : 0, data.constData(), data.size()));
                QCOMPARE(got, status);
                QCOMPARE(h->reply->written, 0u);
            }
            QCOMPARE(h->close(handle), quint8(0));
            QCOMPARE(readFile(ts("/S/a.txt")), before);
            expectedPath = t("/S/a.txt");
            break;
        }
        case VfsServerVelm::OpenForWrite:
            got = h->open(t("/S/new.txt"), VfsMirkCommand::OpenWrite);
            QVERIFY(!QFileInfo::exists(ts("/S/new.txt")));
            // Reading is no write: not asked, not refused.
            QCOMPARE(h->open(t("/S/a.txt"), VfsMirkCommand::OpenRead), quint8(0));
            expectedPath = t("/S/new.txt");
            break;
        case VfsServerVelm::MakeDirectory:
            got = h->call(VfsMirkCommandWriter::makeDirectoryRequest(
                h->nextTrId(), 0, VfsMirkFieldMask(), t("/S/newdir")));
            QVERIFY(!QFileInfo::exists(ts("/S/newdir")));
            expectedPath = t("/S/newdir");
            break;
        case VfsServerVelm::MoveInto:
            got = h->call(VfsMirkCommandWriter::moveRequest(h->nextTrId(), 0, t("/S/a.txt"),
                                                             t("/S/moved.txt")));
            QVERIFY(QFileInfo::exists(ts("/S/a.txt")));
            expectedPath = t("/S/moved.txt");
            break;
        }
        QCOMPARE(got, status);
        QVERIFY(!asked.isEmpty());
        QCOMPARE(asked.first(), expectedPath);
        h->settle();
    }
}

// A real full file system, where the test may mount a small one.
void TestVfsServerOps::fullTmpfsAnswersNoSpace()
{
    const QByteArray mountPoint = t("/S/small");
    QVERIFY(QDir().mkpath(QFile::decodeName(mountPoint)));
    if (::geteuid() != 0
        || ::mount("velm-test", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0) {
        QSKIP("cannot mount a small tmpfs here (needs root and mount rights)");
    }
    struct Unmount
    {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{ mountPoint };

    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(mountPoint + "/big", VfsMirkCommand::OpenRead | VfsMirkCommand::OpenWrite,
                    &handle),
             quint8(0));
    const QByteArray data(VfsMirkCommand::DataSize, 'z');
    quint8 status = 0;
    quint64 offset = 0;
    // 64 KiB hold at most a few blocks; the write that does not fit says why.
    for (int i = 0; i < 64 && status == 0; ++i) {
        status = h.call(VfsMirkCommandWriter::writeFileRequest(h.nextTrId(), 0x04, handle, offset,
                                                               data.constData(), data.size()));
        offset += h.reply->written;
    }
    QCOMPARE(status, quint8(FSO_STATUS_NO_SPACE));
    QCOMPARE(h.close(handle), quint8(0));
    h.settle();
}

void TestVfsServerOps::makeDirectory_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<quint32>("existing");

    for (int mode : { int(VfsServerVelm::Unrestricted), int(VfsServerVelm::Restricted) }) {
        const QByteArray m = mode == VfsServerVelm::Restricted ? "peer: " : "own: ";
        auto row = [&](const char* name) -> QTestData& {
            return QTest::newRow((m + name).constData()) << mode;
        };
        row("new") << QByteArray("/S/new") << 0u << quint8(0) << 0u;
        row("new, nested") << QByteArray("/S/n1/n2/n3") << 0u << quint8(0) << 0u;
        row("existing directory") << QByteArray("/S/full") << 0u << quint8(0) << 4u;
        row("existing directory, must be new") << QByteArray("/S/full") << 1u << quint8(1) << 4u;
        row("existing file") << QByteArray("/S/a.txt") << 0u << quint8(1) << 12u;
        row("through a link") << QByteArray("/S/link-dir/new") << 0u << quint8(0) << 0u;
        row("below a file") << QByteArray("/S/a.txt/new") << 0u << quint8(1) << 0u;
    }
}

void TestVfsServerOps::makeDirectory()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, path);
    QFETCH(quint32, flags);
    QFETCH(quint8, status);
    QFETCH(quint32, existing);
    auto h = harness(mode);
    QCOMPARE(h->call(VfsMirkCommandWriter::makeDirectoryRequest(h->nextTrId(), flags,
                                                                 VfsMirkFieldMask(),
                                                                 t(path.constData()))),
             status);
    QCOMPARE(h->reply->existing, existing);
    if (status == 0)
        QVERIFY(QFileInfo(ts(path.constData())).isDir());
}

QTEST_GUILESS_MAIN(TestVfsServerOps)
#include "tst_vfsserverops.moc"
