#include "vfsmodeltestutil.h"

#include "models/vfssortfilterproxymodel.h"

#include <QColor>
#include <QGuiApplication>
#include <QPalette>
#include <QStandardItemModel>
#include <QtTest>

namespace {

using F = FakeFileSystem;
using E = VfsMirkListEntry;

// Counts the filter's calls, so that a refilter shows.
class CountingProxy : public VfsSortFilterProxyModel
{
public:
    mutable int filterCalls = 0;

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override
    {
        ++filterCalls;
        return VfsSortFilterProxyModel::filterAcceptsRow(row, parent);
    }
};

QStringList proxyNames(const QAbstractItemModel& proxy, const QModelIndex& parent)
{
    QStringList out;
    for (int row = 0; row < proxy.rowCount(parent); ++row)
        out << proxy.index(row, 0, parent).data().toString();
    return out;
}

E fileOf(const char* name, quint64 size, qint64 mtime, bool hidden = false)
{
    E e = F::file(name, size, mtime);
    if (hidden)
        e.type |= E::TypeHidden;
    return e;
}

// Rows of a plain item model that carry only what the proxy reads.
QList<QStandardItem*> row(const QString& name, int type)
{
    QList<QStandardItem*> items;
    for (int column = 0; column < VfsModel::ColumnCount; ++column) {
        auto* item = new QStandardItem(column == 0 ? name : QString());
        item->setData(type, VfsModel::TypeRole);
        items << item;
    }
    return items;
}

} // namespace

class TestVfsSortFilterProxyModel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sortOrders_data();
    void sortOrders();
    void mixedTypesInBothOrders_data();
    void mixedTypesInBothOrders();
    void hiddenFilteredBelowRoot();
    void maxAgeDims_data();
    void maxAgeDims();
    void sameSettingDoesNotRefilter();
};

void TestVfsSortFilterProxyModel::initTestCase()
{
    qRegisterMetaType<QVector<int>>();
    VfsModelFactory::install();
}

void TestVfsSortFilterProxyModel::sortOrders_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("names");
    // Sizes 10, 9, 100 and times in another order than their texts'; rows
    // that compare equal keep their listing order.
    QTest::newRow("name ascending") << 0 << int(Qt::AscendingOrder)
                                    << QStringList{"a-dir", "z-dir", "b10", "c9", "d100"};
    QTest::newRow("name descending") << 0 << int(Qt::DescendingOrder)
                                     << QStringList{"z-dir", "a-dir", "d100", "c9", "b10"};
    QTest::newRow("size by value") << int(VfsModel::SizeColumn) << int(Qt::AscendingOrder)
                                   << QStringList{"z-dir", "a-dir", "c9", "b10", "d100"};
    QTest::newRow("size descending") << int(VfsModel::SizeColumn) << int(Qt::DescendingOrder)
                                     << QStringList{"z-dir", "a-dir", "d100", "b10", "c9"};
    QTest::newRow("time by value") << int(VfsModel::MTimeStringColumn) << int(Qt::AscendingOrder)
                                   << QStringList{"z-dir", "a-dir", "c9", "b10", "d100"};
    QTest::newRow("time descending") << int(VfsModel::MTimeStringColumn) << int(Qt::DescendingOrder)
                                     << QStringList{"z-dir", "a-dir", "d100", "b10", "c9"};
}

void TestVfsSortFilterProxyModel::sortOrders()
{
    QFETCH(int, column);
    QFETCH(int, order);
    QFETCH(QStringList, names);
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    // 1 Jan 2001 before 1 Dec 2000 as texts ("01/01/2001" < "12/01/2000").
    const qint64 dec2000 = QDateTime(QDate(2000, 12, 1), QTime(12, 0)).toMSecsSinceEpoch();
    const qint64 jan2001 = QDateTime(QDate(2001, 1, 1), QTime(12, 0)).toMSecsSinceEpoch();
    const qint64 feb2001 = QDateTime(QDate(2001, 2, 1), QTime(12, 0)).toMSecsSinceEpoch();
    rig.fake->dirs["/d"].entries = {fileOf("b10", 10, jan2001), F::dir("z-dir"), fileOf("c9", 9, dec2000),
                                    fileOf("d100", 100, feb2001), F::dir("a-dir")};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid() && rig.list(d));

    VfsSortFilterProxyModel proxy;
    proxy.setSourceModel(rig.model);
    proxy.sort(column, Qt::SortOrder(order));
    QCOMPARE(proxyNames(proxy, proxy.mapFromSource(d)), names);
}

void TestVfsSortFilterProxyModel::mixedTypesInBothOrders_data()
{
    QTest::addColumn<int>("order");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("ascending") << int(Qt::AscendingOrder)
                               << QStringList{"dir-b", "dir-y", "a", "c", "d", "e", "f", "g", "h"};
    QTest::newRow("descending") << int(Qt::DescendingOrder)
                                << QStringList{"dir-y", "dir-b", "h", "g", "f", "e", "d", "c", "a"};
}

// Rows of different types that are not directories sort by the column like
// any others, in both orders.
void TestVfsSortFilterProxyModel::mixedTypesInBothOrders()
{
    QFETCH(int, order);
    QFETCH(QStringList, names);
    QStandardItemModel source;
    source.appendRow(row("g", VfsModel::FileType));
    source.appendRow(row("dir-y", VfsModel::DirectoryType));
    source.appendRow(row("c", VfsModel::DriveType));
    source.appendRow(row("a", VfsModel::FileType));
    source.appendRow(row("h", VfsModel::NoType));
    source.appendRow(row("e", VfsModel::DriveType));
    source.appendRow(row("dir-b", VfsModel::DirectoryType));
    source.appendRow(row("d", VfsModel::FileType));
    source.appendRow(row("f", VfsModel::NoType));
    VfsSortFilterProxyModel proxy;
    proxy.setSourceModel(&source);
    proxy.sort(0, Qt::SortOrder(order));
    QCOMPARE(proxyNames(proxy, QModelIndex()), names);
}

void TestVfsSortFilterProxyModel::hiddenFilteredBelowRoot()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    E hiddenDir = F::dir(".hidden-dir");
    hiddenDir.type |= E::TypeHidden;
    rig.fake->dirs["/"].entries = {F::dir("d"), hiddenDir, fileOf(".dot", 1, 0, true)};
    rig.fake->dirs["/d"].entries = {fileOf("seen", 1, 0), fileOf(".secret", 1, 0, true)};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid() && rig.list(d));
    const QPersistentModelIndex root = rig.model->indexForPath("/");

    VfsSortFilterProxyModel proxy;
    proxy.setSourceModel(rig.model);
    proxy.sort(0);
    // No root yet: everything shows.
    QCOMPARE(proxyNames(proxy, proxy.mapFromSource(d)), (QStringList{".secret", "seen"}));

    proxy.setRootIndex(d);
    QCOMPARE(proxy.rootPath(), QStringLiteral("/d"));
    QCOMPARE(proxyNames(proxy, proxy.mapFromSource(d)), QStringList{"seen"});
    // Above the shown directory hidden rows stay, and the top level always.
    QCOMPARE(proxyNames(proxy, proxy.mapFromSource(root)), (QStringList{".hidden-dir", "d", ".dot"}));
    QCOMPARE(proxy.rowCount(), 2);

    proxy.setFilterHidden(true);
    QCOMPARE(proxyNames(proxy, proxy.mapFromSource(d)), (QStringList{".secret", "seen"}));
    proxy.setFilterHidden(false);
    proxy.setRootIndex(root);
    QCOMPARE(proxyNames(proxy, proxy.mapFromSource(root)), QStringList{"d"});
}

void TestVfsSortFilterProxyModel::maxAgeDims_data()
{
    QTest::addColumn<qint64>("maxAge");
    QTest::addColumn<bool>("oldDimmed");
    QTest::newRow("no limit") << qint64(-1) << false;
    QTest::newRow("zero") << qint64(0) << false;
    QTest::newRow("an hour") << qint64(3600) << true;
}

void TestVfsSortFilterProxyModel::maxAgeDims()
{
    QFETCH(qint64, maxAge);
    QFETCH(bool, oldDimmed);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {fileOf("new", 1, now - 600 * 1000), fileOf("old", 1, now - 7200 * 1000)};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid() && rig.list(d));

    VfsSortFilterProxyModel proxy;
    proxy.setSourceModel(rig.model);
    proxy.sort(0);
    proxy.setFilterMaxAge(maxAge);
    const QModelIndex pd = proxy.mapFromSource(d);
    QCOMPARE(proxyNames(proxy, pd), (QStringList{"new", "old"})); // nothing hidden
    const QColor mid = QGuiApplication::palette().color(QPalette::Inactive, QPalette::Mid);
    const QModelIndex fresh = proxy.index(0, 0, pd);
    const QModelIndex old = proxy.index(1, 0, pd);
    QCOMPARE(old.data(Qt::ForegroundRole).value<QColor>() == mid, oldDimmed);
    QCOMPARE(fresh.data(Qt::ForegroundRole), rig.model->data(proxy.mapToSource(fresh), Qt::ForegroundRole));
    // Only the name column.
    QCOMPARE(old.sibling(1, 4).data(Qt::ForegroundRole),
             rig.model->data(proxy.mapToSource(old.sibling(1, 4)), Qt::ForegroundRole));
}

void TestVfsSortFilterProxyModel::sameSettingDoesNotRefilter()
{
    ModelRig rig(ModelRig::FakeServer);
    rig.fake->drives = {F::drive("/", "root")};
    rig.fake->dirs["/"].entries = {F::dir("d")};
    rig.fake->dirs["/d"].entries = {fileOf("a", 1, 0)};
    const QPersistentModelIndex d = rig.reach("/d");
    QVERIFY(d.isValid() && rig.list(d));
    CountingProxy proxy;
    proxy.setSourceModel(rig.model);
    proxy.sort(0);
    proxyNames(proxy, proxy.mapFromSource(d));
    proxy.setRootIndex(d);
    proxy.setFilterHidden(true);
    proxy.setFilterMaxAge(60);
    proxyNames(proxy, proxy.mapFromSource(d));
    const int calls = proxy.filterCalls;
    QSignalSpy layouts(&proxy, &QAbstractItemModel::layoutChanged);
    proxy.setRootIndex(d);
    proxy.setFilterHidden(true);
    proxy.setFilterMaxAge(60);
    proxyNames(proxy, proxy.mapFromSource(d));
    QCOMPARE(proxy.filterCalls, calls);
    QCOMPARE(layouts.count(), 0);
    proxy.setFilterHidden(false);
    QVERIFY(proxy.filterCalls > calls);
}

QTEST_MAIN(TestVfsSortFilterProxyModel)
#include "tst_vfssortfilterproxymodel.moc"
