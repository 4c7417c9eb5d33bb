// The file model's preview queue: several loads at once, never more than its
// limit; the rows a view asks for last load first; and a result lands only
// on the file it was made for.
#include "vfsmodeltestutil.h"

#include "models/vfspreviewcache.h"
#include "support/gatedpreview.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

using F = FakeFileSystem;
using E = VfsMirkListEntry;

// The own machine's directory "/d" with the given files, listed and shown.
struct ShownRig : ModelRig
{
    explicit ShownRig(std::vector<E> entries) : ModelRig(FakeServer)
    {
        fake->drives = {F::drive("/", "root")};
        fake->dirs["/"].entries = {F::dir("d")};
        fake->dirs["/d"].entries = std::move(entries);
        d = reach("/d");
        ok = d.isValid() && list(d);
        model->retainEntry("/d");
    }
    QPersistentModelIndex row(int r) const { return model->index(r, 0, d); }
    QImage preview(int r) const { return row(r).data(VfsModel::PreviewSizeRole).isValid()
                                             ? row(r).data(VfsModel::PreviewRole).value<QImage>()
                                             : QImage(); }
    QPersistentModelIndex d;
    bool ok = false;
};

std::vector<E> photos(int count, qint64 mtime = 5000)
{
    static std::vector<QByteArray> names;
    std::vector<E> out;
    for (int i = 0; i < count; ++i) {
        names.push_back(QStringLiteral("p%1.png").arg(i, 2, 10, QLatin1Char('0')).toLatin1());
        out.push_back(F::file(names.back().constData(), 100, mtime));
    }
    return out;
}

} // namespace

class TestVfsModelPreviewQueue : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void severalLoadsAtOnceWithinTheLimit();
    void newestRequestFirst();
    void resultForALeftFolderDropped();
    void resultLandsOnItsOwnFile_data();
    void resultLandsOnItsOwnFile();
};

void TestVfsModelPreviewQueue::initTestCase()
{
    // Room on the pool for more loads than any limit below, so that a queue
    // that started too many would have them run.
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(std::max(pool->maxThreadCount(), 8));
}

// Ten files, at most three loads at once: three run together, and as each
// one ends the next takes its place until the queue is empty.
void TestVfsModelPreviewQueue::severalLoadsAtOnceWithinTheLimit()
{
    GatedPreview preview;
    ShownRig rig(photos(10));
    GateOpener opener{ preview };
    QVERIFY(rig.ok);
    rig.model->setPreviewLoadLimit(3);
    for (int r = 0; r < 10; ++r)
        QVERIFY(!rig.row(r).data(VfsModel::PreviewRole).isValid());
    QVERIFY(waitUntil([&] { return preview.inside() == 3; }));
    QCOMPARE(rig.model->previewLoadsRunning(), 3);
    for (int k = 1; k <= 10; ++k) {
        preview.pass();
        QVERIFY(waitUntil([&] { return preview.done() == k; }));
        const int left = std::min(3, 10 - k);
        QVERIFY2(waitUntil([&] { return preview.inside() == left && rig.model->previewLoadsRunning() == left; }),
                 qPrintable(QStringLiteral("after %1 loads: %2 inside").arg(k).arg(preview.inside())));
    }
    QCOMPARE(preview.mostInside(), 3);
    QCOMPARE(preview.started().size(), 10);
    for (int r = 0; r < 10; ++r)
        QVERIFY(waitUntil([&] { return !rig.preview(r).isNull(); }));
}

// One load at a time. The first screen asks for rows 0 to 5, the view
// scrolls and asks for rows 8 to 11, then row 2 is painted again: the rows
// asked for last go first, the rest of the first screen after them.
void TestVfsModelPreviewQueue::newestRequestFirst()
{
    GatedPreview preview;
    ShownRig rig(photos(12));
    GateOpener opener{ preview };
    QVERIFY(rig.ok);
    rig.model->setPreviewLoadLimit(1);
    for (int r = 0; r <= 5; ++r)
        rig.row(r).data(Qt::DecorationRole);
    QVERIFY(waitUntil([&] { return preview.inside() == 1; }));
    for (int r = 8; r <= 11; ++r)
        rig.row(r).data(VfsModel::PreviewRole);
    rig.row(2).data(Qt::DecorationRole);
    // A layout measuring every row asks for nothing.
    for (int r = 0; r < 12; ++r)
        QVERIFY(!rig.row(r).data(VfsModel::PreviewSizeRole).isValid());
    for (int k = 1; k <= 10; ++k) {
        preview.pass();
        QVERIFY(waitUntil([&] { return preview.done() == k; }));
    }
    QCOMPARE(preview.started(), QStringList({ "p05.png", "p02.png", "p11.png", "p10.png", "p09.png", "p08.png",
                                               "p04.png", "p03.png", "p01.png", "p00.png" }));
    QVERIFY(waitUntil([&] { return rig.model->previewLoadsRunning() == 0; }));
    QCOMPARE(preview.started().size(), 10); // rows 6 and 7 were never asked for
    QVERIFY(rig.preview(6).isNull());
}

// The folder is left while its file loads: the result is not kept, the row
// does not change, and the next view that shows the folder asks again.
void TestVfsModelPreviewQueue::resultForALeftFolderDropped()
{
    GatedPreview preview;
    ShownRig rig(photos(1));
    GateOpener opener{ preview };
    QVERIFY(rig.ok);
    const QPersistentModelIndex a = rig.row(0);
    a.data(VfsModel::PreviewRole);
    QVERIFY(waitUntil([&] { return preview.inside() == 1; }));
    rig.model->releaseEntry("/d");
    QSignalSpy changes(rig.model, &QAbstractItemModel::dataChanged);
    preview.open();
    QVERIFY(waitUntil([&] { return rig.model->previewLoadsRunning() == 0; }));
    QVERIFY(changes.isEmpty());
    QVERIFY(!VfsPreviewCache::instance().contains(rig.model, a.internalPointer()));
    QVERIFY(!a.data(VfsModel::PreviewSizeRole).isValid());

    rig.model->retainEntry("/d");
    QSignalSpy asked(rig.model, &VfsModel::noPreviewCached);
    a.data(VfsModel::PreviewRole);
    QCOMPARE(asked.count(), 1);
    QVERIFY(waitUntil([&] { return a.data(VfsModel::PreviewSizeRole).isValid(); }));
    QCOMPARE(preview.started().size(), 2);
    QCOMPARE(a.data(VfsModel::PreviewRole).value<QImage>().pixelColor(0, 0), colourFor("p00.png", 5000));
}

// The folder's listing changes while a file loads. The images shown and
// kept are always those of the file as it is now, on its own row.
void TestVfsModelPreviewQueue::resultLandsOnItsOwnFile_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("file changed") << 0;
    QTest::newRow("file gone, another came") << 1;
    QTest::newRow("the row above it gone") << 2;
}

void TestVfsModelPreviewQueue::resultLandsOnItsOwnFile()
{
    QFETCH(int, change);
    GatedPreview preview;
    std::vector<E> before = { F::file("a.png", 100, 5000) };
    if (change == 2)
        before.insert(before.begin(), F::file("0.txt", 100, 5000));
    ShownRig rig(before);
    GateOpener opener{ preview };
    QVERIFY(rig.ok);
    const QPersistentModelIndex a = rig.model->indexForPath("/d/a.png");
    QCOMPARE(a.row(), change == 2 ? 1 : 0);
    a.data(VfsModel::PreviewRole);
    QVERIFY(waitUntil([&] { return preview.inside() == 1; }));

    switch (change) {
    case 0:
        rig.fake->dirs["/d"].entries = { F::file("a.png", 100, 6000) };
        break;
    case 1: // the new file may take the memory of the one gone
        rig.fake->dirs["/d"].entries = { F::file("b.png", 100, 5000) };
        break;
    default:
        rig.fake->dirs["/d"].entries = { F::file("a.png", 100, 5000) };
        break;
    }
    rig.now += 60000;
    QVERIFY(rig.list(rig.d));
    preview.open();
    QVERIFY(waitUntil([&] { return preview.done() == int(preview.started().size()); }));
    QVERIFY(waitUntil([&] { return rig.model->previewLoadsRunning() == 0; }));

    switch (change) {
    case 0:
        // Loaded again for the new time; the old images never showed.
        QVERIFY(waitUntil([&] { return a.data(VfsModel::PreviewSizeRole).isValid(); }));
        QCOMPARE(preview.mtimes(), QList<qint64>({ 5000, 6000 }));
        QCOMPARE(a.data(VfsModel::PreviewRole).value<QImage>().pixelColor(0, 0), colourFor("a.png", 6000));
        break;
    case 1: {
        const QModelIndex b = rig.model->indexForPath("/d/b.png");
        QVERIFY(b.isValid());
        QVERIFY(!a.isValid());
        QVERIFY(!b.data(VfsModel::PreviewSizeRole).isValid());
        QVERIFY(!VfsPreviewCache::instance().contains(rig.model, b.internalPointer()));
        QCOMPARE(preview.started(), QStringList({ "a.png" }));
        break;
    }
    default: {
        QCOMPARE(rig.model->rowCount(rig.d), 1);
        QCOMPARE(a.row(), 0);
        QVERIFY(waitUntil([&] { return a.data(VfsModel::PreviewSizeRole).isValid(); }));
        QCOMPARE(a.data(VfsModel::PreviewRole).value<QImage>().pixelColor(0, 0), colourFor("a.png", 5000));
        QCOMPARE(preview.started(), QStringList({ "a.png" }));
        break;
    }
    }
}

QTEST_MAIN(TestVfsModelPreviewQueue)
#include "tst_vfsmodelpreviewqueue.moc"
