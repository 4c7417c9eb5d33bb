#include "nodeviewtestutil.h"

#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "nodeview/noderelations.h"
#include "peer/peermodel.h"

#include <QAbstractListModel>
#include <QDir>
#include <QSignalSpy>

Q_DECLARE_METATYPE(QVector<NodeRelations::Node>)

namespace {
// Drives that arrive all in one insertion, as a model may deliver them.
class BatchDrives : public QAbstractListModel
{
public:
    struct Drive
    {
        QString path;
        QString name;
        quint64 bytesTotal;
        QString iconName;
    };
    int rowCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : m_drives.size();
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        const Drive& drive = m_drives.at(index.row());
        switch (role) {
        case VfsDriveModel::PathRole:
            return drive.path;
        case VfsDriveModel::NameRole:
            return drive.name;
        case VfsDriveModel::BytesTotalRole:
            return QVariant::fromValue<quint64>(drive.bytesTotal);
        case VfsDriveModel::IconNameRole:
            return drive.iconName;
        default:
            return QVariant();
        }
    }
    void insert(const QVector<Drive>& drives)
    {
        beginInsertRows(QModelIndex(), m_drives.size(), m_drives.size() + drives.size() - 1);
        m_drives += drives;
        endInsertRows();
    }

private:
    QVector<Drive> m_drives;
};

NodeRelations::Node node(const char* type, const char* path, const char* peer = "p")
{
    return NodeRelations::Node{ QLatin1String(type), QLatin1String(peer), QString::fromUtf8(path), true };
}
} // namespace

class TestNodeLayout : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void relations_data();
    void relations();
    void relationsOnItems();
    void nodeWithoutParentShowsPeerName_data();
    void nodeWithoutParentShowsPeerName();

    void rescale();
    void emptySectorNeverGrows();

    void visitorMarksUnreachableAndFound();
    void visitorFollowsRenamedDirectory();
    void visitorSkipsPeerWithoutLink();
    void driveBatchRefreshesEveryDrive();

private:
    QVector<GuiNode*> visitUntil(GuiNode* node, int visits);
    std::unique_ptr<NodeViewFixture> f;
};

void TestNodeLayout::init()
{
    // The tests call the visitor themselves.
    NodeView::setDefaultVisitorIntervalMs(24 * 3600 * 1000);
    GuiNode::setSaveDelayMs(50);
}

void TestNodeLayout::cleanup()
{
    f.reset();
    NodeView::setDefaultVisitorIntervalMs(5000);
    GuiNode::setSaveDelayMs(5000);
}

void TestNodeLayout::relations_data()
{
    QTest::addColumn<QVector<NodeRelations::Node>>("nodes");
    QTest::addColumn<int>("index");       // the node looked at
    QTest::addColumn<int>("parent");      // -1: none
    QTest::addColumn<bool>("hasChildren");
    QTest::addColumn<bool>("indirect");
    QTest::addColumn<int>("depth");

    const QVector<NodeRelations::Node> homeA{ node("directory", "/home/a"), node("directory", "/home/a/b/c") };
    QTest::newRow("/home/a/b/c hangs from /home/a, indirect") << homeA << 1 << 0 << false << true << 2;
    QTest::newRow("/home/a has children") << homeA << 0 << -1 << true << false << 1;
    QTest::newRow("/data under the drive /") << QVector<NodeRelations::Node>{ node("drive", "/"), node("directory", "/data") }
                                             << 1 << 0 << false << false << 1;
    const QVector<NodeRelations::Node> data2{ node("directory", "/data"), node("directory", "/data2/x") };
    QTest::newRow("/data2/x not under /data") << data2 << 1 << -1 << false << false << 1;
    QTest::newRow("/data has no child /data2/x") << data2 << 0 << -1 << false << false << 1;
    QTest::newRow("drive /media/usb holds not /media/usb2/x")
        << QVector<NodeRelations::Node>{ node("drive", "/media/usb"), node("directory", "/media/usb2/x") } << 1 << -1
        << false << false << 1;
    QTest::newRow("a lettered drive without separator")
        << QVector<NodeRelations::Node>{ node("drive", "C:"), node("directory", "C:\\Users\\me") } << 1 << 0 << false
        << true << 1;
    QTest::newRow("a backslash drive root")
        << QVector<NodeRelations::Node>{ node("drive", "D:\\"), node("directory", "D:\\work") } << 1 << 0 << false
        << false << 1;
    QTest::newRow("a backslash drive has children")
        << QVector<NodeRelations::Node>{ node("drive", "D:\\"), node("directory", "D:\\work") } << 0 << -1 << true
        << false << 1;
    QTest::newRow("the peer node when nothing else holds it")
        << QVector<NodeRelations::Node>{ node("peer", "%"), node("directory", "/srv") } << 1 << 0 << false << false
        << 1;
    QTest::newRow("a drive wins over the peer node")
        << QVector<NodeRelations::Node>{ node("peer", "%"), node("drive", "/"), node("directory", "/srv") } << 2 << 1
        << false << false << 1;
    QTest::newRow("the deepest holder wins")
        << QVector<NodeRelations::Node>{ node("drive", "/"), node("directory", "/a/b"), node("directory", "/a"),
                                         node("file", "/a/b/f.txt") }
        << 3 << 1 << false << false << 3;
    QTest::newRow("another peer's directory is no parent")
        << QVector<NodeRelations::Node>{ node("directory", "/a", "p"), node("directory", "/a/b", "q") } << 1 << -1
        << false << false << 1;
    QTest::newRow("a file holds nothing")
        << QVector<NodeRelations::Node>{ node("file", "/a"), node("directory", "/a/b") } << 1 << -1 << false << false
        << 1;
    QTest::newRow("case counts") << QVector<NodeRelations::Node>{ node("directory", "/Data"), node("directory", "/data/x") }
                                 << 1 << -1 << false << false << 1;
}

void TestNodeLayout::relations()
{
    QFETCH(QVector<NodeRelations::Node>, nodes);
    QFETCH(int, index);
    QFETCH(int, parent);
    QFETCH(bool, hasChildren);
    QFETCH(bool, indirect);
    QFETCH(int, depth);
    const QVector<NodeRelations::Relation> relations = NodeRelations::compute(nodes);
    QCOMPARE(relations.size(), nodes.size());
    const NodeRelations::Relation& r = relations.at(index);
    QVERIFY(r.placed);
    QCOMPARE(r.parent, parent);
    QCOMPARE(r.hasChildren, hasChildren);
    QCOMPARE(r.indirect, indirect);
    QCOMPARE(r.depth, depth);
}

// The relations as the node items show them.
void TestNodeLayout::relationsOnItems()
{
    f.reset(new NodeViewFixture);
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto a = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/home/a"), 1100, 1100));
    const VNodeDto c = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/home/a/b/c"), 1200, 1200));
    const VNodeDto x = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/home/a2/x"), 1300, 1300));
    f->start();
    QQuickItem* itemA = f->node(sector, a.uuid)->item();
    QQuickItem* itemC = f->node(sector, c.uuid)->item();
    QQuickItem* itemX = f->node(sector, x.uuid)->item();
    QCOMPARE(itemC->property("parentDir").value<QQuickItem*>(), itemA);
    QCOMPARE(itemC->property("indirect").toBool(), true);
    QCOMPARE(itemC->property("dirDepth").toInt(), 2);
    QCOMPARE(itemA->property("hasChildren").toBool(), true);
    QCOMPARE(itemA->property("parentDir").value<QQuickItem*>(), static_cast<QQuickItem*>(nullptr));
    QCOMPARE(itemX->property("parentDir").value<QQuickItem*>(), static_cast<QQuickItem*>(nullptr));
    QCOMPARE(f->node(sector, c.uuid)->parentNode, f->node(sector, a.uuid));
    QVERIFY(f->node(sector, c.uuid)->item()->property("peer").value<QObject*>());
}

void TestNodeLayout::nodeWithoutParentShowsPeerName_data()
{
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("shown");
    QTest::newRow("display name") << "Cellar server" << "Cellar server";
    QTest::newRow("no display name: the name") << "" << "srv";
    QTest::newRow("markup stays text") << "<b>srv</b>" << "<b>srv</b>";
}

void TestNodeLayout::nodeWithoutParentShowsPeerName()
{
    QFETCH(QString, displayName);
    QFETCH(QString, shown);
    f.reset(new NodeViewFixture);
    RigPeer* server = f->rig->addPeer(QStringLiteral("srv"));
    server->setDisplayName(displayName);
    f->rig->storePeer(server->uuid());
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/srv/music"),
                                                         1100, 1100, server->uuid()));
    f->start();
    QQuickItem* item = f->node(sector, dir.uuid)->item();
    QCOMPARE(item->property("peerName").toString(), shown);
    auto* info = item->findChild<QQuickItem*>(QStringLiteral("infoLabel"));
    QVERIFY(info);
    QCOMPARE(info->property("text").toString(), shown);
    QCOMPARE(info->property("textFormat").toInt(), 0); // Text.PlainText

    // A new name of the peer reaches the node.
    server->setDisplayName(QString());
    server->setName(QStringLiteral("renamed"));
    QCOMPARE(item->property("peerName").toString(), QStringLiteral("renamed"));
}

// Nodes spanning 100 x 100 in 4096 x 4096 leave the page as it is; a box
// 2100 wide makes the content the box plus 2048 on each side, and every
// node keeps its place on the screen.
void TestNodeLayout::rescale()
{
    f.reset(new NodeViewFixture);
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto a = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/a"), 1100, 1100));
    const VNodeDto b = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), QStringLiteral("/b"), 1200, 1200));
    f->start();
    NodeView* view = f->view();
    QQuickItem* page = view->sectorPage(sector);
    QQuickItem* itemA = f->node(sector, a.uuid)->item();
    QQuickItem* itemB = f->node(sector, b.uuid)->item();

    itemB->setPosition(QPointF(1200, 1200)); // no move
    itemB->setX(1199);
    view->rescaleViewTimerFired();
    view->rescaleViewTimerFired();
    QCOMPARE(page->property("contentWidth").toDouble(), 4096.0);
    QCOMPARE(page->property("contentHeight").toDouble(), 4096.0);
    QCOMPARE(page->property("contentX").toDouble(), 1024.0);

    itemB->setPosition(QPointF(1100 + 2100, 1200));
    view->rescaleViewTimerFired(); // one tick left
    QCOMPARE(page->property("contentWidth").toDouble(), 4096.0);
    view->rescaleViewTimerFired();
    const double dx = 2048 - 1100;
    const double dy = 2048 - 1100;
    QCOMPARE(page->property("contentWidth").toDouble(), 2100.0 + 4096);
    QCOMPARE(page->property("contentHeight").toDouble(), 100.0 + 4096);
    QCOMPARE(page->property("contentX").toDouble(), 1024 + dx);
    QCOMPARE(page->property("contentY").toDouble(), 1024 + dy);
    QCOMPARE(itemA->position(), QPointF(1100 + dx, 1100 + dy));
    QCOMPARE(itemB->position(), QPointF(3200 + dx, 1200 + dy));

    // Stored with the view.
    f->window.reset();
    QCOMPARE(f->storedSector(sector).w, 2100.0 + 4096);
    QCOMPARE(f->storedNode(sector, a.uuid).x, 1100 + dx);
}

void TestNodeLayout::emptySectorNeverGrows()
{
    f.reset(new NodeViewFixture);
    const QString empty = f->addSector(QStringLiteral("empty"), 10, 20, 30, 40);
    const QString busy = f->addSector(QStringLiteral("busy"));
    const VNodeDto a = f->addNode(NodeViewFixture::row(busy, QStringLiteral("directory"), QStringLiteral("/a"), 0, 0));
    f->addNode(NodeViewFixture::row(busy, QStringLiteral("directory"), QStringLiteral("/b"), 0, 0));
    f->start();
    f->node(busy, a.uuid)->item()->setX(5000);
    f->view()->rescaleViewTimerFired();
    f->view()->rescaleViewTimerFired();
    QQuickItem* page = f->view()->sectorPage(empty);
    QCOMPARE(page->property("contentX").toDouble(), 10.0);
    QCOMPARE(page->property("contentY").toDouble(), 20.0);
    QCOMPARE(page->property("contentWidth").toDouble(), 30.0);
    QCOMPARE(page->property("contentHeight").toDouble(), 40.0);
    QCOMPARE(f->view()->sectorPage(busy)->property("contentWidth").toDouble(), 5000.0 + 4096);
}

// Ticks the visitor until it has looked at the node `visits` more times.
QVector<GuiNode*> TestNodeLayout::visitUntil(GuiNode* node, int visits)
{
    const int target = node->visitCount + visits;
    for (int i = 0; i < 1000 && node->visitCount < target; ++i)
        f->view()->visitorTimerFired();
    return {};
}

// A directory its peer does not list is unreachable from the second visit
// on, a resolve of its path asked for at each; once it is there it is
// reachable again and its file id is stored.
void TestNodeLayout::visitorMarksUnreachableAndFound()
{
    f.reset(new NodeViewFixture);
    RigPeer* own = f->rig->ownPeer();
    f->rig->setDrivePath(own, QStringLiteral("/"));
    const QString path = f->rig->root(own) + QStringLiteral("/later");
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), path, 1100, 1100));
    f->start();
    auto* files = qobject_cast<VfsModel*>(own->vfsFileSystemModel());
    QVERIFY(files);
    QSignalSpy resolved(files, &VfsModel::pathResolved);
    auto resolvesOf = [&] {
        int n = 0;
        for (const QList<QVariant>& args : resolved)
            n += args.at(1).toString() == path;
        return n;
    };
    GuiNode* node = f->node(sector, dir.uuid);
    QQuickItem* item = node->item();

    visitUntil(node, 1);
    QCOMPARE(item->property("reachable").toBool(), true);
    QTRY_VERIFY_WITH_TIMEOUT(resolvesOf() >= 1, 30000);
    visitUntil(node, 1);
    QCOMPARE(item->property("reachable").toBool(), false);
    QTRY_VERIFY_WITH_TIMEOUT(resolvesOf() >= 2, 30000);
    QVERIFY(!files->indexForPath(path).isValid());

    QVERIFY(QDir().mkpath(path));
    for (int i = 0; i < 600 && !item->property("reachable").toBool(); ++i) {
        // The machine's notice of the change: its folder is listed again.
        if (i % 20 == 0)
            files->fetchMore(files->indexForPath(f->rig->root(own)));
        visitUntil(node, 1);
        QTest::qWait(50);
    }
    QCOMPARE(item->property("reachable").toBool(), true);
    QVERIFY(node->fileId() != 0);
    QTRY_COMPARE(f->storedNode(sector, dir.uuid).fileid, node->fileId());
}

// A watched directory renamed on its machine is followed to its new path
// and name.
void TestNodeLayout::visitorFollowsRenamedDirectory()
{
    f.reset(new NodeViewFixture);
    RigPeer* own = f->rig->ownPeer();
    f->rig->setDrivePath(own, QStringLiteral("/"));
    const QString root = f->rig->root(own);
    QVERIFY(QDir().mkpath(root + QStringLiteral("/old/inside")));
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), root + QStringLiteral("/old"),
                                                         1100, 1100, NodeViewFixture::nullUuid(), QStringLiteral("old")));
    const VNodeDto inner = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"),
                                                           root + QStringLiteral("/old/inside/deeper"), 1200, 1200));
    f->start();
    auto* files = qobject_cast<VfsModel*>(own->vfsFileSystemModel());
    GuiNode* node = f->node(sector, dir.uuid);
    for (int i = 0; i < 600 && node->fileId() == 0; ++i) {
        visitUntil(node, 1);
        QTest::qWait(50);
    }
    QVERIFY(node->fileId() != 0);
    const quint64 id = node->fileId();

    QVERIFY(QDir(root).rename(QStringLiteral("old"), QStringLiteral("new")));
    QSignalSpy found(files, &VfsModel::foundWatchItem);
    // The machine's notice of the change: its folder is listed again.
    for (int i = 0; i < 600 && node->path() == root + QStringLiteral("/old"); ++i) {
        if (i % 20 == 0)
            files->fetchMore(files->indexForPath(root));
        visitUntil(node, 1);
        QTest::qWait(50);
    }
    QCOMPARE(node->path(), root + QStringLiteral("/new"));
    QCOMPARE(node->item()->property("path").toString(), root + QStringLiteral("/new"));
    QCOMPARE(node->item()->property("name").toString(), QStringLiteral("new"));
    QCOMPARE(node->fileId(), id);
    QVERIFY(!found.isEmpty());
    QTRY_COMPARE(f->storedNode(sector, dir.uuid).path, root + QStringLiteral("/new"));
    // The relations follow the new path: the inner node no longer hangs from it.
    QCOMPARE(f->node(sector, inner.uuid)->item()->property("parentDir").value<QQuickItem*>(),
             static_cast<QQuickItem*>(nullptr));
}

// While its peer's link is down a node is not visited and keeps its mark;
// with the link back the visits go on.
void TestNodeLayout::visitorSkipsPeerWithoutLink()
{
    f.reset(new NodeViewFixture);
    RigPeer* own = f->rig->ownPeer();
    f->rig->setDrivePath(own, QStringLiteral("/"));
    const QString path = f->rig->root(own) + QStringLiteral("/absent");
    const QString sector = f->addSector(QStringLiteral("s"));
    const VNodeDto dir = f->addNode(NodeViewFixture::row(sector, QStringLiteral("directory"), path, 1100, 1100));
    f->start();
    GuiNode* node = f->node(sector, dir.uuid);
    visitUntil(node, 2);
    QCOMPARE(node->item()->property("reachable").toBool(), false);

    own->setLinkState(IPeer::LinkDown);
    const int visits = node->visitCount;
    for (int i = 0; i < 20; ++i)
        f->view()->visitorTimerFired();
    QCOMPARE(node->visitCount, visits);
    QCOMPARE(node->item()->property("reachable").toBool(), false);

    own->setLinkState(IPeer::LinkUp);
    visitUntil(node, 1);
    QCOMPARE(node->visitCount, visits + 1);
}

// Three drives inserted in one go refresh the nodes of all three.
void TestNodeLayout::driveBatchRefreshesEveryDrive()
{
    f.reset(new NodeViewFixture);
    RigPeer* server = f->rig->addPeer(QStringLiteral("server"));
    f->rig->storePeer(server->uuid());
    const QString sector = f->addSector(QStringLiteral("s"));
    QStringList uuids;
    for (const char* path : { "/a", "/b", "/c" })
        uuids << f->addNode(NodeViewFixture::row(sector, QStringLiteral("drive"), QLatin1String(path), 1100, 1100,
                                                 server->uuid(), QStringLiteral("?"), QStringLiteral("drive0")))
                     .uuid;
    f->start();

    BatchDrives drives;
    drives.setObjectName(server->uuid());
    QObject::connect(&drives, &QAbstractItemModel::rowsInserted, f->view(), &NodeView::driveRowsInserted);
    drives.insert({ { QStringLiteral("/a"), QStringLiteral("Alpha"), 1000000000ull, QStringLiteral("icon/drive-disk.svg") },
                    { QStringLiteral("/b"), QStringLiteral("Beta"), 2000000000ull, QStringLiteral("icon/drive-hotplug.svg") },
                    { QStringLiteral("/c"), QStringLiteral("Gamma"), 3000000000ull, QStringLiteral("icon/drive-smb.svg") } });
    const QStringList names{ QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gamma") };
    const QStringList icons{ QStringLiteral("image://theme/icon/drive-disk.svg"),
                             QStringLiteral("image://theme/icon/drive-hotplug.svg"),
                             QStringLiteral("image://theme/icon/drive-smb.svg") };
    for (int i = 0; i < 3; ++i) {
        QQuickItem* item = f->node(sector, uuids.at(i))->item();
        QCOMPARE(item->property("name").toString(), names.at(i));
        QCOMPARE(item->property("icon").toString(), icons.at(i));
        QCOMPARE(item->property("totalSize").toString(),
                 QLocale().formattedDataSize(qint64(i + 1) * 1000000000, 0, QLocale::DataSizeSIFormat));
    }
}

QTEST_MAIN(TestNodeLayout)
#include "tst_nodelayout.moc"
