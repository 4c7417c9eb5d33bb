#include "vfsmodeltestutil.h"

#include "crypto/crypto.h"
#include "peer/peertestutil.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <set>

namespace {

using F = FakeFileSystem;
using E = VfsMirkListEntry;

bool writeFile(const QString& path, int size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'x')) == size;
}

QString number(const char* prefix, int i)
{
    return QStringLiteral("%1-%2").arg(QLatin1String(prefix)).arg(i, 4, 10, QChar('0'));
}

// Row ranges inserted or removed below one parent.
struct RowLog
{
    RowLog(QAbstractItemModel* model, const QModelIndex& parent)
    {
        const QPersistentModelIndex p(parent);
        QObject::connect(model, &QAbstractItemModel::rowsInserted, &context,
                         [this, p](const QModelIndex& at, int first, int last) {
                             if (at == p)
                                 inserted.append({first, last});
                         });
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, &context,
                         [this, p](const QModelIndex& at, int first, int last) {
                             if (at == p)
                                 removed.append({first, last});
                         });
    }
    int insertedRows() const
    {
        int n = 0;
        for (const auto& r : inserted)
            n += r.second - r.first + 1;
        return n;
    }

    QObject context;
    QVector<QPair<int, int>> inserted;
    QVector<QPair<int, int>> removed;
};

// The roles of every dataChanged for one index.
QVector<QVector<int>> rolesChanged(const QSignalSpy& spy, const QModelIndex& index)
{
    QVector<QVector<int>> out;
    for (const QList<QVariant>& args : spy) {
        const QModelIndex from = args.at(0).toModelIndex();
        if (from.row() == index.row() && from.parent() == index.parent() && from.internalPointer() == index.internalPointer())
            out << args.at(2).value<QVector<int>>();
    }
    return out;
}

// Every row in the tree, depth first, through one PathWalk (whose parent
// changes at every step down and back up) against PathRole; the number of
// rows compared.
int pathWalkMismatches(VfsModel* model, int* compared)
{
    VfsModel::PathWalk walk(model);
    int mismatches = 0;
    std::function<void(const QModelIndex&)> visit = [&](const QModelIndex& parent) {
        for (int row = 0; row < model->rowCount(parent); ++row) {
            const QModelIndex index = model->index(row, 0, parent);
            const QString expected = index.data(VfsModel::PathRole).toString();
            const QString walked = walk.pathOf(index);
            ++*compared;
            if (walked != expected) {
                qWarning("walked path %s, PathRole %s", qUtf8Printable(walked), qUtf8Printable(expected));
                ++mismatches;
            }
            visit(index);
        }
    };
    visit(QModelIndex());
    return mismatches;
}

} // namespace

Q_DECLARE_METATYPE(VfsMirkListEntry)

class TestVfsModel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    // Top level and drives.
    void sharesRootAndDrives();
    void driveRowsInTree_data();
    void driveRowsInTree();
    void vanishedDriveStaysInTree();
    void driveListAtMostEvery20s_data();
    void driveListAtMostEvery20s();
    void drivesNoticeSkipsThePause();

    // Fetching rules.
    void canFetchMoreRules_data();
    void canFetchMoreRules();
    void fetchPause_data();
    void fetchPause();
    void linkDownFetchesNothing_data();
    void linkDownFetchesNothing();

    // Merge.
    void slicesOf300();
    void removalOnlyAfterLastSlice();
    void changedEntryKeepsRow_data();
    void changedEntryKeepsRow();
    void failedListingKeepsRows();
    void entryTypes_data();
    void entryTypes();
    void sharesMatchedByReference();
    void linkWithNewTargetIsNewEntry();
    void duplicateNameInOneListing();
    void sequenceNumbersDoNotComeRound();
    void noPreviewCached_data();
    void noPreviewCached();

    // Change notices.
    void changeNoticeRelists();
    void changeNoticeWhileBusyDoesNothing();

    // Paths.
    void pathsOnSlashPeer();
    void pathsOnBackslashPeer();

    // Lifetime and wiring.
    void consistentForModelTester();
    void destroyedWithRequestsOut();
    void ownPeerThroughItsOwnLink();
};

void TestVfsModel::initTestCase()
{
    qRegisterMetaType<QVector<int>>();
    qRegisterMetaType<QList<QPersistentModelIndex>>();
    qRegisterMetaType<QAbstractItemModel::LayoutChangeHint>();
    VfsModelFactory::install();
}

// ---------------------------------------------------------------------------

void TestVfsModel::sharesRootAndDrives()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root"), F::drive("/media/usb", "USB stick", 64000000000ull,
                                                          DriveCache::HotPluggable)};
    VfsModel* m = rig.model;
    QCOMPARE(m->rowCount(), 1);
    QCOMPARE(m->columnCount(), 14);
    const QModelIndex shares = m->index(0, 0);
    QCOMPARE(shares.data().toString(), qtTrId("place-shares"));
    QCOMPARE(shares.data(VfsModel::PathRole).toString(), QStringLiteral("%shares"));
    QCOMPARE(shares.data(VfsModel::TypeRole).toInt(), int(VfsModel::DirectoryType));
    QCOMPARE(shares.data(VfsModel::OrigTypeRole).toInt(), int(VfsModel::ShareType));
    QCOMPARE(shares.data(VfsModel::InfoRole).toUInt(), uint(VfsModel::ExecUser));
    QVERIFY(m->hasChildren(shares));
    QVERIFY(m->canFetchMore(QModelIndex()));

    QVERIFY(rig.loadDrives());
    QTRY_COMPARE_WITH_TIMEOUT(m->rowCount(), 3, kWait);
    QCOMPARE(rig.names(QModelIndex()), (QStringList{qtTrId("place-shares"), "root", "USB stick"}));
    const QModelIndex root = m->index(1, 0);
    QCOMPARE(root.data(VfsModel::TypeRole).toInt(), int(VfsModel::DriveType));
    QCOMPARE(root.data(VfsModel::PathRole).toString(), QStringLiteral("/"));
    QCOMPARE(root.data(VfsModel::InfoRole).toUInt(), uint(28672));
    QCOMPARE(root.data(VfsModel::SizeRole).toULongLong(), 500000000000ull);
    QCOMPARE(root.data(VfsModel::MimeRole).toString(), QStringLiteral("application/vnd.velm.drive"));
    QCOMPARE(m->pathSeparator(), QChar('/'));
    QCOMPARE(rig.driveModel->rowCount(), 2);
    // The drives are there: the top level has nothing more to fetch.
    QVERIFY(!m->canFetchMore(QModelIndex()));
}

void TestVfsModel::driveRowsInTree_data()
{
    QTest::addColumn<bool>("backslash");
    QTest::addColumn<QVector<DriveCache>>("drives");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QChar>("separator");

    const QString shares = qtTrId("place-shares");
    QTest::newRow("letters in order, SMB by share and server")
        << true
        << QVector<DriveCache>{F::drive("C:\\", ""), F::drive("E:\\", "Data"),
                               F::drive("D:\\", "\\\\srv\\media", 1000, DriveCache::Type(2))}
        << QStringList{shares, qtTrId("drive-local-disk").arg("C:"), "media (\\\\srv) (D:)",
                       qtTrId("drive-local-disk").arg("E:")}
        << QChar('\\');
    QTest::newRow("SMB name without parts")
        << true << QVector<DriveCache>{F::drive("Z:\\", "\\\\", 1000, DriveCache::Type(2))}
        << QStringList{shares, "Z:"} << QChar('\\');
    QTest::newRow("slash peer")
        << false << QVector<DriveCache>{F::drive("/", "root"), F::drive("/media/usb", "USB")}
        << QStringList{shares, "root", "USB"} << QChar('/');
}

void TestVfsModel::driveRowsInTree()
{
    QFETCH(bool, backslash);
    QFETCH(QVector<DriveCache>, drives);
    QFETCH(QStringList, rows);
    QFETCH(QChar, separator);

    ModelRig rig(backslash ? ModelRig::FakeBackslashServer : ModelRig::FakeServer);
    rig.fake->drives.assign(drives.begin(), drives.end());
    QVERIFY(rig.loadDrives());
    QTRY_COMPARE_WITH_TIMEOUT(rig.model->rowCount(), rows.size(), kWait);
    QCOMPARE(rig.names(QModelIndex()), rows);
    QCOMPARE(rig.model->pathSeparator(), separator);
}

void TestVfsModel::vanishedDriveStaysInTree()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root"), F::drive("/media/usb", "USB")};
    QVERIFY(rig.loadDrives());
    QTRY_COMPARE_WITH_TIMEOUT(rig.model->rowCount(), 3, kWait);
    rig.fake->drives = {F::drive("/", "root")};
    rig.link.sendToClient(VfsMirkCommandWriter::directoryChangedNotice(1, "%drives"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.driveModel->rowCount(), 1, kWait);
    QCOMPARE(rig.model->rowCount(), 3);
}

void TestVfsModel::driveListAtMostEvery20s_data()
{
    QTest::addColumn<qint64>("later");
    QTest::addColumn<bool>("fetches");
    QTest::newRow("at once") << qint64(0) << false;
    QTest::newRow("19999 ms") << qint64(19999) << false;
    QTest::newRow("20000 ms") << qint64(20000) << true;
    QTest::newRow("a minute") << qint64(60000) << true;
}

// The peer has no drives yet: the top level holds only the shares root and
// keeps asking, but not more often than every 20 s.
void TestVfsModel::driveListAtMostEvery20s()
{
    QFETCH(qint64, later);
    QFETCH(bool, fetches);

    ModelRig rig(ModelRig::FakeServer);
    QSignalSpy back(&rig.client, &VfsClient::listDrivesUpdate);
    QVERIFY(rig.model->canFetchMore(QModelIndex()));
    rig.model->fetchMore(QModelIndex());
    QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, kWait);
    QCoreApplication::sendPostedEvents(rig.model, QEvent::MetaCall);
    QCOMPARE(rig.model->rowCount(), 1);

    rig.now += later;
    QCOMPARE(rig.model->canFetchMore(QModelIndex()), fetches);
    rig.model->fetchMore(QModelIndex());
    QCOMPARE(rig.client.pendingJobs(), fetches ? 1 : 0);
}

void TestVfsModel::drivesNoticeSkipsThePause()
{
    ModelRig rig(ModelRig::FakeServer);
    QSignalSpy back(&rig.client, &VfsClient::listDrivesUpdate);
    rig.model->fetchMore(QModelIndex());
    QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, kWait);
    QCoreApplication::sendPostedEvents(rig.model, QEvent::MetaCall);

    // Within the pause, a change of the drive list is asked for at once.
    rig.fake->drives = {F::drive("/", "root")};
    rig.link.sendToClient(VfsMirkCommandWriter::directoryChangedNotice(1, "%drives"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.model->rowCount(), 2, kWait);
    QCOMPARE(rig.fake->driveRequests, 2);

    // Not while the link is down.
    rig.peer->setLinkState(IPeer::LinkDown);
    rig.model->onDirectoryChanged(QStringLiteral("%drives"));
    QCOMPARE(rig.client.pendingJobs(), 0);
}

// ---------------------------------------------------------------------------

void TestVfsModel::canFetchMoreRules_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("startListing");
    QTest::addColumn<bool>("fetchable");
    QTest::newRow("directory") << "/d/ok" << false << true;
    QTest::newRow("directory without ExecUser") << "/d/closed" << false << false;
    QTest::newRow("file") << "/d/f" << false << false;
    QTest::newRow("directory being listed") << "/d/held" << true << false;
    QTest::newRow("drive") << "/" << false << true;
    QTest::newRow("shares root") << "%shares" << false << true;
}

void TestVfsModel::canFetchMoreRules()
{
    QFETCH(QString, path);
    QFETCH(bool, startListing);
    QFETCH(bool, fetchable);

    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {F::dir("ok"), F::entry("closed", E::TypeDirectory, 0, 0, E::AccessReadable),
                                    F::file("f"), F::dir("held")};
    rig.fake->dirs["/d/held"].hold = true;
    QVERIFY(rig.reach("/d/f").isValid());
    rig.now += 60000; // long after every listing

    const QModelIndex index = rig.model->indexForPath(path);
    QVERIFY(index.isValid());
    if (startListing) {
        rig.model->fetchMore(index);
        QVERIFY(rig.model->isBusy(index));
    }
    QCOMPARE(rig.model->canFetchMore(index), fetchable);
}

void TestVfsModel::fetchPause_data()
{
    QTest::addColumn<qint64>("later");
    QTest::addColumn<bool>("fetchable");
    QTest::newRow("at once") << qint64(0) << false;
    QTest::newRow("3 s") << qint64(3000) << false;
    QTest::newRow("3999 ms") << qint64(3999) << false;
    QTest::newRow("4 s") << qint64(4000) << true;
    QTest::newRow("a minute") << qint64(60000) << true;
}

void TestVfsModel::fetchPause()
{
    QFETCH(qint64, later);
    QFETCH(bool, fetchable);

    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {F::file("f")};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid());
    QVERIFY(rig.model->canFetchMore(d)); // never listed
    QVERIFY(rig.list(d));
    QCOMPARE(rig.names(d), QStringList{"f"});

    rig.now += later;
    QCOMPARE(rig.model->canFetchMore(d), fetchable);
}

void TestVfsModel::linkDownFetchesNothing_data()
{
    QTest::addColumn<IPeer::LinkState>("state");
    QTest::addColumn<int>("layoutChanges"); // going there
    QTest::newRow("down") << IPeer::LinkDown << 1;
    QTest::newRow("reachable") << IPeer::LinkReachable << 0;
    QTest::newRow("connecting") << IPeer::LinkConnecting << 0;
}

void TestVfsModel::linkDownFetchesNothing()
{
    QFETCH(IPeer::LinkState, state);
    QFETCH(int, layoutChanges);

    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {F::file("f")};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid());
    const QPersistentModelIndex drive = rig.model->indexForPath("/");
    const QPersistentModelIndex shares = rig.model->indexForPath("%shares");
    rig.now += 60000;
    QVERIFY(rig.model->canFetchMore(d));
    const int requests = rig.link.requestCount();

    QSignalSpy layout(rig.model, &QAbstractItemModel::layoutChanged);
    rig.peer->setLinkState(state);
    QCOMPARE(layout.count(), layoutChanges);
    for (const QModelIndex& index : {QModelIndex(), QModelIndex(d), QModelIndex(drive), QModelIndex(shares)})
        QVERIFY(!rig.model->canFetchMore(index));
    rig.model->fetchMore(d);
    rig.model->fetchMore(drive);
    rig.model->fetchMore(QModelIndex());
    rig.model->onDirectoryChanged(QStringLiteral("/d"));
    rig.model->onDirectoryChanged(QStringLiteral("%drives"));
    QVERIFY(!rig.model->isBusy(d));
    QVERIFY(!rig.model->isBusy(drive));
    QCOMPARE(rig.client.pendingJobs(), 0);
    QCOMPARE(rig.link.requestCount(), requests);

    // Up again: the views are told to ask again, and may.
    rig.peer->setLinkState(IPeer::LinkUp);
    QCOMPARE(layout.count(), layoutChanges + 1);
    QVERIFY(rig.model->canFetchMore(d));
}

// ---------------------------------------------------------------------------

void TestVfsModel::slicesOf300()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(QDir(tmp.path()).mkdir("list"));
    quint64 sum = 0;
    for (int i = 0; i < 1000; ++i) {
        QVERIFY(writeFile(tmp.filePath("list/" + number("f", i)), i % 10));
        sum += quint64(i % 10);
    }
    ModelRig rig;
    const QPersistentModelIndex dir = rig.reach(tmp.filePath("list"));
    QVERIFY(dir.isValid());
    RowLog log(rig.model, dir);
    QSignalSpy changed(rig.model, &QAbstractItemModel::dataChanged);

    QVERIFY(rig.list(dir));
    const QVector<QPair<int, int>> slices{{0, 299}, {300, 599}, {600, 899}, {900, 999}};
    QCOMPARE(log.inserted, slices);
    QVERIFY(log.removed.isEmpty());
    QCOMPARE(rig.model->rowCount(dir), 1000);
    QCOMPARE(dir.data(VfsModel::ChildSizeRole).toULongLong(), sum);
    QCOMPARE(rolesChanged(changed, dir), QVector<QVector<int>>{{VfsModel::ChildSizeRole}});
    const QModelIndex some = rig.model->indexForPath(tmp.filePath("list/" + number("f", 567)));
    QVERIFY(some.isValid());
    QCOMPARE(some.parent(), QModelIndex(dir));
    QCOMPARE(some.data(VfsModel::SizeRole).toULongLong(), quint64(7));
    QCOMPARE(some.data(VfsModel::TypeRole).toInt(), int(VfsModel::FileType));
    QVERIFY(rig.model->hasChildren(dir));
}

// 100 files go and 600 come: the 1500 records merge in five slices, and the
// 100 rows go only once the last record is merged.
void TestVfsModel::removalOnlyAfterLastSlice()
{
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkdir("list"));
    const QString list = tmp.filePath("list");
    for (int i = 0; i < 1000; ++i)
        QVERIFY(writeFile(list + '/' + number("f", i), 1));
    ModelRig rig;
    const QPersistentModelIndex dir = rig.reach(list);
    QVERIFY(dir.isValid());
    QVERIFY(rig.list(dir));
    QCOMPARE(rig.model->rowCount(dir), 1000);

    for (int i = 0; i < 100; ++i)
        QVERIFY(QFile::remove(list + '/' + number("f", i)));
    for (int i = 0; i < 600; ++i)
        QVERIFY(writeFile(list + '/' + number("g", i), 1));

    auto present = [&](const char* prefix, int from, int to) {
        for (int i = from; i < to; ++i) {
            if (!rig.model->indexForPath(list + '/' + number(prefix, i)).isValid())
                return false;
        }
        return true;
    };
    RowLog log(rig.model, dir);
    bool vanishedKeptWhileMerging = true;
    int rowsAtFirstRemoval = -1;
    bool allNewAtFirstRemoval = false;
    QObject context;
    connect(rig.model, &QAbstractItemModel::rowsInserted, &context, [&](const QModelIndex& at) {
        if (at == dir)
            vanishedKeptWhileMerging &= present("f", 0, 100);
    });
    connect(rig.model, &QAbstractItemModel::rowsAboutToBeRemoved, &context, [&](const QModelIndex& at) {
        if (at == dir && rowsAtFirstRemoval < 0) {
            rowsAtFirstRemoval = rig.model->rowCount(dir);
            allNewAtFirstRemoval = present("g", 0, 600);
        }
    });

    QVERIFY(rig.list(dir));
    QVERIFY(vanishedKeptWhileMerging);
    QCOMPARE(rowsAtFirstRemoval, 1600);
    QVERIFY(allNewAtFirstRemoval);
    QCOMPARE(log.insertedRows(), 600);
    QVERIFY(log.inserted.size() <= 5);
    for (const auto& block : log.inserted)
        QVERIFY(block.second - block.first < 300);
    QCOMPARE(rig.model->rowCount(dir), 1500);
    QVERIFY(!present("f", 0, 1) && !present("f", 99, 100));
    QVERIFY(present("f", 100, 1000) && present("g", 0, 600));
}

void TestVfsModel::changedEntryKeepsRow_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QVector<QVector<int>>>("roles");
    QTest::newRow("nothing") << "none" << QVector<QVector<int>>{};
    QTest::newRow("size") << "size" << QVector<QVector<int>>{{VfsModel::SizeRole}};
    QTest::newRow("modification time")
        << "mtime" << QVector<QVector<int>>{{VfsModel::MtimeStringRole, VfsModel::MtimeRole}};
    QTest::newRow("mode") << "mode" << QVector<QVector<int>>{{VfsModel::InfoRole}};
}

void TestVfsModel::changedEntryKeepsRow()
{
    QFETCH(QString, change);
    QFETCH(QVector<QVector<int>>, roles);

    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkdir("list"));
    const QString list = tmp.filePath("list");
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        QVERIFY(writeFile(list + '/' + name, 10));
    ModelRig rig;
    const QPersistentModelIndex dir = rig.reach(list);
    QVERIFY(dir.isValid() && rig.list(dir));
    const QPersistentModelIndex b = rig.model->indexForPath(list + "/b.txt");
    QVERIFY(b.isValid());
    const int row = b.row();

    QFile file(list + "/b.txt");
    QVERIFY(file.open(QIODevice::ReadWrite));
    const QDateTime mtime = file.fileTime(QFileDevice::FileModificationTime);
    if (change == "size") {
        QVERIFY(file.resize(20));
        QVERIFY(file.setFileTime(mtime, QFileDevice::FileModificationTime));
    } else if (change == "mtime") {
        QVERIFY(file.setFileTime(mtime.addSecs(-3600), QFileDevice::FileModificationTime));
    } else if (change == "mode") {
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner));
    }
    file.close();

    RowLog log(rig.model, dir);
    QSignalSpy changed(rig.model, &QAbstractItemModel::dataChanged);
    QVERIFY(rig.list(dir));
    QVERIFY(b.isValid());
    QCOMPARE(b.row(), row);
    QVERIFY(log.inserted.isEmpty() && log.removed.isEmpty());
    QCOMPARE(rolesChanged(changed, b), roles);
    for (const QList<QVariant>& args : changed) {
        QCOMPARE(args.at(0).toModelIndex().column(), 0);
        QCOMPARE(args.at(1).toModelIndex().column(), 13);
    }
    if (change == "size")
        QCOMPARE(b.data(VfsModel::SizeRole).toULongLong(), quint64(20));
    QVERIFY(QFile::setPermissions(list + "/b.txt", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
}

// The second page of the listing is refused: the directory keeps what the
// last good listing showed, and may be listed again after the pause.
void TestVfsModel::failedListingKeepsRows()
{
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkdir("list"));
    const QString list = tmp.filePath("list");
    const QString longName = QStringLiteral("a-file-with-a-name-long-enough-to-need-pages-");
    for (int i = 0; i < 3000; ++i)
        QVERIFY(writeFile(list + '/' + number(qPrintable(longName), i), 1));
    ModelRig rig;
    const QPersistentModelIndex dir = rig.reach(list);
    QVERIFY(dir.isValid() && rig.list(dir));
    const QStringList before = rig.names(dir);
    QCOMPARE(before.size(), 3000);

    for (int i = 0; i < 100; ++i)
        QVERIFY(QFile::remove(list + '/' + number(qPrintable(longName), i)));
    for (int i = 0; i < 50; ++i)
        QVERIFY(writeFile(list + '/' + number("g", i), 1));
    int refused = 0;
    rig.link.setRequestHook([&](const VfsMirkCommand& request) {
        if (request.command != VfsMirkCommand::QueryListDirectory || request.index == 0)
            return false;
        ++refused;
        VfsMirkListPageWriter writer(request.trId, FSO_STATUS_NOT_PERMITTED, request.index, E::FieldsAll);
        rig.link.sendToClient(writer.finish());
        return true;
    });
    RowLog log(rig.model, dir);
    QSignalSpy failed(&rig.client, &VfsClient::listDirectoryUpdate);
    rig.now += 10000;
    QVERIFY(rig.model->canFetchMore(dir));
    QVERIFY(rig.list(dir));
    QCOMPARE(refused, 1);
    QCOMPARE(failed.count(), 1);
    QVERIFY(log.inserted.isEmpty() && log.removed.isEmpty());
    QCOMPARE(rig.names(dir), before);
    // A failed listing also waits for the pause before a view asks again.
    QVERIFY(!rig.model->canFetchMore(dir));
    rig.now += 3999;
    QVERIFY(!rig.model->canFetchMore(dir));
    rig.now += 1;
    QVERIFY(rig.model->canFetchMore(dir));

    rig.link.setRequestHook(nullptr);
    QVERIFY(rig.list(dir));
    QCOMPARE(rig.model->rowCount(dir), 2950);
}

void TestVfsModel::entryTypes_data()
{
    QTest::addColumn<E>("record");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("origType");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<QString>("mime");
    QTest::addColumn<bool>("hidden");
    const QString dirMime = QStringLiteral("application/x-directory");
    // Files take their MIME type from their names (the file is remote).
    QTest::newRow("file") << F::file("f.txt", 12) << int(VfsModel::FileType) << int(VfsModel::FileType)
                          << quint64(12) << QStringLiteral("text/plain") << false;
    QTest::newRow("directory") << F::entry("d", E::TypeDirectory, 4096) << int(VfsModel::DirectoryType)
                               << int(VfsModel::DirectoryType) << quint64(0) << dirMime << false;
    E linkToDir = F::link("l", "/t", E::TypeDirectory);
    linkToDir.size = 7;
    QTest::newRow("link to a directory") << linkToDir << int(VfsModel::DirectoryType)
                                         << int(VfsModel::SymlinkType) << quint64(0) << dirMime << false;
    E linkToFile = F::link("lf.png", "/t/f", E::TypeFile);
    linkToFile.size = 5;
    QTest::newRow("link to a file") << linkToFile << int(VfsModel::FileType) << int(VfsModel::SymlinkType)
                                    << quint64(5) << QStringLiteral("image/png") << false;
    QTest::newRow("hidden file") << F::entry(".h.txt", E::TypeFile | E::TypeHidden, 3) << int(VfsModel::FileType)
                                 << int(VfsModel::FileType) << quint64(3) << QStringLiteral("text/plain") << true;
}

void TestVfsModel::entryTypes()
{
    QFETCH(E, record);
    QFETCH(int, type);
    QFETCH(int, origType);
    QFETCH(quint64, size);
    QFETCH(QString, mime);
    QFETCH(bool, hidden);

    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    record.modificationTime = 1600000000000;
    record.inode = 77;
    rig.fake->dirs["/"].entries = {record};
    QVERIFY(rig.loadDrives());
    const QModelIndex drive = rig.model->indexForPath("/");
    QVERIFY(rig.list(drive));
    QCOMPARE(rig.model->rowCount(drive), 1);
    const QModelIndex e = rig.model->index(0, 0, drive);
    QCOMPARE(e.data().toString(), QString::fromUtf8(record.name));
    QCOMPARE(e.data(VfsModel::TypeRole).toInt(), type);
    QCOMPARE(e.data(VfsModel::OrigTypeRole).toInt(), origType);
    QCOMPARE(e.data(VfsModel::SizeRole).toULongLong(), size);
    QCOMPARE(e.data(VfsModel::MimeRole).toString(), mime);
    QCOMPARE(e.data(VfsModel::HiddenRole).toBool(), hidden);
    QCOMPARE(e.data(VfsModel::IdRole).toULongLong(), quint64(77));
    QCOMPARE(e.data(VfsModel::MtimeRole).toDateTime(), QDateTime::fromMSecsSinceEpoch(1600000000000));
    QVERIFY(!e.data(VfsModel::AtimeRole).toDateTime().isValid());
    QCOMPARE(rig.model->hasChildren(e), type == int(VfsModel::DirectoryType));
    // What cannot list children says so in its flags, as does every column
    // but the first; a drive and a directory never do.
    QCOMPARE(bool(e.flags() & Qt::ItemNeverHasChildren), type != int(VfsModel::DirectoryType));
    QVERIFY(rig.model->index(0, VfsModel::SizeColumn, drive).flags() & Qt::ItemNeverHasChildren);
    QVERIFY(!(drive.flags() & Qt::ItemNeverHasChildren));
    QCOMPARE(e.data(VfsModel::PathRole).toString(), "/" + QString::fromUtf8(record.name));
}

// Two shares of one name are told apart by their reference, which is also
// their part of a path.
void TestVfsModel::sharesMatchedByReference()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->dirs["%shares"].entries = {F::share("Photos", "{aaaa}"), F::share("Photos", "{bbbb}")};
    rig.fake->dirs["%shares/{bbbb}"].entries = {F::file("x.jpg")};
    const QPersistentModelIndex shares = rig.model->indexForPath("%shares");
    QVERIFY(rig.list(shares));
    QCOMPARE(rig.names(shares), (QStringList{"Photos", "Photos"}));
    const QPersistentModelIndex a = rig.model->indexForPath("%shares/{aaaa}");
    const QPersistentModelIndex b = rig.model->indexForPath("%shares/{bbbb}");
    QVERIFY(a.isValid() && b.isValid() && a != b);
    QCOMPARE(b.data(VfsModel::TypeRole).toInt(), int(VfsModel::DirectoryType));
    QCOMPARE(b.data(VfsModel::OrigTypeRole).toInt(), int(VfsModel::ShareType));
    QCOMPARE(b.data(VfsModel::PathRole).toString(), QStringLiteral("%shares/{bbbb}"));
    QVERIFY(rig.list(b));
    QCOMPARE(rig.fake->listed.last(), QStringLiteral("%shares/{bbbb}"));
    QVERIFY(rig.model->indexForPath("%shares/{bbbb}/x.jpg").isValid());
    // Shares are named by their reference in a path, also in a walk.
    int compared = 0;
    QCOMPARE(pathWalkMismatches(rig.model, &compared), 0);
    QVERIFY(compared >= 4);

    rig.fake->dirs["%shares"].entries = {F::share("Photos", "{bbbb}")};
    QVERIFY(rig.list(shares));
    QVERIFY(!a.isValid());
    QVERIFY(b.isValid());
    QCOMPARE(rig.model->rowCount(b), 1);
}

void TestVfsModel::linkWithNewTargetIsNewEntry()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::link("l", "/a", E::TypeDirectory), F::file("f")};
    QVERIFY(rig.loadDrives());
    const QPersistentModelIndex drive = rig.model->indexForPath("/");
    QVERIFY(rig.list(drive));
    const QPersistentModelIndex oldLink = rig.model->indexForPath("/l");
    const QPersistentModelIndex f = rig.model->indexForPath("/f");
    QVERIFY(oldLink.isValid() && f.isValid());

    rig.fake->dirs["/"].entries = {F::link("l", "/b", E::TypeDirectory), F::file("f")};
    RowLog log(rig.model, drive);
    QVERIFY(rig.list(drive));
    QVERIFY(!oldLink.isValid());
    QVERIFY(f.isValid());
    QCOMPARE(log.insertedRows(), 1);
    QCOMPARE(log.removed.size(), 1);
    QCOMPARE(rig.names(drive), (QStringList{"f", "l"}));
}

void TestVfsModel::duplicateNameInOneListing()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::file("a", 1), F::file("a", 9), F::file("b", 2)};
    QVERIFY(rig.loadDrives());
    const QPersistentModelIndex drive = rig.model->indexForPath("/");
    QSignalSpy changed(rig.model, &QAbstractItemModel::dataChanged);
    QVERIFY(rig.list(drive));
    QCOMPARE(rig.names(drive), (QStringList{"a", "b"}));
    QCOMPARE(rig.model->indexForPath("/a").data(VfsModel::SizeRole).toULongLong(), quint64(1));
    QCOMPARE(drive.data(VfsModel::ChildSizeRole).toULongLong(), quint64(3));
    QVERIFY(rolesChanged(changed, rig.model->indexForPath("/a")).isEmpty());
}

// An entry remembers the number of the last listing that held it. After 255
// listings of another directory the number comes back in a one-byte count,
// and a vanished entry would look as if the listing still held it.
void TestVfsModel::sequenceNumbersDoNotComeRound()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("b")};
    rig.fake->dirs["/a"].entries = {F::file("x"), F::file("y")};
    rig.fake->dirs["/b"].entries = {F::file("z")};
    const QPersistentModelIndex a = rig.reach("/a");
    const QPersistentModelIndex b = rig.model->indexForPath("/b");
    QVERIFY(a.isValid() && b.isValid());
    QVERIFY(rig.list(a));
    QCOMPARE(rig.names(a), (QStringList{"x", "y"}));
    for (int i = 0; i < 255; ++i)
        QVERIFY2(rig.list(b), qPrintable(QString::number(i)));
    rig.fake->dirs["/a"].entries = {F::file("y")};
    QVERIFY(rig.list(a));
    QCOMPARE(rig.names(a), QStringList{"y"});
}

void TestVfsModel::noPreviewCached_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("emitted");
    const QString own = ownPeerUuid();
    QTest::newRow("image of a shown directory") << own << true << QByteArray("photo.JPG") << true;
    QTest::newRow("directory not shown") << own << false << QByteArray("photo.jpg") << false;
    QTest::newRow("not an image") << own << true << QByteArray("notes.txt") << false;
    QTest::newRow("another peer with zeros in front")
        << QStringLiteral("{0000abcd-0000-4000-8000-000000000001}") << true << QByteArray("photo.jpg") << false;
}

void TestVfsModel::noPreviewCached()
{
    QFETCH(QString, uuid);
    QFETCH(bool, shown);
    QFETCH(QByteArray, name);
    QFETCH(bool, emitted);

    ModelRig rig(ModelRig::FakeServer, uuid);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("pics")};
    rig.fake->dirs["/pics"].entries = {F::file(name.constData(), 100, 1000), F::file("other.jpg", 1, 1000)};
    const QPersistentModelIndex pics = rig.reach("/pics");
    QVERIFY(pics.isValid() && rig.list(pics));
    if (shown)
        rig.model->retainEntry("/pics");

    rig.fake->dirs["/pics"].entries = {F::file(name.constData(), 100, 2000), F::file("other.jpg", 1, 1000)};
    QSignalSpy outdated(rig.model, &VfsModel::noPreviewCached);
    QVERIFY(rig.list(pics));
    QCOMPARE(outdated.count(), emitted ? 1 : 0);
    if (emitted)
        QCOMPARE(outdated.at(0).at(0).toModelIndex(), rig.model->indexForPath("/pics/" + QString(name)));

    // Released: no longer shown.
    rig.model->releaseEntry("/pics");
    rig.fake->dirs["/pics"].entries = {F::file(name.constData(), 100, 3000), F::file("other.jpg", 1, 1000)};
    QVERIFY(rig.list(pics));
    QCOMPARE(outdated.count(), emitted ? 1 : 0);
}

// ---------------------------------------------------------------------------

void TestVfsModel::changeNoticeRelists()
{
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkdir("list"));
    const QString list = tmp.filePath("list");
    QVERIFY(writeFile(list + "/a.txt", 1) && writeFile(list + "/b.txt", 1));
    ModelRig rig;
    const QPersistentModelIndex dir = rig.reach(list);
    QVERIFY(dir.isValid() && rig.list(dir));
    QCOMPARE(rig.model->rowCount(dir), 2);
    QVERIFY(!rig.model->canFetchMore(dir)); // a view would wait; a notice does not

    QVERIFY(QFile::remove(list + "/b.txt"));
    QVERIFY(writeFile(list + "/c.txt", 1));
    rig.link.sendToClient(VfsMirkCommandWriter::directoryChangedNotice(1, list.toUtf8()));
    QTRY_COMPARE_WITH_TIMEOUT(rig.names(dir), (QStringList{"a.txt", "c.txt"}), kWait);

    // A notice for a directory that is not in the tree lists nothing.
    rig.model->onDirectoryChanged(tmp.filePath("elsewhere"));
    QCOMPARE(rig.client.pendingJobs(), 0);
}

void TestVfsModel::changeNoticeWhileBusyDoesNothing()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {F::file("f")};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid());
    rig.fake->dirs["/d"].hold = true;
    rig.model->fetchMore(d);
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->heldCount(), 1, kWait);

    rig.model->onDirectoryChanged(QStringLiteral("/d"));
    QCOMPARE(rig.client.pendingJobs(), 1);
    rig.fake->dirs["/d"].hold = false;
    rig.fake->releaseHeld();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.model->isBusy(d), kWait);
    QCOMPARE(rig.fake->listed.count("/d"), 1);
    QCOMPARE(rig.names(d), QStringList{"f"});
}

// ---------------------------------------------------------------------------

void TestVfsModel::pathsOnSlashPeer()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root"), F::drive("/media/usb", "USB")};
    rig.fake->dirs["/"].entries = {F::dir("media"), F::dir("home")};
    rig.fake->dirs["/media"].entries = {F::dir("usb"), F::dir("usb2")};
    rig.fake->dirs["/media/usb"].entries = {F::file("x")};
    const QPersistentModelIndex usb = rig.reach("/media/usb");
    QVERIFY(usb.isValid() && rig.list(usb));

    // Drives mounted in the tree are reached through "/", not through
    // their own row.
    QVERIFY(usb.parent().isValid());
    QCOMPARE(usb.parent().data().toString(), QStringLiteral("media"));
    const QModelIndex x = rig.model->indexForPath("/media/usb/x");
    QVERIFY(x.isValid());
    QCOMPARE(x.parent(), QModelIndex(usb));
    QCOMPARE(x.data(VfsModel::PathRole).toString(), QStringLiteral("/media/usb/x"));
    QCOMPARE(rig.model->pathForIndex(x), QStringLiteral("/media/usb/x"));
    QCOMPARE(rig.model->indexForPath("\\media\\usb\\x"), x); // the other separator
    QCOMPARE(rig.model->indexForPath("/media/usb/x/"), x);
    QVERIFY(rig.model->indexForPath("/media/usb2").isValid());
    QVERIFY(!rig.model->indexForPath("/media/usb2/x").isValid());
    QVERIFY(!rig.model->indexForPath("/med").isValid());
    QVERIFY(!rig.model->indexForPath("/media/us").isValid());
    QVERIFY(!rig.model->indexForPath("").isValid());
    QCOMPARE(rig.model->indexForPath("/"), rig.model->index(1, 0));
    QCOMPARE(rig.fake->listed, (QStringList{"/", "/media", "/media/usb"}));
    // A walk over many rows builds the same paths, also right below "/".
    int compared = 0;
    QCOMPARE(pathWalkMismatches(rig.model, &compared), 0);
    QVERIFY(compared >= 8);
}

void TestVfsModel::pathsOnBackslashPeer()
{
    ModelRig rig(ModelRig::FakeBackslashServer);
    rig.fake->drives = {F::drive("C:\\", "")};
    rig.fake->dirs["C:\\"].entries = {F::dir("Users")};
    rig.fake->dirs["C:\\Users"].entries = {F::file("a.txt")};
    QVERIFY(rig.loadDrives());
    QCOMPARE(rig.model->pathSeparator(), QChar('\\'));
    const QPersistentModelIndex c = rig.model->indexForPath("C:");
    QVERIFY(c.isValid());
    QVERIFY(rig.list(c));
    QCOMPARE(rig.fake->listed.last(), QStringLiteral("C:\\")); // the drive's root
    const QPersistentModelIndex users = rig.model->indexForPath("C:/Users");
    QVERIFY(users.isValid());
    QCOMPARE(users, QPersistentModelIndex(rig.model->indexForPath("C:\\Users")));
    QCOMPARE(users.data(VfsModel::PathRole).toString(), QStringLiteral("C:\\Users"));
    QVERIFY(rig.list(users));
    QCOMPARE(rig.fake->listed.last(), QStringLiteral("C:\\Users"));
    QVERIFY(rig.model->indexForPath("C:\\Users\\a.txt").isValid());
    int compared = 0;
    QCOMPARE(pathWalkMismatches(rig.model, &compared), 0);
    QVERIFY(compared >= 4);
}

// ---------------------------------------------------------------------------

// Qt's model checker watches every signal while the tree fills, changes and
// shrinks, and fetches by itself what it may. It walks the whole tree at
// every signal, so the tree stays small.
void TestVfsModel::consistentForModelTester()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->pageEntries = 40;
    rig.fake->drives = {F::drive("/", "root"), F::drive("/media/usb", "USB")};
    std::vector<E> many;
    for (int i = 0; i < 320; ++i)
        many.push_back(F::file(qPrintable(number("f", i)), quint64(i)));
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("b"), F::file("f")};
    rig.fake->dirs["/a"].entries = many;
    rig.fake->dirs["/b"].entries = {F::dir("c"), F::file("g")};
    rig.fake->dirs["/b/c"].entries = {F::file("h")};
    rig.fake->dirs["%shares"].entries = {F::share("S", "{cccc}")};
    rig.fake->dirs["%shares/{cccc}"].entries = {F::file("s")};

    QAbstractItemModelTester tester(rig.model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QVERIFY(rig.loadDrives());
    const QPersistentModelIndex a = rig.reach("/a");
    QVERIFY(a.isValid() && rig.list(a));
    QVERIFY(rig.list(rig.model->indexForPath("/b")));
    QVERIFY(rig.list(rig.model->indexForPath("/b/c")));
    QCOMPARE(rig.model->rowCount(a), 320);

    // Some files go (alone and in a run), some change, new ones come, and a
    // directory with children goes.
    std::vector<E> fewer;
    for (int i = 0; i < 320; ++i) {
        if ((i < 20 && i % 2 == 0) || (i >= 100 && i < 110))
            continue;
        fewer.push_back(F::file(qPrintable(number("f", i)), quint64(i >= 200 && i < 205 ? i + 1 : i)));
    }
    for (int i = 0; i < 10; ++i)
        fewer.push_back(F::file(qPrintable(number("n", i))));
    rig.fake->dirs["/a"].entries = fewer;
    rig.fake->dirs["/"].entries = {F::dir("a"), F::file("f")};
    QVERIFY(rig.list(a));
    QCOMPARE(rig.model->rowCount(a), 310);
    QVERIFY(rig.list(rig.model->indexForPath("/")));
    QVERIFY(!rig.model->indexForPath("/b").isValid());
    QVERIFY(!rig.model->indexForPath("/b/c").isValid());
    QCOMPARE(rig.names(rig.model->indexForPath("/")), (QStringList{"a", "f"}));
}

// The models go while a drive list and a listing are out; the answers that
// come later find nothing of them (the sanitizers watch).
void TestVfsModel::destroyedWithRequestsOut()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {F::file("f")};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid());

    rig.fake->holdDrives = true;
    rig.fake->dirs["/d"].hold = true;
    rig.now += 60000;
    rig.model->onDirectoryChanged(QStringLiteral("%drives"));
    rig.model->fetchMore(d);
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->heldCount(), 2, kWait);
    QSignalSpy back(&rig.client, &VfsClient::listDrivesUpdate);

    rig.peer.reset();
    QCOMPARE(rig.client.pendingJobs(), 1); // the listing left, the drive list waits
    rig.fake->dirs["/d"].hold = false;
    rig.fake->releaseHeld();
    QTRY_COMPARE_WITH_TIMEOUT(back.count(), 1, kWait);
    QCOMPARE(rig.client.pendingJobs(), 0);
}

void TestVfsModel::ownPeerThroughItsOwnLink()
{
    Crypto crypto;
    QVERIFY(crypto.isInitialised());
    FakePeerHost host;
    PeerVelm peer(PeerDto{ownPeerUuid(), QStringLiteral("velm"), QDateTime::currentDateTime()}, 60391, &host);
    QTemporaryDir tmp;
    QVERIFY(writeFile(tmp.filePath("one"), 1) && writeFile(tmp.filePath("two"), 2));
    const QByteArray root = QFile::encodeName(tmp.path());
    peer.server()->setDriveSource([root] { return std::vector<DriveCache>{F::drive(root.constData(), "tmp")}; });

    auto* model = qobject_cast<VfsModel*>(peer.vfsFileSystemModel());
    QVERIFY(model);
    QVERIFY(qobject_cast<VfsDriveModel*>(peer.vfsDriveModel()));
    QCOMPARE(model->peer(), &peer);
    QVERIFY(model->canFetchMore(QModelIndex()));
    model->fetchMore(QModelIndex());
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(), 2, kWait);
    const QPersistentModelIndex drive = model->index(1, 0);
    QCOMPARE(drive.data(VfsModel::PathRole).toString(), tmp.path());
    model->fetchMore(drive);
    QTRY_COMPARE_WITH_TIMEOUT(model->rowCount(drive), 2, kWait);
    QTRY_VERIFY_WITH_TIMEOUT(!model->isBusy(drive), kWait);
    QStringList names;
    for (int row = 0; row < 2; ++row)
        names << model->index(row, 0, drive).data().toString();
    names.sort();
    QCOMPARE(names, (QStringList{"one", "two"}));
    QThreadPool::globalInstance()->waitForDone();
}

QTEST_GUILESS_MAIN(TestVfsModel)
#include "tst_vfsmodel.moc"
