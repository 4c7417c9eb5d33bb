#include "vfs/server/vfsservertestutil.h"

#include "com/wire/termstreamreader.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/server/vfspathguard.h"
#include "vfs/watch/vfswatcher.h"

#include <QDir>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace vfsservertest;

namespace {

const QString kShare = QStringLiteral("{11111111-0000-0000-0000-00000000000a}");
const QString kReadOnly = QStringLiteral("{11111111-0000-0000-0000-00000000000b}");
const QString kDrive = QStringLiteral("{11111111-0000-0000-0000-00000000000c}");
const QString kStar = QStringLiteral("{11111111-0000-0000-0000-00000000000d}");

constexpr quint32 kRead = VfsPathGuard::ShareRead;
constexpr quint32 kWrite = VfsPathGuard::ShareWrite;
constexpr quint32 kDir = VfsPathGuard::ShareDirectory;

enum Command { List, OpenRead, OpenWrite, OpenReadWrite, OpenTimes, MakeDir, Delete, Move };

struct PageResult
{
    quint8 status = NoReply;
    QList<VfsMirkListEntry> entries;
};

VfsMirkFieldMask allFields()
{
    VfsMirkFieldMask fields;
    fields.set(0, VfsMirkListEntry::FieldsAll);
    return fields;
}

} // namespace

Q_DECLARE_METATYPE(Command)

// A temporary tree T:
//   T/S              share, read+write          T/S/a.txt, T/S/sub/b.txt, T/S/big/ (3000 files)
//   T/S/ro           share inside it, read only T/S/ro/r.txt
//   T/S/lnk-out   -> T/out                      T/S/dangling-out -> T/out/new
//   T/S/dirlink   -> T/S/sub
//   T/Sx/f           outside, a text prefix of S
//   T/out/secret, T/out/dir/deep     outside
class TestVfsServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void shareEscapesAreRefused_data();
    void shareEscapesAreRefused();
    void listingOutsideSharesNeitherListsNorWatches();

    void listDirectoryStatuses_data();
    void listDirectoryStatuses();
    void listingPages_data();
    void listingPages();
    void sharesRootListing();
    void readOnlyShareClearsWriteBits();
    void linkSwappedBetweenPagesIsRefused();
    void pageIndexIsChecked();
    void secondQueryWhileBuildingStartsNoWorker();
    void nextPageAskedWhileReplyIsSent();
    void listingDroppedWhenClientStopsAsking();

    void changeNoticesFollowShares();
    void noticeUsesTheClientsName();
    void sharesChangeIsAnnounced();
    void listDrives_data();
    void listDrives();
    void unknownCommandIsDropped();
    void backedUpLinkGetsNoReplies();

private:
    QByteArray t(const char* relative = "") const { return m_root + relative; }
    QString ts(const char* relative = "") const { return QFile::decodeName(t(relative)); }
    std::vector<PeerAclDto> shares() const;
    QByteArray request(Command command, quint16 trId, const QByteArray& path,
                       const QByteArray& path2, quint32 flags) const;
    // Opens a listing and fetches all its pages.
    PageResult listAll(ServerHarness& h, const QByteArray& path, quint32 flags = 0,
                       int* pages = nullptr);
    PageResult page(ServerHarness& h, quint16 trId, quint32 index);

    QTemporaryDir m_dir;
    QByteArray m_root;
    VfsWatcher* m_watcher = nullptr;
};

void TestVfsServer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_root = QFile::encodeName(QFileInfo(m_dir.path()).canonicalFilePath());
    QDir root(ts());
    for (const char* dir : { "S/sub", "S/ro", "S/big", "S/empty", "Sx", "out/dir" })
        QVERIFY(root.mkpath(dir));
    QVERIFY(writeFile(ts("/S/a.txt"), "alpha"));
    QVERIFY(writeFile(ts("/S/sub/b.txt"), "beta"));
    QVERIFY(writeFile(ts("/S/ro/r.txt"), "read only"));
    QVERIFY(writeFile(ts("/Sx/f"), "lookalike"));
    QVERIFY(writeFile(ts("/out/secret"), "secret"));
    QVERIFY(writeFile(ts("/out/dir/deep"), "deep"));
    for (int i = 0; i < 3000; ++i)
        QVERIFY(writeFile(ts("/S/big/") + QStringLiteral("file-%1.dat").arg(i, 5, 10, QChar('0')),
                          QByteArray::number(i)));
    QCOMPARE(::symlink(t("/out").constData(), t("/S/lnk-out").constData()), 0);
    QCOMPARE(::symlink(t("/out/new").constData(), t("/S/dangling-out").constData()), 0);
    QCOMPARE(::symlink(t("/S/sub").constData(), t("/S/dirlink").constData()), 0);

    VfsWatcher::Timings timings;
    timings.notifyDelay = 10;
    timings.notifyMaxDelay = 50;
    timings.checkInterval = 3600 * 1000;
    timings.driveStartDelay = 3600 * 1000;
    timings.driveSignalDelay = 3600 * 1000;
    timings.driveActivityDelay = 3600 * 1000;
    m_watcher = new VfsWatcher(new EmptyDrivePlatform, timings);
}

void TestVfsServer::cleanupTestCase()
{
    delete m_watcher;
}

std::vector<PeerAclDto> TestVfsServer::shares() const
{
    return {
        share(kShare, "Share", ts("/S"), kRead | kWrite | kDir),
        share(kReadOnly, "Read only", ts("/S/ro"), kRead | kDir),
    };
}

QByteArray TestVfsServer::request(Command command, quint16 trId, const QByteArray& path,
                                  const QByteArray& path2, quint32 flags) const
{
    switch (command) {
    case List:
        return VfsMirkCommandWriter::listDirectoryRequest(trId, flags | VfsMirkCommand::ListWatch,
                                                          allFields(), path);
    case OpenRead:
    case OpenWrite:
    case OpenReadWrite: {
        const quint32 mode = command == OpenRead ? 1 : command == OpenWrite ? 2 : 3;
        return VfsMirkCommandWriter::openFileRequest(trId, 3, mode | flags, VfsMirkFieldMask(), 0,
                                                     0, 0, 0, path);
    }
    case OpenTimes: {
        VfsMirkFieldMask times;
        times.set(0, VfsMirkCommand::TimeModification);
        return VfsMirkCommandWriter::openFileRequest(trId, 3, VfsMirkCommand::OpenTimes, times, 0,
                                                     0, 1000000000000LL, 0, path);
    }
    case MakeDir:
        return VfsMirkCommandWriter::makeDirectoryRequest(trId, flags, VfsMirkFieldMask(), path);
    case Delete:
        return VfsMirkCommandWriter::deleteFileRequest(trId, flags, path);
    case Move:
        return VfsMirkCommandWriter::moveRequest(trId, flags, path, path2);
    }
    return QByteArray();
}

PageResult TestVfsServer::page(ServerHarness& h, quint16 trId, quint32 index)
{
    PageResult result;
    if (!h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, index))
        || !h.awaitReply(VfsMirkCommand::QueryListDirectory, trId)) {
        return result;
    }
    const VfsMirkCommand& r = *h.reply;
    result.status = r.status;
    com::TermStreamReader reader(r.entryArea, r.entryAreaLength);
    for (int i = 0; i < r.count; ++i) {
        VfsMirkListEntry entry;
        if (!entry.read(reader, VfsMirkListEntry::FieldsAll)) {
            result.status = NoReply;
            break;
        }
        result.entries.append(entry);
    }
    return result;
}

PageResult TestVfsServer::listAll(ServerHarness& h, const QByteArray& path, quint32 flags,
                                  int* pages)
{
    PageResult all;
    const quint16 trId = h.nextTrId();
    all.status = h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, flags, allFields(), path));
    if (all.status != FSO_STATUS_OK)
        return all;
    int count = 0;
    for (;;) {
        const PageResult next = page(h, trId, quint32(all.entries.size()));
        ++count;
        all.status = next.status;
        all.entries += next.entries;
        if (next.status != FSO_STATUS_OK || count > 1000)
            break;
    }
    if (pages)
        *pages = count;
    return all;
}

void TestVfsServer::shareEscapesAreRefused_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("path2");
    QTest::addColumn<quint32>("flags");

    const QByteArray u = "%shares/" + kShare.toUtf8();
    const QByteArray none;
    QTest::newRow("list /etc") << List << QByteArray("/etc") << none << 0u;
    QTest::newRow("list /") << List << QByteArray("/") << none << 0u;
    QTest::newRow("list S/../out") << List << t("/S/../out") << none << 0u;
    QTest::newRow("list Sx") << List << t("/Sx") << none << 0u;
    QTest::newRow("list parent of S") << List << t() << none << 0u;
    QTest::newRow("list %shares/u/..") << List << u + "/.." << none << 0u;
    QTest::newRow("list link out") << List << t("/S/lnk-out") << none << 0u;
    QTest::newRow("list below link out") << List << t("/S/lnk-out/dir") << none << 0u;

    QTest::newRow("read /etc/passwd") << OpenRead << QByteArray("/etc/passwd") << none << 0u;
    QTest::newRow("read out") << OpenRead << t("/out/secret") << none << 0u;
    QTest::newRow("read S/../out") << OpenRead << t("/S/../out/secret") << none << 0u;
    QTest::newRow("read Sx/f") << OpenRead << t("/Sx/f") << none << 0u;
    QTest::newRow("read %shares/u/../out") << OpenRead << u + "/../out/secret" << none << 0u;
    QTest::newRow("read S/lnk-out/f") << OpenRead << t("/S/lnk-out/secret") << none << 0u;
    QTest::newRow("read %shares/u/lnk-out/f") << OpenRead << u + "/lnk-out/secret" << none << 0u;
    QTest::newRow("write new file behind link") << OpenWrite << t("/S/lnk-out/new") << none << 0u;
    QTest::newRow("write through dangling link") << OpenWrite << t("/S/dangling-out") << none
                                                 << 0u;
    QTest::newRow("write in read-only share") << OpenWrite << t("/S/ro/new") << none << 0u;
    QTest::newRow("read-write in read-only share") << OpenReadWrite << t("/S/ro/r.txt") << none
                                                   << 0u;
    QTest::newRow("exclusive create outside") << OpenWrite << t("/out/x") << none << 0x20u;
    QTest::newRow("times in read-only share") << OpenTimes << t("/S/ro/r.txt") << none << 0u;
    QTest::newRow("times outside") << OpenTimes << t("/out/secret") << none << 0u;

    QTest::newRow("mkdir behind link") << MakeDir << t("/S/lnk-out/newdir") << none << 0u;
    QTest::newRow("mkdir outside") << MakeDir << t("/out/newdir") << none << 0u;
    QTest::newRow("mkdir in read-only share") << MakeDir << t("/S/ro/newdir") << none << 0u;

    QTest::newRow("delete /S/") << Delete << t("/S/") << none << 0u;
    QTest::newRow("delete /S//") << Delete << t("/S//") << none << 0u;
    QTest::newRow("delete /S") << Delete << t("/S") << none << 0u;
    QTest::newRow("delete /S/.") << Delete << t("/S/.") << none << 0u;
    QTest::newRow("delete %shares/u") << Delete << u << none << 0u;
    QTest::newRow("delete %shares/u/") << Delete << u + "/" << none << 0u;
    QTest::newRow("delete nested share") << Delete << t("/S/ro") << none << 0u;
    QTest::newRow("delete parent of S") << Delete << t() << none << 0u;
    QTest::newRow("delete to trash /S") << Delete << t("/S") << none << 1u;
    QTest::newRow("delete through link") << Delete << t("/S/lnk-out/secret") << none << 0u;
    QTest::newRow("delete outside") << Delete << t("/out/secret") << none << 0u;
    QTest::newRow("delete S/sub/../../out") << Delete << t("/S/sub/../../out") << none << 0u;
    QTest::newRow("delete Sx/f") << Delete << t("/Sx/f") << none << 0u;
    QTest::newRow("delete in read-only share") << Delete << t("/S/ro/r.txt") << none << 0u;

    QTest::newRow("move out of S") << Move << t("/S/a.txt") << t("/out/a.txt") << 0u;
    QTest::newRow("move into S") << Move << t("/out/secret") << t("/S/secret") << 0u;
    QTest::newRow("move via dot dot") << Move << t("/S/a.txt") << t("/S/../out/a.txt") << 0u;
    QTest::newRow("move via %shares dot dot") << Move << u + "/a.txt" << u + "/../out/a.txt" << 0u;
    QTest::newRow("move behind link") << Move << t("/S/a.txt") << t("/S/lnk-out/a.txt") << 0u;
    QTest::newRow("move share away") << Move << t("/S") << t("/S2") << 0u;
    QTest::newRow("move share inside itself") << Move << t("/S/") << t("/S/sub/S") << 0u;
    QTest::newRow("move nested share") << Move << t("/S/ro") << t("/S/ro2") << 0u;
    QTest::newRow("move onto nested share") << Move << t("/S/empty") << t("/S/ro") << 0u;
    QTest::newRow("move into read-only share") << Move << t("/S/a.txt") << t("/S/ro/a.txt") << 0u;
    QTest::newRow("move onto the share") << Move << t("/S/empty") << t("/S") << 0u;
}

void TestVfsServer::shareEscapesAreRefused()
{
    QFETCH(Command, command);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, path2);
    QFETCH(quint32, flags);

    const QMap<QString, QByteArray> before = snapshot(ts(), { "S/big" });
    ServerHarness h(VfsServerVelm::Restricted, shares());
    auto trash = std::make_shared<FakeTrash::State>();
    h.server.setTrash(std::unique_ptr<VfsTrash>(new FakeTrash(trash)));

    QCOMPARE(h.call(request(command, h.nextTrId(), path, path2, flags)),
             quint8(FSO_STATUS_NOT_PERMITTED));
    h.settle();
    QCOMPARE(h.server.openFileCount(), 0);
    QCOMPARE(h.server.listingJobCount(), 0);
    QVERIFY(trash->paths.isEmpty());
    QCOMPARE(snapshot(ts(), { "S/big" }), before);
}

void TestVfsServer::listingOutsideSharesNeitherListsNorWatches()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    const QVector<WatchItem> watchedBefore = m_watcher->watchedItems();
    const quint16 trId = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(
                 trId, VfsMirkCommand::ListWatch, allFields(), t("/out"))),
             quint8(FSO_STATUS_NOT_PERMITTED));
    // No listing was opened: a page request for it gets no answer at all.
    QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 0)));
    h.settle();
    QVERIFY(h.replies().isEmpty());
    QCOMPARE(m_watcher->watchedItems().size(), watchedBefore.size());

    // Inside, the same request lists and watches.
    QCOMPARE(listAll(h, t("/S/sub"), VfsMirkCommand::ListWatch).entries.size(), 1);
    bool watched = false;
    for (const WatchItem& item : m_watcher->watchedItems())
        watched = watched || item.path == ts("/S/sub");
    QVERIFY(watched);
}

void TestVfsServer::listDirectoryStatuses_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<quint8>("status");

    QTest::newRow("directory") << int(VfsServerVelm::Restricted) << t("/S/sub") << quint8(0);
    QTest::newRow("through link inside") << int(VfsServerVelm::Restricted) << t("/S/dirlink")
                                         << quint8(0);
    QTest::newRow("%shares/u/sub") << int(VfsServerVelm::Restricted)
                                   << "%shares/" + kShare.toUtf8() + "/sub" << quint8(0);
    QTest::newRow("file") << int(VfsServerVelm::Restricted) << t("/S/a.txt") << quint8(5);
    QTest::newRow("missing") << int(VfsServerVelm::Restricted) << t("/S/none") << quint8(3);
    QTest::newRow("not enterable") << int(VfsServerVelm::Restricted) << t("/S/empty") << quint8(4);
    QTest::newRow("own machine, anywhere") << int(VfsServerVelm::Unrestricted) << t("/out")
                                           << quint8(0);
    QTest::newRow("own machine, relative") << int(VfsServerVelm::Unrestricted)
                                           << QByteArray("out") << quint8(2);
    QTest::newRow("own machine, dot dot") << int(VfsServerVelm::Unrestricted) << t("/S/../out")
                                          << quint8(4);
}

void TestVfsServer::listDirectoryStatuses()
{
    QFETCH(int, mode);
    QFETCH(QByteArray, path);
    QFETCH(quint8, status);
    ServerHarness h(mode, shares());
    h.server.setAccessTest(permissiveAccess({ ts("/S/empty") }));
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(
                 h.nextTrId(), VfsMirkCommand::ListWantFileId | 0x08, allFields(), path)),
             status);
    QCOMPARE(h.reply->flags, quint32(VfsMirkCommand::ListWantFileId));
    QCOMPARE(h.reply->fields.value(0), quint32(VfsMirkListEntry::FieldsAll));
    if (status == 0) {
        struct stat st;
        QCOMPARE(::stat(path.startsWith('%') ? t("/S/sub").constData() : path.constData(), &st), 0);
        QCOMPARE(h.reply->fileId, quint64(st.st_ino));
    }
    QCOMPARE(h.server.listingJobCount(), status == 0 ? 1 : 0);
}

void TestVfsServer::listingPages_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("local path") << t("/S/big");
    QTest::newRow("%shares path") << "%shares/" + kShare.toUtf8() + "/big";
}

void TestVfsServer::listingPages()
{
    QFETCH(QByteArray, path);
    ServerHarness h(VfsServerVelm::Restricted, shares());
    int pages = 0;
    const PageResult all = listAll(h, path, 0, &pages);
    QCOMPARE(all.status, quint8(FSO_STATUS_COMPLETE));
    QVERIFY2(pages > 1, "3000 entries do not fit one page");
    QCOMPARE(all.entries.size(), 3000);
    QSet<QByteArray> names;
    for (int i = 0; i < all.entries.size(); ++i) {
        const VfsMirkListEntry& e = all.entries.at(i);
        names.insert(e.name);
        QCOMPARE(e.type, quint8(VfsMirkListEntry::TypeFile));
        if (i > 0)
            QVERIFY(all.entries.at(i - 1).name < e.name);
    }
    QCOMPARE(names.size(), 3000);
    const VfsMirkListEntry& first = all.entries.first();
    QCOMPARE(first.name, QByteArray("file-00000.dat"));
    QCOMPARE(first.size, quint64(1));
    QVERIFY(first.access & VfsMirkListEntry::AccessWritable);
    QVERIFY(first.inode != 0);
    QCOMPARE(first.linkCount, 1u);
    QVERIFY(first.modificationTime > 0);
    h.settle();
    QTRY_COMPARE_WITH_TIMEOUT(h.server.listingJobCount(), 0, 10000); // complete listings are dropped
}

void TestVfsServer::sharesRootListing()
{
    std::vector<PeerAclDto> list = shares();
    list.push_back(share(kDrive, "Disk", "/", kRead | kDir | VfsPathGuard::ShareDrive));
    list.push_back(share(kStar, "Everything", "*", kRead | kDir));
    ServerHarness h(VfsServerVelm::Restricted, list);
    const PageResult all = listAll(h, "%shares");
    QCOMPARE(all.status, quint8(FSO_STATUS_COMPLETE));
    QCOMPARE(all.entries.size(), 2);
    QCOMPARE(all.entries.at(0).name, QByteArray("Share"));
    QCOMPARE(all.entries.at(0).type, quint8(VfsMirkListEntry::TypeShare));
    QCOMPARE(all.entries.at(0).reference, kShare.toUtf8());
    QCOMPARE(all.entries.at(0).targetType, quint8(VfsMirkListEntry::TypeDirectory));
    QVERIFY(all.entries.at(0).access & VfsMirkListEntry::AccessWritable);
    QCOMPARE(all.entries.at(1).name, QByteArray("Read only"));
    QCOMPARE(all.entries.at(1).reference, kReadOnly.toUtf8());
    QCOMPARE(all.entries.at(1).access & VfsMirkListEntry::AccessWriteBits, 0);
}

void TestVfsServer::readOnlyShareClearsWriteBits()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    const PageResult ro = listAll(h, t("/S/ro"));
    QCOMPARE(ro.entries.size(), 1);
    QCOMPARE(ro.entries.at(0).access & VfsMirkListEntry::AccessWriteBits, 0);
    QVERIFY(ro.entries.at(0).access & VfsMirkListEntry::AccessReadable);

    // In the writable share the nested read-only share shows as read only too.
    const PageResult s = listAll(h, t("/S"));
    bool sawReadOnly = false;
    bool sawLink = false;
    for (const VfsMirkListEntry& e : s.entries) {
        if (e.name == "ro") {
            sawReadOnly = true;
            QCOMPARE(e.access & VfsMirkListEntry::AccessWriteBits, 0);
        } else if (e.name == "a.txt") {
            QVERIFY(e.access & VfsMirkListEntry::AccessWritable);
        } else if (e.name == "lnk-out") {
            sawLink = true;
            QCOMPARE(e.type, quint8(VfsMirkListEntry::TypeSymbolicLink));
            QCOMPARE(e.targetType, quint8(VfsMirkListEntry::TypeDirectory));
            QCOMPARE(e.reference, t("/out"));
        }
    }
    QVERIFY(sawReadOnly);
    QVERIFY(sawLink);
}

void TestVfsServer::linkSwappedBetweenPagesIsRefused()
{
    QTemporaryDir dir;
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    QVERIFY(QDir(root).mkpath("share/real"));
    QVERIFY(QDir(root).mkpath("outside"));
    for (int i = 0; i < 3000; ++i)
        QVERIFY(writeFile(root + QStringLiteral("/share/real/f%1").arg(i), "x"));
    const QByteArray link = QFile::encodeName(root + "/share/link");
    QCOMPARE(::symlink(QFile::encodeName(root + "/share/real").constData(), link.constData()), 0);

    ServerHarness h(VfsServerVelm::Restricted,
                    { share(kShare, "Share", root + "/share", kRead | kWrite | kDir) });
    const quint16 trId = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, allFields(), link)),
             quint8(FSO_STATUS_OK));
    const PageResult first = page(h, trId, 0);
    QCOMPARE(first.status, quint8(FSO_STATUS_OK));

    // The link now leads out of the share: the next page is refused.
    QCOMPARE(::unlink(link.constData()), 0);
    QCOMPARE(::symlink(QFile::encodeName(root + "/outside").constData(), link.constData()), 0);
    const PageResult second = page(h, trId, quint32(first.entries.size()));
    QCOMPARE(second.status, quint8(FSO_STATUS_NOT_PERMITTED));
    QVERIFY(second.entries.isEmpty());
}

void TestVfsServer::pageIndexIsChecked()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    const quint16 trId = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, allFields(), t("/S/big"))),
             quint8(0));
    const PageResult first = page(h, trId, 0);
    QCOMPARE(first.status, quint8(FSO_STATUS_OK));
    // Asking again from the start serves the same page.
    const PageResult again = page(h, trId, 0);
    QCOMPARE(again.entries.size(), first.entries.size());
    QCOMPARE(again.entries.first().name, first.entries.first().name);
    // Exactly at the end: complete, nothing more.
    const PageResult end = page(h, trId, 3000);
    QCOMPARE(end.status, quint8(FSO_STATUS_COMPLETE));
    QVERIFY(end.entries.isEmpty());

    const quint16 trId2 = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId2, 0, allFields(), t("/S/big"))),
             quint8(0));
    const PageResult beyond = page(h, trId2, 3001);
    QCOMPARE(beyond.status, quint8(FSO_STATUS_INVALID_PARAMETER));
    QVERIFY(beyond.entries.isEmpty());
    // An unknown listing gets no answer at all.
    QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(h.nextTrId(), 0xFFFFFFFFu)));
    h.settle();
    QVERIFY(h.replies().isEmpty());
}

void TestVfsServer::secondQueryWhileBuildingStartsNoWorker()
{
    QSemaphore entered;
    QSemaphore release;
    QAtomicInt building(0);
    QAtomicInt mostAtOnce(0);
    ServerHarness h(VfsServerVelm::Restricted, shares());
    h.server.setAccessTest(VfsAccessTest([&](const QByteArray&, int mode) {
        if (mode == VfsAccessTest::Read) { // once per entry, on the worker
            const int now = building.fetchAndAddOrdered(1) + 1;
            if (now > mostAtOnce.loadAcquire())
                mostAtOnce.storeRelease(now);
            entered.release();
            release.acquire();
            building.fetchAndAddOrdered(-1);
        }
        return true;
    }));
    const quint16 trId = h.nextTrId();
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, allFields(), t("/S/sub"))),
             quint8(0));
    QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 0)));
    QVERIFY(entered.tryAcquire(1, 10000)); // the worker is inside the page
    QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 0)));
    QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 1)));
    release.release(100);
    QVERIFY(h.awaitReply(VfsMirkCommand::QueryListDirectory, trId));
    QCOMPARE(h.reply->status, quint8(FSO_STATUS_COMPLETE));
    QCOMPARE(int(h.reply->count), 1);
    h.settle();
    QCOMPARE(h.replies().size(), 0); // one page only
    QCOMPARE(mostAtOnce.loadAcquire(), 1);
}

void TestVfsServer::nextPageAskedWhileReplyIsSent()
{
    // A peer on a fast link asks for the next page before the server has
    // returned from sending the last one.
    ServerHarness h(VfsServerVelm::Restricted, shares());
    const quint16 trId = h.nextTrId();
    quint32 received = 0;
    bool complete = false;
    std::unique_ptr<VfsMirkCommand> reply(new VfsMirkCommand());
    VfsMirkCommandParser parser;
    QObject::connect(&h.server, &VfsServerVelm::fsoTransmit, [&](const QByteArray& frame) {
        if (!parser.processCommand(frame, reply.get(), 3) || reply->trId != trId)
            return;
        if (reply->command == (VfsMirkCommand::QueryListDirectory | VfsMirkCommand::ReplyBit))
            received += reply->count;
        if (reply->status == FSO_STATUS_OK)
            h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, received));
        else
            complete = true;
    });
    QVERIFY(h.feed(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, allFields(), t("/S/big"))));
    QTRY_VERIFY_WITH_TIMEOUT(complete, 30000);
    QCOMPARE(received, 3000u);
    QCOMPARE(reply->status, quint8(FSO_STATUS_COMPLETE));
}

void TestVfsServer::listingDroppedWhenClientStopsAsking()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    const quint16 trId = h.nextTrId();
    // With the default timings the listing waits for its next page far
    // longer than any machine takes to ask: it is still there.
    QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(trId, 0, allFields(), t("/S/big"))),
             quint8(0));
    QCOMPARE(page(h, trId, 0).status, quint8(FSO_STATUS_OK));
    QCOMPARE(h.server.listingJobCount(), 1);
    // After a page served with short timings, it waits 20 ticks of 1 ms.
    VfsServerVelm::Timings timings;
    timings.jobTick = 1;
    timings.listingCountdown = 20;
    h.server.setTimings(timings);
    QCOMPARE(page(h, trId, 0).status, quint8(FSO_STATUS_OK));
    QTRY_COMPARE_WITH_TIMEOUT(h.server.listingJobCount(), 0, 10000);
    QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(trId, 100)));
    h.settle();
    QVERIFY(h.replies().isEmpty());
}

void TestVfsServer::changeNoticesFollowShares()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    emit m_watcher->directoryChanged(ts("/out"));
    emit m_watcher->directoryChanged(ts("/Sx"));
    emit m_watcher->directoryChanged(ts("/S/lnk-out/dir"));
    emit m_watcher->directoryChanged(ts("/S/sub"));
    emit m_watcher->directoryChanged(QStringLiteral("%drives"));
    emit m_watcher->directoryChanged(QStringLiteral("%shares"));
    h.settle();
    QCOMPARE(h.notices(), QList<QByteArray>({ t("/S/sub"), "%drives", "%shares" }));

    // The own machine hears of everything.
    ServerHarness own(VfsServerVelm::Unrestricted);
    emit m_watcher->directoryChanged(ts("/out"));
    own.settle();
    QCOMPARE(own.notices(), QList<QByteArray>({ t("/out") }));

    // Notice numbers count up.
    QCOMPARE(ServerHarness::trIdOf(h.frames.at(0)) + 1, int(ServerHarness::trIdOf(h.frames.at(1))));
}

void TestVfsServer::noticeUsesTheClientsName()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    const QByteArray name = "%shares/" + kShare.toUtf8() + "/sub";
    QCOMPARE(listAll(h, name, VfsMirkCommand::ListWatch).entries.size(), 1);
    h.frames.clear();
    emit m_watcher->directoryChanged(ts("/S/sub"));
    h.settle();
    QCOMPARE(h.notices(), QList<QByteArray>({ t("/S/sub"), name }));

    // A deletion tells of the parent as the request named it. (In a
    // directory nobody watches, so that the watcher adds nothing.)
    const QByteArray parent = "%shares/" + kShare.toUtf8() + "/unwatched";
    QVERIFY(QDir().mkpath(ts("/S/unwatched")));
    QVERIFY(writeFile(ts("/S/unwatched/gone.txt"), "x"));
    h.frames.clear();
    QCOMPARE(h.call(VfsMirkCommandWriter::deleteFileRequest(h.nextTrId(), 0,
                                                             parent + "/gone.txt")),
             quint8(0));
    QCOMPARE(h.reply->pathBytes(), parent + "/gone.txt");
    h.settle();
    QCOMPARE(h.notices(), QList<QByteArray>({ parent }));
    QVERIFY(!QFile::exists(ts("/S/unwatched/gone.txt")));
}

void TestVfsServer::sharesChangeIsAnnounced()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    h.server.setShares(shares());
    h.settle();
    QVERIFY(!h.notices().contains("%shares"));
    QVERIFY(!h.notices().contains("%drives"));
    std::vector<PeerAclDto> changed = shares();
    changed[1].flags |= kWrite;
    h.server.setShares(changed);
    h.settle();
    QCOMPARE(h.notices(), QList<QByteArray>({ "%shares", "%drives" }));
    QCOMPARE(h.server.shares(), changed);
}

void TestVfsServer::listDrives_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("drives");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("listed");
    QTest::addColumn<QByteArray>("firstRoot");

    QTest::newRow("own machine, 40 drives") << int(VfsServerVelm::Unrestricted) << 40 << 0 << 32
                                            << QByteArray("/media/d0");
    QTest::newRow("own machine, from 10") << int(VfsServerVelm::Unrestricted) << 40 << 10 << 30
                                          << QByteArray("/media/d10");
    QTest::newRow("own machine, start beyond") << int(VfsServerVelm::Unrestricted) << 5 << 9 << 0
                                               << QByteArray();
    QTest::newRow("peer sees drive shares only") << int(VfsServerVelm::Restricted) << 40 << 0 << 1
                                                 << QByteArray("/media/d3");
}

void TestVfsServer::listDrives()
{
    QFETCH(int, mode);
    QFETCH(int, drives);
    QFETCH(int, start);
    QFETCH(int, listed);
    QFETCH(QByteArray, firstRoot);

    std::vector<PeerAclDto> list = shares();
    list.push_back(share(kDrive, "Disk 3", "/media/d3/", kRead | kDir | VfsPathGuard::ShareDrive));
    // A share inside a drive, or of a drive root without the drive flag, lists no drive.
    list.push_back(share(kStar, "Inside", "/media/d4/x", kRead | kDir | VfsPathGuard::ShareDrive));
    list.push_back(share(kReadOnly, "Plain", "/media/d5", kRead | kDir));
    ServerHarness h(mode, list);
    h.server.setDriveSource([drives] {
        std::vector<DriveCache> result;
        for (int i = 0; i < drives; ++i) {
            DriveCache drive;
            drive.rootPath = "/media/d" + QByteArray::number(i);
            drive.name = QByteArray(600, 'n'); // long names: 40 of them overflow a small buffer
            drive.bytesTotal = 1000 + quint64(i);
            drive.type = DriveCache::HotPluggable;
            result.push_back(drive);
        }
        return result;
    });
    QCOMPARE(h.call(VfsMirkCommandWriter::listDrivesRequest(h.nextTrId(), 16, quint16(start))),
             quint8(0));
    QCOMPARE(int(h.reply->count), listed);
    QCOMPARE(int(h.reply->driveStart), start);
    if (listed > 0) {
        QCOMPARE(h.reply->driveRootPath(0), firstRoot);
        QCOMPARE(h.reply->driveName(0), QByteArray(600, 'n'));
        QCOMPARE(h.reply->drives[0].type, quint8(DriveCache::HotPluggable));
    }
}

void TestVfsServer::unknownCommandIsDropped()
{
    ServerHarness h(VfsServerVelm::Unrestricted);
    QSignalSpy processed(&h.server, &VfsServerVelm::processedCommand);
    // A reply frame is no request.
    QVERIFY(h.feed(VfsMirkCommandWriter::moveReply(7, 0)));
    QCOMPARE(processed.size(), 1);
    h.settle();
    QVERIFY(h.replies().isEmpty());
}

// While the link to the peer is backed up no request produces a reply and
// nothing is touched; CLOSE_FILE still frees its handle. Once the link
// drains, requests are served again.
void TestVfsServer::backedUpLinkGetsNoReplies()
{
    ServerHarness h(VfsServerVelm::Restricted, shares());
    quint16 handle = 0;
    QCOMPARE(h.open(t("/S/a.txt"), 1, &handle), quint8(FSO_STATUS_OK));
    bool backedUp = true;
    h.server.setBacklogCheck([&backedUp] { return backedUp; });
    QSignalSpy processed(&h.server, &VfsServerVelm::processedCommand);

    const QList<QByteArray> requests = {
        VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0, handle, 0, 64400),
        VfsMirkCommandWriter::hashFileRequest(h.nextTrId(), 1, handle, 4, 4096, 0),
        VfsMirkCommandWriter::listDirectoryRequest(h.nextTrId(), 0, allFields(), t("/S")),
        VfsMirkCommandWriter::listDrivesRequest(h.nextTrId(), 0, 0),
        request(OpenRead, h.nextTrId(), t("/S/sub/b.txt"), {}, 0),
        request(MakeDir, h.nextTrId(), t("/S/made-while-backed-up"), {}, 0),
        request(Delete, h.nextTrId(), t("/S/sub/b.txt"), {}, 0),
    };
    for (const QByteArray& frame : requests)
        QVERIFY(h.feed(frame));
    QCOMPARE(processed.size(), requests.size());
    h.settle();
    QVERIFY(h.replies().isEmpty());
    QCOMPARE(h.server.droppedWhileBackedUp(), quint64(requests.size()));
    QVERIFY(QFile::exists(ts("/S/sub/b.txt")));
    QVERIFY(!QFile::exists(ts("/S/made-while-backed-up")));
    QCOMPARE(h.server.openFileCount(), 1);

    QCOMPARE(h.close(handle), quint8(FSO_STATUS_OK));
    QCOMPARE(h.server.openFileCount(), 0);

    backedUp = false;
    QCOMPARE(h.open(t("/S/a.txt"), 1, &handle), quint8(FSO_STATUS_OK));
    QCOMPARE(h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 1, handle, 0, 64400)),
             quint8(FSO_STATUS_END_OF_FILE));
}

QTEST_GUILESS_MAIN(TestVfsServer)
#include "tst_vfsserver.moc"
