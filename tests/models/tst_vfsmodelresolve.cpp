#include "vfsmodeltestutil.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

using F = FakeFileSystem;
using E = VfsMirkListEntry;

// The outcomes of the resolutions, in order.
struct Outcomes
{
    explicit Outcomes(VfsModel* model)
    {
        QObject::connect(model, &VfsModel::pathResolved, &context,
                         [this](int status, const QString& path) { list.append({status, path}); });
    }
    bool waitFor(int count) { return waitUntil([&] { return list.size() >= count; }); }

    QObject context;
    QVector<QPair<int, QString>> list;
};

using Outcome = QPair<int, QString>;

QTimer* resolveTimer(VfsModel* model)
{
    return model->findChild<QTimer*>(QStringLiteral("vfsModelResolveTimer"));
}

// A watched file's reports: current path, number and registered path.
struct Found
{
    explicit Found(VfsModel* model)
    {
        QObject::connect(model, &VfsModel::foundWatchItem, &context,
                         [this](const QString& path, quint64 id, const QString& watchPath) {
                             list << QStringList{path, QString::number(id), watchPath};
                         });
    }
    QObject context;
    QList<QStringList> list;
};

E fileWithInode(const char* name, quint64 inode)
{
    E e = F::file(name, 1);
    e.inode = inode;
    return e;
}

} // namespace

class TestVfsModelResolve : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void deepPathOneAncestorAtATime();
    void outcomes_data();
    void outcomes();
    void sharesWithoutDrives();
    void watchedOnlyWithPriority_data();
    void watchedOnlyWithPriority();
    void failsAfterTenSeconds_data();
    void failsAfterTenSeconds();
    void steps_data();
    void steps();
    void driveListAskedAgainAfter30s();
    void serverRootOnBackslashPeer();
    void queues();
    void displacedPathIsNotLost();

    void watchReportsCurrentPath();
    void watchIdentitiesComparedWhole();
};

void TestVfsModelResolve::initTestCase()
{
    qRegisterMetaType<QVector<int>>();
    VfsModelFactory::install();
}

// Every missing ancestor is listed in turn, each only once the one above it
// is merged, and the target itself is listed too.
void TestVfsModelResolve::deepPathOneAncestorAtATime()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("z")};
    rig.fake->dirs["/a"].entries = {F::dir("b")};
    rig.fake->dirs["/a/b"].entries = {F::dir("c"), F::entry("x", E::TypeFile, 1, 0, E::AccessReadable)};
    rig.fake->dirs["/a/b/c"].entries = {F::dir("d")};
    rig.fake->dirs["/a/b/c/d"].entries = {F::file("leaf")};
    Outcomes outcomes(rig.model);

    QCOMPARE(rig.model->resolvePath("\\a\\b\\c\\d"), QStringLiteral("\\a\\b\\c\\d")); // separator not known yet
    QVERIFY(outcomes.waitFor(1));
    QCOMPARE(outcomes.list, (QVector<Outcome>{{0, "/a/b/c/d"}}));
    QCOMPARE(rig.fake->driveRequests, 1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->listed, (QStringList{"/", "/a", "/a/b", "/a/b/c", "/a/b/c/d"}), kWait);
    QVERIFY(rig.model->indexForPath("/a/b/c/d").isValid());
    QVERIFY(waitUntil([&] { return rig.model->rowCount(rig.model->indexForPath("/a/b/c/d")) == 1; }));

    // Known now, with the separator: converted and answered at once.
    QCOMPARE(rig.model->resolvePath("\\a\\b\\x"), QStringLiteral("/a/b/x"));
    QVERIFY(outcomes.waitFor(2));
    QCOMPARE(outcomes.list.last(), Outcome(1, "/a/b/x")); // without the execute right
}

void TestVfsModelResolve::outcomes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("listed");

    QTest::newRow("directory") << "/a" << 0 << QStringList{"/", "/a"};
    QTest::newRow("trailing separator") << "/a/" << 0 << QStringList{"/", "/a"};
    QTest::newRow("drive") << "/" << 0 << QStringList{"/"};
    QTest::newRow("not in its parent") << "/a/nope/deeper" << 1 << QStringList{"/", "/a"};
    QTest::newRow("directory without the execute right") << "/locked" << 1 << QStringList{"/"};
    QTest::newRow("below a directory without the execute right") << "/locked/x" << 1 << QStringList{"/"};
    QTest::newRow("no separator at all") << "a" << 1 << QStringList{};
}

void TestVfsModelResolve::outcomes()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QStringList, listed);

    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::entry("locked", E::TypeDirectory, 0, 0, E::AccessReadable)};
    rig.fake->dirs["/a"].entries = {F::file("f")};
    rig.fake->dirs["/locked"].entries = {F::dir("x")};
    QVERIFY(rig.loadDrives());
    Outcomes outcomes(rig.model);
    rig.model->resolvePath(path);
    QVERIFY(outcomes.waitFor(1));
    QCOMPARE(outcomes.list.first().first, status);
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->listed, listed, kWait);
}

void TestVfsModelResolve::sharesWithoutDrives()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->holdDrives = true;
    Outcomes outcomes(rig.model);
    rig.model->resolvePath("%shares");
    QVERIFY(outcomes.waitFor(1));
    QCOMPARE(outcomes.list.first(), Outcome(0, "%shares"));
    QCOMPARE(rig.fake->driveRequests, 0);
}

void TestVfsModelResolve::watchedOnlyWithPriority_data()
{
    QTest::addColumn<bool>("priority");
    QTest::addColumn<QStringList>("watched");
    QTest::newRow("normal") << false << QStringList{};
    QTest::newRow("priority") << true << QStringList{"/a", "/a/b"};
}

// The directories listed on the way to a path are watched by the server
// only for a priority resolution; a view's own listing always is.
void TestVfsModelResolve::watchedOnlyWithPriority()
{
    QFETCH(bool, priority);
    QFETCH(QStringList, watched);
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("c")};
    rig.fake->dirs["/a"].entries = {F::dir("b")};
    rig.fake->dirs["/a/b"].entries = {};
    rig.fake->dirs["/c"].entries = {};
    Outcomes outcomes(rig.model);
    rig.model->resolvePath("/a/b", priority);
    QVERIFY(outcomes.waitFor(1));
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->listed.size(), 3, kWait);
    QVERIFY(waitUntil([&] { return !rig.model->isBusy(rig.model->indexForPath("/a/b")); }));
    QCOMPARE(rig.fake->watched, watched);
    QVERIFY(rig.list(rig.model->indexForPath("/c")));
    QCOMPARE(rig.fake->watched.last(), QStringLiteral("/c"));
}

// The clock is the model's: the ten seconds pass when the test says so.
void TestVfsModelResolve::failsAfterTenSeconds_data()
{
    QTest::addColumn<QString>("waitingFor");
    QTest::newRow("an ancestor's listing") << "listing";
    QTest::newRow("the link") << "link";
    QTest::newRow("the drives") << "drives";
}

void TestVfsModelResolve::failsAfterTenSeconds()
{
    QFETCH(QString, waitingFor);
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a")};
    rig.fake->dirs["/a"].entries = {F::dir("b")};
    if (waitingFor == "listing")
        rig.fake->dirs["/a"].hold = true;
    if (waitingFor == "link")
        rig.peer->setLinkState(IPeer::LinkDown);
    if (waitingFor == "drives")
        rig.fake->holdDrives = true;
    Outcomes outcomes(rig.model);
    rig.model->resolvePath("/a/b");
    if (waitingFor == "listing")
        QTRY_COMPARE_WITH_TIMEOUT(rig.fake->heldCount(), 1, kWait);
    if (waitingFor == "drives")
        QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 1, kWait);
    // Many steps pass on the real timer without an outcome.
    QTest::qWait(200);
    QVERIFY(outcomes.list.isEmpty());
    rig.now += VfsModel::ResolveLimitMs;
    QTest::qWait(100);
    QVERIFY(outcomes.list.isEmpty()); // exactly ten seconds: not yet
    rig.now += 1;
    QVERIFY(outcomes.waitFor(1));
    QCOMPARE(outcomes.list, (QVector<Outcome>{{1, "/a/b"}}));
    QVERIFY(!resolveTimer(rig.model)->isActive());
}

// What the resolution waits for decides its next step.
void TestVfsModelResolve::steps_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("step");
    QTest::newRow("link down") << "link down" << VfsModel::ResolveWaitStepMs;
    QTest::newRow("drive list asked for") << "no drives" << VfsModel::ResolveWaitStepMs;
    QTest::newRow("drives not come") << "drives held" << VfsModel::ResolveDrivesStepMs;
    QTest::newRow("ancestor listed") << "listing held" << VfsModel::ResolveFetchStepMs;
}

void TestVfsModelResolve::steps()
{
    QFETCH(QString, state);
    QFETCH(int, step);
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a")};
    rig.fake->dirs["/a"].hold = true;
    if (state == "link down")
        rig.peer->setLinkState(IPeer::LinkDown);
    if (state == "drives held" || state == "no drives")
        rig.fake->holdDrives = true;
    rig.model->resolvePath("/a/b");
    QTimer* timer = resolveTimer(rig.model);
    QVERIFY(timer);
    if (state == "no drives") {
        // The first step asks for the drives.
        rig.model->onResolvePathTimerFired();
        QCOMPARE(timer->interval(), step);
        QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 1, kWait);
        return;
    }
    if (state == "drives held")
        QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 1, kWait);
    if (state == "listing held")
        QTRY_COMPARE_WITH_TIMEOUT(rig.fake->heldCount(), 1, kWait);
    rig.model->onResolvePathTimerFired();
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), step);
}

// With no drives shown, the resolution asks for the drive list again when
// the last request is more than 30 s old.
void TestVfsModelResolve::driveListAskedAgainAfter30s()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {}; // answers with no drives
    Outcomes outcomes(rig.model);
    const qint64 start = rig.now;
    rig.model->resolvePath("/x");
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 1, kWait);
    rig.now = start + VfsModel::ResolveLimitMs + 1;
    QVERIFY(outcomes.waitFor(1));
    QCOMPARE(outcomes.list.first().first, 1);

    rig.now = start + 25000;
    rig.model->resolvePath("/y");
    QTest::qWait(200);
    QCOMPARE(rig.fake->driveRequests, 1);
    rig.now = start + VfsModel::ResolveDriveListRetryMs + 1;
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 2, kWait);
}

void TestVfsModelResolve::serverRootOnBackslashPeer()
{
    ModelRig rig(ModelRig::FakeBackslashServer);
    rig.fake->drives = {F::drive("C:\\", "")};
    rig.fake->dirs["\\\\srv"].entries = {F::dir("media")};
    rig.fake->dirs["\\\\srv\\media"].entries = {F::file("a")};
    QVERIFY(rig.loadDrives());
    Outcomes outcomes(rig.model);
    rig.model->resolvePath("//srv/media");
    QVERIFY(outcomes.waitFor(1));
    QCOMPARE(outcomes.list.first(), Outcome(0, "\\\\srv\\media"));
    QCOMPARE(rig.model->rowCount(), 3);
    const QModelIndex server = rig.model->index(2, 0);
    QCOMPARE(server.data().toString(), QStringLiteral("srv"));
    QCOMPARE(server.data(VfsModel::PathRole).toString(), QStringLiteral("\\\\srv"));
    QCOMPARE(rig.model->index(2, VfsModel::RefColumn).data().toString(), QStringLiteral("\\\\srv"));
    QCOMPARE(server.data(VfsModel::TypeRole).toInt(), int(VfsModel::DirectoryType));
    QCOMPARE(server.data(VfsModel::OrigTypeRole).toInt(), int(VfsModel::ShareType));
    QCOMPARE(server.data(VfsModel::InfoRole).toUInt(), uint(VfsModel::ReadUser | VfsModel::ExecUser));
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->listed, (QStringList{"\\\\srv", "\\\\srv\\media"}), kWait);

    // Known now: a second resolution adds no second row.
    rig.model->resolvePath("\\\\srv\\media\\a");
    QVERIFY(outcomes.waitFor(2));
    QCOMPARE(rig.model->rowCount(), 3);
}

// One path at a time: asking for the running one again changes nothing, a
// second resolvePath puts the running one back in front of its queue,
// requestResolvePath queues behind; priority paths go first.
void TestVfsModelResolve::queues()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("b"), F::dir("c"), F::dir("p")};
    for (const char* dir : {"/a", "/b", "/c", "/p"})
        rig.fake->dirs[dir].entries = {F::file("f")};
    rig.fake->holdDrives = true; // nothing resolves until the drives come
    Outcomes outcomes(rig.model);

    rig.model->resolvePath("/a");
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 1, kWait);
    rig.model->resolvePath("/a"); // the running one: nothing changes
    QCOMPARE(rig.model->requestResolvePath("/c"), QStringLiteral("/c"));
    rig.model->resolvePath("/p", true);
    rig.model->resolvePath("/b"); // displaces the priority path
    rig.fake->releaseHeld();
    QVERIFY(outcomes.waitFor(4));
    QCOMPARE(outcomes.list, (QVector<Outcome>{{0, "/b"}, {0, "/p"}, {0, "/a"}, {0, "/c"}}));
    QTest::qWait(100);
    QCOMPARE(outcomes.list.size(), 4);
}

// A path displaced while the queue already holds the new one still gets an
// answer.
void TestVfsModelResolve::displacedPathIsNotLost()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("b")};
    rig.fake->holdDrives = true;
    Outcomes outcomes(rig.model);
    rig.model->resolvePath("/a");
    QTRY_COMPARE_WITH_TIMEOUT(rig.fake->driveRequests, 1, kWait);
    rig.model->requestResolvePath("/b");
    rig.model->resolvePath("/b");
    rig.fake->releaseHeld();
    QVERIFY(waitUntil([&] {
        QStringList paths;
        for (const Outcome& o : outcomes.list)
            paths << o.second;
        return paths.contains("/a") && paths.contains("/b");
    }));
    for (const Outcome& o : outcomes.list)
        QCOMPARE(o.first, 0);
}

// ---------------------------------------------------------------------------

void TestVfsModelResolve::watchReportsCurrentPath()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root"), F::drive("/media/usb", "USB")};
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("b")};
    rig.fake->dirs["/a"].entries = {fileWithInode("moved", 77), fileWithInode("other", 78)};
    rig.fake->dirs["/b"].entries = {};
    const QPersistentModelIndex a = rig.reach("/a");
    QVERIFY(a.isValid());
    Found found(rig.model);

    rig.model->startWatching("/old/place", 0);         // no number: ignored
    rig.model->startWatching("relative/x", 77);        // under no top-level row: ignored
    rig.model->startWatching("/old/place", 77);
    QVERIFY(rig.list(a));
    QCOMPARE(found.list, (QList<QStringList>{{"/a/moved", "77", "/old/place"}}));

    // Registered again under a new path: the new path is reported.
    rig.model->startWatching("/new/place", 77);
    rig.model->stopWatching("/old/place", 77); // not its path: stays
    rig.fake->dirs["/a"].entries = {fileWithInode("other", 78)};
    rig.fake->dirs["/b"].entries = {fileWithInode("renamed", 77)};
    rig.now += 60000;
    QVERIFY(rig.list(a));
    QVERIFY(rig.list(rig.model->indexForPath("/b")));
    QCOMPARE(found.list.size(), 2);
    QCOMPARE(found.list.last(), (QStringList{"/b/renamed", "77", "/new/place"}));

    // A file on a drive mounted below "/" is reached, and registered,
    // through "/".
    rig.fake->dirs["/"].entries = {F::dir("a"), F::dir("b"), F::dir("media")};
    rig.fake->dirs["/media"].entries = {F::dir("usb")};
    rig.fake->dirs["/media/usb"].entries = {fileWithInode("photo", 90)};
    rig.model->startWatching("/media/usb/photo", 90);
    const QPersistentModelIndex usb = rig.reach("/media/usb");
    QVERIFY(usb.isValid());
    QVERIFY(rig.list(usb));
    QCOMPARE(found.list.last(), (QStringList{"/media/usb/photo", "90", "/media/usb/photo"}));

    rig.model->stopWatching("/new/place", 77);
    rig.now += 60000;
    QVERIFY(rig.list(rig.model->indexForPath("/b")));
    QCOMPARE(found.list.size(), 3);
}

// A watched file is one drive's file of one number: neither a file of
// another drive with the same number, nor one whose number differs only in
// the high bits, is taken for it.
void TestVfsModelResolve::watchIdentitiesComparedWhole()
{
    ModelRig rig(ModelRig::FakeBackslashServer);
    rig.fake->drives = {F::drive("C:\\", ""), F::drive("D:\\", "")};
    // A number with high bits that a drive tag packed into the top 16 bits
    // would hide.
    const quint64 tagBits = quint64(qHash(QStringLiteral("C:"), 0) & 0xFFFF);
    QVERIFY(tagBits != 0);
    const quint64 high = (tagBits << 48) | 5;
    rig.fake->dirs["C:\\"].entries = {fileWithInode("watched", 5), fileWithInode("high", high)};
    rig.fake->dirs["D:\\"].entries = {fileWithInode("same-number", 5)};
    QVERIFY(rig.loadDrives());
    Found found(rig.model);
    rig.model->startWatching("C:\\watched", 5);
    QVERIFY(rig.list(rig.model->indexForPath("D:")));
    QVERIFY(found.list.isEmpty());
    QVERIFY(rig.list(rig.model->indexForPath("C:")));
    QCOMPARE(found.list, (QList<QStringList>{{"C:\\watched", "5", "C:\\watched"}}));
}

QTEST_GUILESS_MAIN(TestVfsModelResolve)
#include "tst_vfsmodelresolve.moc"
