// A local user who may write inside a share swaps a name for a symbolic link
// out of the share between the server's check of a path and its use. The
// swap is made at a fixed point: this program puts its own stat(), unlink()
// and unlinkat() in front of the C library's, and the armed one carries out
// the swap when the server reaches the named path. Whatever the server
// answers, nothing outside the share may be read, changed or removed.
#include "vfs/server/vfsservertestutil.h"

#include "com/wire/termstreamreader.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/server/vfsfileoperations.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdarg>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace vfsservertest;

namespace {

// The swap to carry out once: when stat() is called for statPath, when
// unlink()/unlinkat() is called for a name whose last component begins with
// unlinkPrefix, when mkdir()/mkdirat() is called for a name whose last
// component is mkdirName, or when a directory is opened for reading as
// opendir(opendirPath) or openat(..., openDirectoryName, O_DIRECTORY).
struct Swap
{
    QByteArray statPath;
    // lstat() of this path, after lstatSkip such calls have passed.
    QByteArray lstatPath;
    int lstatSkip = 0;
    QByteArray unlinkPrefix;
    QByteArray mkdirName;
    // A directory opened for reading, by path or by name in another directory.
    QByteArray opendirPath;
    QByteArray openDirectoryName;
    std::function<void()> action;
    bool done = false;
};

Swap* g_swap = nullptr;

QByteArray lastComponent(const char* path)
{
    const QByteArray bytes(path ? path : "");
    return bytes.mid(bytes.lastIndexOf('/') + 1);
}

void fire(bool matches)
{
    if (g_swap && !g_swap->done && matches) {
        g_swap->done = true;
        g_swap->action();
    }
}

template <class Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int stat(const char* path, struct stat* st)
{
    fire(g_swap && g_swap->statPath == path);
    static const auto real = next<int (*)(const char*, struct stat*)>("stat");
    return real(path, st);
}

extern "C" int lstat(const char* path, struct stat* st)
{
    fire(g_swap && !g_swap->lstatPath.isEmpty() && g_swap->lstatPath == path && g_swap->lstatSkip-- <= 0);
    static const auto real = next<int (*)(const char*, struct stat*)>("lstat");
    return real(path, st);
}

extern "C" int unlink(const char* path)
{
    fire(g_swap && !g_swap->unlinkPrefix.isEmpty()
         && lastComponent(path).startsWith(g_swap->unlinkPrefix));
    static const auto real = next<int (*)(const char*)>("unlink");
    return real(path);
}

extern "C" int unlinkat(int dirfd, const char* path, int flags)
{
    fire(g_swap && !g_swap->unlinkPrefix.isEmpty()
         && lastComponent(path).startsWith(g_swap->unlinkPrefix));
    static const auto real = next<int (*)(int, const char*, int)>("unlinkat");
    return real(dirfd, path, flags);
}

extern "C" int mkdir(const char* path, mode_t mode)
{
    fire(g_swap && !g_swap->mkdirName.isEmpty() && lastComponent(path) == g_swap->mkdirName);
    static const auto real = next<int (*)(const char*, mode_t)>("mkdir");
    return real(path, mode);
}

extern "C" int mkdirat(int dirfd, const char* path, mode_t mode)
{
    fire(g_swap && !g_swap->mkdirName.isEmpty() && lastComponent(path) == g_swap->mkdirName);
    static const auto real = next<int (*)(int, const char*, mode_t)>("mkdirat");
    return real(dirfd, path, mode);
}

extern "C" DIR* opendir(const char* path)
{
    fire(g_swap && !g_swap->opendirPath.isEmpty() && g_swap->opendirPath == path);
    static const auto real = next<DIR* (*)(const char*)>("opendir");
    return real(path);
}

extern "C" int openat(int dirfd, const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list arguments;
        va_start(arguments, flags);
        mode = mode_t(va_arg(arguments, int));
        va_end(arguments);
    }
    fire(g_swap && !g_swap->openDirectoryName.isEmpty() && (flags & O_DIRECTORY)
         && !(flags & O_PATH) && g_swap->openDirectoryName == path);
    static const auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(dirfd, path, flags, mode);
}

namespace {

const QString kShare = QStringLiteral("{5a5a5a5a-0000-0000-0000-000000000001}");

constexpr quint32 kRead = VfsMirkCommand::OpenRead;
constexpr quint32 kWrite = VfsMirkCommand::OpenWrite;
constexpr quint32 kTimes = VfsMirkCommand::OpenTimes;

// Replaces path by a symbolic link to target; what was there is kept aside.
void swapForLink(const QByteArray& path, const QByteArray& target)
{
    ::rename(path.constData(), (path + ".aside").constData());
    QVERIFY(::symlink(target.constData(), path.constData()) == 0);
}

class Armed
{
public:
    explicit Armed(Swap* swap) { g_swap = swap; }
    ~Armed() { g_swap = nullptr; }
};

} // namespace

class TestVfsServerRaces : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void openAfterSwap_data();
    void openAfterSwap();
    void timesAfterSwap();
    void deleteAfterSwap();
    void trashAfterSwap_data();
    void trashAfterSwap();
    void moveAfterSwap_data();
    void moveAfterSwap();
    void makeDirectoryAfterSwap();
    void moveAcrossDevicesAfterSwap();
    void listingAfterSwap();
    void listingNamesLinkTargetsAsPaths();

private:
    QByteArray at(const char* relative) const { return m_root + '/' + relative; }
    std::vector<PeerAclDto> shares() const
    {
        return { share(kShare, QStringLiteral("S"), QFile::decodeName(at("S")), 1 | 2 | 4) };
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_root;
    QMap<QString, QByteArray> m_outside;
};

void TestVfsServerRaces::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_root = QFile::encodeName(QFileInfo(m_dir->path()).canonicalFilePath());
    QVERIFY(QDir().mkpath(QFile::decodeName(at("S/d/b"))));
    QVERIFY(QDir().mkpath(QFile::decodeName(at("S/e"))));
    QVERIFY(QDir().mkpath(QFile::decodeName(at("O"))));
    QVERIFY(writeFile(QFile::decodeName(at("S/f")), "inside"));
    QVERIFY(writeFile(QFile::decodeName(at("S/d/f")), "inside"));
    QVERIFY(writeFile(QFile::decodeName(at("S/d/b/x1")), "inside"));
    QVERIFY(writeFile(QFile::decodeName(at("S/d/b/x2")), "inside"));
    QVERIFY(writeFile(QFile::decodeName(at("O/f")), "outside"));
    QVERIFY(writeFile(QFile::decodeName(at("O/x1")), "outside"));
    QVERIFY(writeFile(QFile::decodeName(at("O/x2")), "outside"));
    const timespec times[2] = { { 900000000, 0 }, { 900000000, 0 } };
    QCOMPARE(::utimensat(AT_FDCWD, at("O/f").constData(), times, 0), 0);
    m_outside = snapshot(QFile::decodeName(at("O")));
}

void TestVfsServerRaces::openAfterSwap_data()
{
    QTest::addColumn<QByteArray>("path");    // relative to the root
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QByteArray>("swapped"); // replaced by a link...
    QTest::addColumn<QByteArray>("target");  // ...to this (relative to the root)

    QTest::newRow("write: the file becomes a link out")
        << QByteArray("S/f") << kWrite << QByteArray("S/f") << QByteArray("O/f");
    QTest::newRow("read-write: the file becomes a link out")
        << QByteArray("S/f") << (kRead | kWrite) << QByteArray("S/f") << QByteArray("O/f");
    QTest::newRow("read: the file becomes a link out")
        << QByteArray("S/f") << kRead << QByteArray("S/f") << QByteArray("O/f");
    QTest::newRow("write: a new name becomes a link out")
        << QByteArray("S/new") << kWrite << QByteArray("S/new") << QByteArray("O/new");
    QTest::newRow("write: a directory on the way becomes a link out")
        << QByteArray("S/d/f") << kWrite << QByteArray("S/d") << QByteArray("O");
    QTest::newRow("read: a directory on the way becomes a link out")
        << QByteArray("S/d/f") << kRead << QByteArray("S/d") << QByteArray("O");
}

void TestVfsServerRaces::openAfterSwap()
{
    QFETCH(QByteArray, path);
    QFETCH(quint32, flags);
    QFETCH(QByteArray, swapped);
    QFETCH(QByteArray, target);

    ServerHarness h(VfsServerVelm::Restricted, shares());
    Swap swap;
    swap.statPath = at(path.constData());
    swap.action = [&] { swapForLink(at(swapped.constData()), at(target.constData())); };
    quint8 status;
    quint16 handle = 0;
    {
        Armed armed(&swap);
        status = h.open(at(path.constData()), flags, &handle);
    }
    QVERIFY(swap.done);
    if (status == FSO_STATUS_OK && (flags & kRead)) {
        // Whatever was opened must not be the file outside.
        h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0, handle, 0, 100));
        QVERIFY(QByteArray(reinterpret_cast<const char*>(h.reply->data),
                           int(h.reply->dataLength))
                != "outside");
    }
    if (handle)
        h.close(handle);
    h.settle();
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
}

void TestVfsServerRaces::timesAfterSwap()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    Swap swap;
    swap.statPath = at("S/f");
    swap.action = [&] { swapForLink(at("S/f"), at("O/f")); };
    VfsMirkFieldMask times;
    times.set(0, VfsMirkCommand::TimeModification);
    {
        Armed armed(&swap);
        h.call(VfsMirkCommandWriter::openFileRequest(h.nextTrId(), 3, kTimes, times, 0, 0,
                                                     1234567890000LL, 0, at("S/f")));
    }
    QVERIFY(swap.done);
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
}

void TestVfsServerRaces::deleteAfterSwap()
{
    // While the tree is removed, a directory already being emptied becomes a
    // link out (at the first of its two entries, whichever the walk meets
    // first): the other entry must not be looked up through the link.
    ServerHarness h(VfsServerVelm::Restricted, shares());
    Swap swap;
    swap.unlinkPrefix = "x";
    swap.action = [&] { swapForLink(at("S/d/b"), at("O")); };
    {
        Armed armed(&swap);
        h.call(VfsMirkCommandWriter::deleteFileRequest(h.nextTrId(), 0, at("S/d")));
    }
    QVERIFY(swap.done);
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);

    // The same for the removal a move across file systems ends with, called directly.
    init();
    Swap again;
    again.unlinkPrefix = "x";
    again.action = [&] { swapForLink(at("S/d/b"), at("O")); };
    {
        Armed armed(&again);
        VfsFileOperations::removeTree(at("S/d"));
    }
    QVERIFY(again.done);
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
}

void TestVfsServerRaces::trashAfterSwap_data()
{
    QTest::addColumn<QByteArray>("path");    // relative to the root
    QTest::addColumn<QByteArray>("swapped"); // replaced by a link...
    QTest::addColumn<QByteArray>("target");  // ...to this (relative to the root)

    QTest::newRow("a folder on the way becomes a link out")
        << QByteArray("S/d/f") << QByteArray("S/d") << QByteArray("O");
    QTest::newRow("the entry becomes a link out")
        << QByteArray("S/f") << QByteArray("S/f") << QByteArray("O/f");
}

// Delete to the desktop trash (the server's own, in a data folder of this
// test): the swap comes after the path was checked, when the server looks
// at the entry once more before trashing it.
void TestVfsServerRaces::trashAfterSwap()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, swapped);
    QFETCH(QByteArray, target);

    qputenv("XDG_DATA_HOME", at("data"));
    ServerHarness h(VfsServerVelm::Restricted, shares());
    Swap swap;
    swap.lstatPath = at(path.constData());
    swap.lstatSkip = 1; // the check's own look
    swap.action = [&] { swapForLink(at(swapped.constData()), at(target.constData())); };
    quint8 status;
    {
        Armed armed(&swap);
        status = h.call(VfsMirkCommandWriter::deleteFileRequest(h.nextTrId(), 1, at(path.constData())));
    }
    QVERIFY(swap.done);
    QVERIFY(status != NoReply);
    h.settle();
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
    if (status == FSO_STATUS_OK) {
        // Only what was inside went: the swapped-in link itself.
        QVERIFY(QFileInfo(QFile::decodeName(at("data/Trash/files/f"))).isSymLink());
    }
}

void TestVfsServerRaces::moveAfterSwap_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("destination");

    // The move checks the file system of the destination's folder last: the
    // swap is made then.
    QTest::newRow("the source's folder becomes a link out")
        << QByteArray("S/d/f") << QByteArray("S/e/g");
    QTest::newRow("the destination's folder becomes a link out")
        << QByteArray("S/f") << QByteArray("S/d/f");
}

void TestVfsServerRaces::moveAfterSwap()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, destination);
    ServerHarness h(VfsServerVelm::Restricted, shares());
    Swap swap;
    const QByteArray to = at(destination.constData());
    swap.statPath = to.left(to.lastIndexOf('/'));
    swap.action = [&] { swapForLink(at("S/d"), at("O")); };
    {
        Armed armed(&swap);
        h.call(VfsMirkCommandWriter::moveRequest(h.nextTrId(), 0x01, at(source.constData()), to));
    }
    QVERIFY(swap.done);
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
}

void TestVfsServerRaces::makeDirectoryAfterSwap()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    Swap swap;
    swap.statPath = at("S/d/new/sub");
    swap.action = [&] { swapForLink(at("S/d"), at("O")); };
    {
        Armed armed(&swap);
        h.call(VfsMirkCommandWriter::makeDirectoryRequest(h.nextTrId(), 0, VfsMirkFieldMask(),
                                                          at("S/d/new/sub")));
    }
    QVERIFY(swap.done);
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
}

void TestVfsServerRaces::moveAcrossDevicesAfterSwap()
{
    // The copy of a move between file systems: a directory of the source
    // becomes a link out just when its copy is made. What lands at the
    // destination must not be what lies outside.
    Swap swap;
    swap.mkdirName = "b";
    swap.action = [&] { swapForLink(at("S/d/b"), at("O")); };
    {
        Armed armed(&swap);
        VfsFileOperations::moveAcrossDevices(at("S/d"), at("S/e/moved"), false);
    }
    QVERIFY(swap.done);
    const QMap<QString, QByteArray> moved = snapshot(QFile::decodeName(at("S/e")));
    int copied = 0;
    for (auto it = moved.begin(); it != moved.end(); ++it) {
        if (it.key().endsWith(QLatin1String("/x1")) || it.key().endsWith(QLatin1String("/x2"))) {
            QCOMPARE(readFile(QFile::decodeName(at("S/e/")) + it.key()), QByteArray("inside"));
            ++copied;
        }
    }
    QCOMPARE(copied, 2);
    QCOMPARE(snapshot(QFile::decodeName(at("O"))), m_outside);
}

void TestVfsServerRaces::listingAfterSwap()
{
    // The listed directory becomes a link out just when it is read for the
    // first page: the page must not name what lies outside.
    ServerHarness h(VfsServerVelm::Restricted, shares());
    VfsMirkFieldMask fields;
    fields.set(0, VfsMirkListEntry::FieldsAll);
    const quint16 trId = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, fields, at("S/d"))),
             quint8(FSO_STATUS_OK));
    Swap swap;
    swap.opendirPath = at("S/d");
    swap.openDirectoryName = "d";
    swap.action = [&] { swapForLink(at("S/d"), at("O")); };
    {
        Armed armed(&swap);
        QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 0)));
        QVERIFY(h.awaitReply(VfsMirkCommand::QueryListDirectory, trId));
    }
    QVERIFY(swap.done);
    QStringList names;
    com::TermStreamReader reader(h.reply->entryArea, h.reply->entryAreaLength);
    VfsMirkListEntry entry;
    for (int i = 0; i < h.reply->count && entry.read(reader, VfsMirkListEntry::FieldsAll); ++i)
        names << QString::fromUtf8(entry.name);
    QVERIFY2(!names.contains("x1") && !names.contains("x2"), qPrintable(names.join(' ')));
    h.settle();
}

void TestVfsServerRaces::listingNamesLinkTargetsAsPaths()
{
    // Entries are read through the directory's descriptor; link targets are
    // still given as absolute paths from the listed directory.
    QCOMPARE(::symlink("f", at("S/d/rel").constData()), 0);
    QCOMPARE(::symlink("../f", at("S/d/up").constData()), 0);
    QCOMPARE(::symlink(at("O/f").constData(), at("S/d/abs").constData()), 0);
    ServerHarness h(VfsServerVelm::Restricted, shares());
    VfsMirkFieldMask fields;
    fields.set(0, VfsMirkListEntry::FieldsAll);
    const quint16 trId = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, fields, at("S/d"))),
             quint8(FSO_STATUS_OK));
    QCOMPARE(h.call(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 0)),
             quint8(FSO_STATUS_COMPLETE));
    QMap<QByteArray, QByteArray> references;
    com::TermStreamReader reader(h.reply->entryArea, h.reply->entryAreaLength);
    VfsMirkListEntry entry;
    for (int i = 0; i < h.reply->count && entry.read(reader, VfsMirkListEntry::FieldsAll); ++i)
        references.insert(entry.name, entry.reference);
    QCOMPARE(references.keys(), (QList<QByteArray>{ "abs", "b", "f", "rel", "up" }));
    QCOMPARE(references.value("rel"), at("S/d/f"));
    QCOMPARE(references.value("up"), at("S/f"));
    QCOMPARE(references.value("abs"), at("O/f"));
    QCOMPARE(references.value("f"), QByteArray());
    h.settle();
}

QTEST_GUILESS_MAIN(TestVfsServerRaces)
#include "tst_vfsserverraces.moc"
