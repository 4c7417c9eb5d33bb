#include "core/databasesqlite.h"
#include "models/vfsmodel.h"
#include "share/sharerecord.h"

#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

// Which item a share choice means and the record prepared for it: a new
// one with its flags, or the existing share of that path, read from a real
// store.
class TestShareRecord : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void newShareFlags_data();
    void newShareFlags();
    void existingShareByExactSelector_data();
    void existingShareByExactSelector();
    void chosenItem_data();
    void chosenItem();
    void driveOfSelection_data();
    void driveOfSelection();
    void editFindsOnlyStoredShares();

private:
    QStandardItem* addItem(QStandardItem* parent, const QString& path, int type);
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DatabaseSqlite> m_db;
    QStandardItemModel m_model;
    QStandardItem* m_drive = nullptr;     // "/" drive
    QStandardItem* m_folder = nullptr;    // a local directory on it
    QStandardItem* m_file = nullptr;      // a file in that directory
    QStandardItem* m_letter = nullptr;    // a bare drive letter "X:"
    QStandardItem* m_loose = nullptr;     // a file outside any drive
    const QString m_peer = QStringLiteral("{5e1d3c40-8a2b-4c55-9e1f-0123456789ab}");
};

QStandardItem* TestShareRecord::addItem(QStandardItem* parent, const QString& path, int type)
{
    auto* item = new QStandardItem(path.section(QLatin1Char('/'), -1));
    item->setData(path, VfsModel::PathRole);
    item->setData(path.section(QLatin1Char('/'), -1).isEmpty() ? path : path.section(QLatin1Char('/'), -1),
                  VfsModel::NameRole);
    item->setData(type, VfsModel::TypeRole);
    // A second column, as the column views have.
    parent->appendRow({ item, new QStandardItem(QStringLiteral("rw")) });
    return item;
}

void TestShareRecord::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QDir(m_dir->path()).mkpath(QStringLiteral("photos"));
    QFile file(m_dir->filePath(QStringLiteral("photos/a.jpg")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    m_db.reset(new DatabaseSqlite(m_dir->filePath(QStringLiteral("velm.db"))));
    m_db->putPeer(PeerDto{ m_peer, QStringLiteral("velm"), QDateTime::currentDateTimeUtc() });

    m_model.clear();
    QStandardItem* root = m_model.invisibleRootItem();
    m_drive = addItem(root, m_dir->path(), VfsModel::DriveType);
    m_folder = addItem(m_drive, m_dir->filePath(QStringLiteral("photos")), VfsModel::DirectoryType);
    m_file = addItem(m_folder, m_dir->filePath(QStringLiteral("photos/a.jpg")), VfsModel::FileType);
    m_letter = addItem(root, QStringLiteral("X:"), VfsModel::DriveType);
    m_loose = addItem(root, QStringLiteral("/nowhere/loose.txt"), VfsModel::FileType);
}

void TestShareRecord::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

// A new share: read for anything, directory when the path is a local
// directory, drive for a drive; a bare drive letter gets its backslash.
void TestShareRecord::newShareFlags_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<bool>("driveChoice");
    QTest::addColumn<QString>("selector");
    QTest::addColumn<uint>("flags");
    QTest::newRow("file") << "file" << false << "photos/a.jpg" << 1u;
    QTest::newRow("folder") << "folder" << false << "photos" << 5u;
    QTest::newRow("drive letter through share with") << "letter" << false << "X:\\" << 9u;
    QTest::newRow("drive that is a local directory") << "drive" << false << "" << 13u;
    QTest::newRow("share drive with, on a file") << "file" << true << "" << 13u;
    QTest::newRow("share drive with, on a letter's drive") << "letter" << true << "X:\\" << 13u;
}

void TestShareRecord::newShareFlags()
{
    QFETCH(QString, which);
    QFETCH(bool, driveChoice);
    QFETCH(QString, selector);
    QFETCH(uint, flags);
    const QMap<QString, QStandardItem*> items{
        { "file", m_file }, { "folder", m_folder }, { "letter", m_letter }, { "drive", m_drive }
    };
    const QModelIndexList selected{ items.value(which)->index() };
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    PeerAclDto acl;
    if (driveChoice)
        QVERIFY(ShareRecord::prepareDriveShare(m_db.get(), m_peer, selected, &acl));
    else
        QVERIFY(ShareRecord::prepareShare(m_db.get(), m_peer, selected, QModelIndex(), true, &acl));
    QCOMPARE(acl.flags, quint32(flags));
    const QString expected = selector.contains(QLatin1Char(':')) ? selector
                             : selector.isEmpty()                 ? m_dir->path()
                                                                  : m_dir->filePath(selector);
    QCOMPARE(acl.selector, expected);
    QCOMPARE(acl.uuid, QUuid().toString());
    QVERIFY(ShareRecord::isNewShare(acl));
    QVERIFY(acl.timestamp >= before && acl.timestamp.timeSpec() == Qt::UTC);
    QVERIFY(!acl.name.isEmpty());
}

// An item already shared with the peer opens that share as it is; the path
// is compared exactly.
void TestShareRecord::existingShareByExactSelector_data()
{
    QTest::addColumn<QString>("storedSelector");
    QTest::addColumn<bool>("driveChoice");
    QTest::addColumn<bool>("found");
    QTest::newRow("folder") << "photos" << false << true;
    QTest::newRow("other case") << "PHOTOS" << false << false;
    QTest::newRow("trailing slash") << "photos/" << false << false;
    QTest::newRow("drive letter stored with backslash") << "X:\\" << true << true;
}

void TestShareRecord::existingShareByExactSelector()
{
    QFETCH(QString, storedSelector);
    QFETCH(bool, driveChoice);
    QFETCH(bool, found);
    PeerAclDto stored;
    stored.uuid = QUuid::createUuid().toString();
    stored.name = QStringLiteral("stored");
    stored.selector = storedSelector.contains(QLatin1Char(':')) ? storedSelector : m_dir->filePath(storedSelector);
    stored.flags = 1 | 2 | 4;
    stored.timestamp = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    QVERIFY(m_db->putAcl(m_peer, stored));

    PeerAclDto acl;
    if (driveChoice)
        QVERIFY(ShareRecord::prepareDriveShare(m_db.get(), m_peer, { m_letter->index() }, &acl));
    else
        QVERIFY(ShareRecord::prepareShare(m_db.get(), m_peer, { m_folder->index() }, QModelIndex(), true, &acl));
    if (found) {
        QCOMPARE(acl.uuid, stored.uuid);
        QCOMPARE(acl.flags, stored.flags);
        QCOMPARE(acl.name, stored.name);
        QCOMPARE(acl.timestamp, stored.timestamp);
    } else {
        QVERIFY(ShareRecord::isNewShare(acl));
    }
}

// "Share with": the first selected index of column 0; with nothing
// selected, the shown directory, but only in a view of the own machine.
void TestShareRecord::chosenItem_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<bool>("ownMachine");
    QTest::addColumn<QString>("expected");
    QTest::newRow("nothing selected, own machine") << "" << true << "folder";
    QTest::newRow("nothing selected, other machine") << "" << false << "";
    QTest::newRow("second column first") << "file:1,file:0" << true << "file";
    QTest::newRow("only a second column") << "file:1" << false << "";
    QTest::newRow("first of two") << "file:0,folder:0" << false << "file";
}

void TestShareRecord::chosenItem()
{
    QFETCH(QString, selection);
    QFETCH(bool, ownMachine);
    QFETCH(QString, expected);
    const QMap<QString, QStandardItem*> items{ { "file", m_file }, { "folder", m_folder } };
    QModelIndexList selected;
    for (const QString& part : selection.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QModelIndex index = items.value(part.section(QLatin1Char(':'), 0, 0))->index();
        selected << index.siblingAtColumn(part.section(QLatin1Char(':'), 1).toInt());
    }
    const QModelIndex chosen = ShareRecord::itemIndex(selected, m_folder->index(), ownMachine);
    if (expected.isEmpty()) {
        QVERIFY(!chosen.isValid());
        PeerAclDto acl;
        QVERIFY(!ShareRecord::prepareShare(m_db.get(), m_peer, selected, m_folder->index(), ownMachine, &acl));
    } else {
        QCOMPARE(chosen, items.value(expected)->index());
    }
}

// "Share drive with": the drive that holds the first selected item that
// has one.
void TestShareRecord::driveOfSelection_data()
{
    QTest::addColumn<QString>("selection");
    QTest::addColumn<QString>("expected");
    QTest::newRow("nothing") << "" << "";
    QTest::newRow("file two levels down") << "file" << "drive";
    QTest::newRow("the drive itself") << "drive" << "drive";
    QTest::newRow("file outside a drive, then a folder") << "loose,folder" << "drive";
    QTest::newRow("file outside a drive only") << "loose" << "";
}

void TestShareRecord::driveOfSelection()
{
    QFETCH(QString, selection);
    QFETCH(QString, expected);
    const QMap<QString, QStandardItem*> items{
        { "file", m_file }, { "folder", m_folder }, { "drive", m_drive }, { "loose", m_loose }
    };
    QModelIndexList selected;
    for (const QString& part : selection.split(QLatin1Char(','), Qt::SkipEmptyParts))
        selected << items.value(part)->index();
    const QModelIndex drive = ShareRecord::driveIndex(selected);
    if (expected.isEmpty()) {
        QVERIFY(!drive.isValid());
        PeerAclDto acl;
        QVERIFY(!ShareRecord::prepareDriveShare(m_db.get(), m_peer, selected, &acl));
    } else {
        QCOMPARE(drive, items.value(expected)->index());
    }
}

// Editing from the peer page: only a share stored for that peer.
void TestShareRecord::editFindsOnlyStoredShares()
{
    const QString other = QStringLiteral("{0c2e8f5a-1111-4c55-9e1f-0123456789ab}");
    m_db->putPeer(PeerDto{ other, QStringLiteral("velm"), QDateTime::currentDateTimeUtc() });
    PeerAclDto stored;
    stored.uuid = QUuid::createUuid().toString();
    stored.name = QStringLiteral("photos");
    stored.selector = m_dir->filePath(QStringLiteral("photos"));
    stored.flags = 5;
    stored.timestamp = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    QVERIFY(m_db->putAcl(m_peer, stored));

    PeerAclDto acl;
    QVERIFY(ShareRecord::findShare(m_db.get(), m_peer, stored.uuid, &acl));
    QCOMPARE(acl, stored);
    QVERIFY(ShareRecord::findShare(m_db.get(), m_peer, stored.uuid.toUpper(), &acl));
    QVERIFY(!ShareRecord::findShare(m_db.get(), m_peer, QUuid::createUuid().toString(), &acl));
    QVERIFY(!ShareRecord::findShare(m_db.get(), other, stored.uuid, &acl));
    QVERIFY(!ShareRecord::findShare(nullptr, m_peer, stored.uuid, &acl));
}

QTEST_MAIN(TestShareRecord)
#include "tst_sharerecord.moc"
