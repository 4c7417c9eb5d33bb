#include "core/databasesqlite.h"
#include "models/vfsmodel.h"
#include "peer/peermodel.h"
#include "quick/themeloader.h"
#include "share/shareopener.h"
#include "share/sharerecord.h"
#include "share/sharewithdialog.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QPointer>
#include <QQuickWindow>
#include <QStandardItemModel>
#include <QUuid>
#include <QtTest>

// The share commands as a file view runs them: from a peer's uuid and the
// selection to the open window on the right record, or to nothing.
class TestShareOpener : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void opens_data();
    void opens();

private:
    QStandardItem* addItem(QStandardItem* parent, const QString& path, int type);
    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    QStandardItemModel m_model;
};

QStandardItem* TestShareOpener::addItem(QStandardItem* parent, const QString& path, int type)
{
    const QString name = path.section(QLatin1Char('/'), -1);
    auto* item = new QStandardItem(name);
    item->setData(path, VfsModel::PathRole);
    item->setData(name, VfsModel::NameRole);
    item->setData(type, VfsModel::TypeRole);
    parent->appendRow(item);
    return item;
}

void TestShareOpener::init()
{
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    m_rig.reset(new GuiTestRig);
    m_window = m_rig->createWindow();
}

void TestShareOpener::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_window.reset();
    m_rig.reset();
}

void TestShareOpener::opens_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("selection");
    QTest::addColumn<bool>("ownMachine");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("expected"); // "" nothing opens; "stored"; else selector:flags
    QTest::newRow("folder already shared") << "share" << "folder" << true << "known" << "stored";
    QTest::newRow("file") << "share" << "file" << true << "known" << "file:1";
    QTest::newRow("nothing selected, own machine") << "share" << "" << true << "known" << "shown:5";
    QTest::newRow("nothing selected, other machine") << "share" << "" << false << "known" << "";
    QTest::newRow("unknown peer") << "share" << "file" << true << "unknown" << "";
    QTest::newRow("drive of a file") << "drive" << "file" << true << "known" << "drive:13";
    QTest::newRow("drive of nothing") << "drive" << "" << true << "known" << "";
    QTest::newRow("edit a stored share") << "edit" << "" << true << "known" << "stored";
    QTest::newRow("edit an unknown share") << "edit" << "unknown-acl" << true << "known" << "";
    QTest::newRow("edit another peer's share") << "edit" << "" << true << "other" << "";
}

void TestShareOpener::opens()
{
    QFETCH(QString, command);
    QFETCH(QString, selection);
    QFETCH(bool, ownMachine);
    QFETCH(QString, peer);
    QFETCH(QString, expected);
    const QString root = m_rig->root(m_rig->ownPeer());
    QDir(root).mkpath(QStringLiteral("shown/photos"));
    QFile file(root + QStringLiteral("/shown/a.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    m_model.clear();
    QStandardItem* drive = addItem(m_model.invisibleRootItem(), root, VfsModel::DriveType);
    QStandardItem* shown = addItem(drive, root + QStringLiteral("/shown"), VfsModel::DirectoryType);
    QStandardItem* folder = addItem(shown, root + QStringLiteral("/shown/photos"), VfsModel::DirectoryType);
    QStandardItem* fileItem = addItem(shown, root + QStringLiteral("/shown/a.txt"), VfsModel::FileType);

    RigPeer* laptop = m_rig->addPeer(QStringLiteral("Laptop"));
    RigPeer* desk = m_rig->addPeer(QStringLiteral("Desk"));
    m_rig->storePeer(laptop->uuid());
    m_rig->storePeer(desk->uuid());
    IDatabase* db = m_rig->database();
    PeerAclDto stored;
    stored.uuid = QUuid::createUuid().toString();
    stored.name = QStringLiteral("photos");
    stored.selector = folder->data(VfsModel::PathRole).toString();
    stored.flags = 1 | 2 | 4;
    stored.timestamp = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    QVERIFY(db->putAcl(laptop->uuid(), stored));

    const QString peerUuid = peer == QLatin1String("known")   ? laptop->uuid()
                             : peer == QLatin1String("other") ? desk->uuid()
                                                              : QUuid::createUuid().toString();
    QModelIndexList selected;
    if (selection == QLatin1String("folder"))
        selected << folder->index();
    else if (selection == QLatin1String("file"))
        selected << fileItem->index();

    const int windowsBefore = QGuiApplication::topLevelWindows().size();
    QPointer<ShareWithDialog> dialog;
    if (command == QLatin1String("share"))
        dialog = ShareOpener::shareItem(m_window->engine(), db, m_rig->peerModel(), peerUuid, selected,
                                        shown->index(), ownMachine, m_window.get());
    else if (command == QLatin1String("drive"))
        dialog = ShareOpener::shareDrive(m_window->engine(), db, m_rig->peerModel(), peerUuid, selected,
                                         m_window.get());
    else
        dialog = ShareOpener::editShare(m_window->engine(), db, m_rig->peerModel(), peerUuid,
                                        selection.isEmpty() ? stored.uuid : QUuid::createUuid().toString(),
                                        m_window.get());

    if (expected.isEmpty()) {
        QVERIFY(!dialog);
        QCOMPARE(QGuiApplication::topLevelWindows().size(), windowsBefore);
        return;
    }
    QVERIFY(dialog);
    auto* window = qobject_cast<QQuickWindow*>(dialog->window());
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCOMPARE(dialog->peerUuid(), laptop->uuid());
    if (expected == QLatin1String("stored")) {
        QCOMPARE(dialog->acl(), stored);
        QVERIFY(!window->property("isNewShare").toBool());
        QVERIFY(window->property("canEdit").toBool());
    } else {
        const QMap<QString, QStandardItem*> items{ { "file", fileItem }, { "shown", shown }, { "drive", drive } };
        QStandardItem* item = items.value(expected.section(QLatin1Char(':'), 0, 0));
        QCOMPARE(dialog->acl().selector, item->data(VfsModel::PathRole).toString());
        QCOMPARE(dialog->acl().flags, expected.section(QLatin1Char(':'), 1).toUInt());
        QVERIFY(window->property("isNewShare").toBool());
    }
    QPointer<QObject> windowObject = dialog->window();
    window->close();
    QTRY_VERIFY(!dialog && !windowObject);
    // Nothing was stored by opening and closing.
    QCOMPARE(int(db->getAcls(laptop->uuid()).size()), 1);
}

QTEST_MAIN(TestShareOpener)
#include "tst_shareopener.moc"
