#include "core/appsettings.h"
#include "filer/sharedactions.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "quick/themeloader.h"
#include "share/sharemenus.h"
#include "support/gui/guitestrig.h"
#include "support/idtranslator.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QtTest>

// Records which entry triggered it, as a file view's share slots read it.
class ShareReceiver : public QObject
{
    Q_OBJECT
public slots:
    void onShareTriggered() { shared << qobject_cast<QAction*>(sender())->data().toString(); }
    void onShareDriveTriggered() { drives << qobject_cast<QAction*>(sender())->data().toString(); }

public:
    QStringList shared;
    QStringList drives;
};

// The share submenus of the context menu and the "Share drive" switch.
class TestShareMenus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void submenus_data();
    void submenus();
    void entriesReachTheSlots();
    void shareDriveInViewMenuAndSaved();

private:
    static QStringList entries(QMenu* menu, const char* name);
    std::unique_ptr<GuiTestRig> m_rig;
    IdTranslator m_english;
};

void TestShareMenus::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestShareMenus::init()
{
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    m_rig.reset(new GuiTestRig);
}

void TestShareMenus::cleanup()
{
    m_rig.reset();
}

QStringList TestShareMenus::entries(QMenu* menu, const char* name)
{
    auto* submenu = menu->findChild<QMenu*>(QLatin1String(name));
    if (!submenu)
        return { QStringLiteral("<none>") };
    // Added to the menu, not only made.
    if (!menu->actions().contains(submenu->menuAction()))
        return { QStringLiteral("<not added>") };
    QStringList texts;
    for (QAction* action : submenu->actions())
        texts << action->text() + QLatin1Char('=') + (action->data().toString() == ownPeerUuid()
                                                           ? QStringLiteral("own")
                                                           : QStringLiteral("peer"));
    return texts;
}

// "Share with" lists the known peers but the own one; "Share drive with"
// the known peers, while "Share drive" is checked; nothing on another
// machine; an empty submenu is not left behind.
void TestShareMenus::submenus_data()
{
    QTest::addColumn<bool>("ownMachine");
    QTest::addColumn<bool>("shareDrive");
    QTest::addColumn<bool>("onlyUnknown");
    QTest::addColumn<QStringList>("shareWith");
    QTest::addColumn<QStringList>("shareDriveWith");
    const QStringList none{ "<none>" };
    const QStringList peers{ "Laptop...=peer", "Desk...=peer" };
    QTest::newRow("own machine") << true << false << false << peers << none;
    QTest::newRow("own machine, share drive") << true << true << false << peers
                                              << QStringList{ "This PC...=own", "Laptop...=peer", "Desk...=peer" };
    QTest::newRow("other machine") << false << true << false << none << none;
    QTest::newRow("only unknown and own peers") << true << false << true << none << none;
    QTest::newRow("only unknown and own peers, share drive") << true << true << true << none
                                                             << QStringList{ "This PC...=own" };
}

void TestShareMenus::submenus()
{
    QFETCH(bool, ownMachine);
    QFETCH(bool, shareDrive);
    QFETCH(bool, onlyUnknown);
    QFETCH(QStringList, shareWith);
    QFETCH(QStringList, shareDriveWith);
    RigPeer* laptop = m_rig->addPeer(QStringLiteral("laptop-name"));
    laptop->setDisplayName(QStringLiteral("Laptop"));
    RigPeer* desk = m_rig->addPeer(QStringLiteral("Desk"));
    const QString unknown = QStringLiteral("{7b1f0000-0000-4000-8000-00000000beef}");

    ShareMenus::Inputs inputs;
    inputs.ownMachine = ownMachine;
    inputs.shareDrive = shareDrive;
    inputs.peerUuids = onlyUnknown ? QStringList{ ownPeerUuid(), unknown }
                                   : QStringList{ ownPeerUuid(), laptop->uuid(), unknown, desk->uuid() };
    PeerModel* model = m_rig->peerModel();
    inputs.knownPeer = [model](const QString& uuid) { return model->getPeerForUuid(uuid); };
    QMenu menu;
    menu.addAction(QStringLiteral("Copy"));
    const int added = ShareMenus::addShareSubmenus(&menu, inputs);
    QCOMPARE(entries(&menu, "menu-share-with"), shareWith);
    QCOMPARE(entries(&menu, "menu-share-drive-with"), shareDriveWith);
    QCOMPARE(added, int(shareWith != QStringList{ "<none>" }) + int(shareDriveWith != QStringList{ "<none>" }));
    QCOMPARE(menu.actions().size(), 1 + added);
    if (added > 0)
        QCOMPARE(menu.actions().at(1)->text(), shareWith.first() == QLatin1String("<none>")
                                                   ? QStringLiteral("Share drive with")
                                                   : QStringLiteral("Share with"));
}

// Each entry carries its peer's uuid to the slot it was connected to.
void TestShareMenus::entriesReachTheSlots()
{
    RigPeer* laptop = m_rig->addPeer(QStringLiteral("Laptop"));
    laptop->setIcon(QStringLiteral("laptop"));
    ShareReceiver receiver;
    ShareMenus::Inputs inputs;
    inputs.ownMachine = true;
    inputs.shareDrive = true;
    inputs.peerUuids = QStringList() << ownPeerUuid() << laptop->uuid();
    PeerModel* model = m_rig->peerModel();
    inputs.knownPeer = [model](const QString& uuid) { return model->getPeerForUuid(uuid); };
    inputs.receiver = &receiver;
    inputs.shareSlot = SLOT(onShareTriggered());
    inputs.shareDriveSlot = SLOT(onShareDriveTriggered());
    int iconCalls = 0;
    inputs.peerIcon = [&iconCalls](IPeer* peer) {
        ++iconCalls;
        QPixmap pixmap(32, 32);
        pixmap.fill(peer->icon() == QLatin1String("laptop") ? Qt::red : Qt::blue);
        return pixmap;
    };
    QMenu menu;
    QCOMPARE(ShareMenus::addShareSubmenus(&menu, inputs), 2);
    auto* share = menu.findChild<QMenu*>(QStringLiteral("menu-share-with"));
    auto* drive = menu.findChild<QMenu*>(QStringLiteral("menu-share-drive-with"));
    QCOMPARE(share->actions().size(), 1);
    QCOMPARE(drive->actions().size(), 2);
    QVERIFY(!share->actions().first()->icon().isNull());
    QVERIFY(drive->actions().first()->icon().isNull());
    QCOMPARE(iconCalls, 1);
    share->actions().first()->trigger();
    drive->actions().at(1)->trigger();
    drive->actions().at(0)->trigger();
    QCOMPARE(receiver.shared, QStringList() << laptop->uuid());
    QCOMPARE(receiver.drives, (QStringList{ laptop->uuid(), ownPeerUuid() }));
}

// "Share drive" is a checkable entry of the View menu whose state outlives
// the window.
void TestShareMenus::shareDriveInViewMenuAndSaved()
{
    {
        std::unique_ptr<MainWindow> window = m_rig->createWindow();
        QAction* shareDrive = SharedActions::shareDrive;
        QVERIFY(shareDrive);
        QVERIFY(shareDrive->isCheckable());
        QVERIFY(!shareDrive->isChecked());
        auto* view = window->menuBar()->findChild<QMenu*>(QStringLiteral("viewMenu"));
        QVERIFY(view);
        QVERIFY(view->actions().contains(shareDrive));
        QCOMPARE(shareDrive->text().remove(QLatin1Char('&')), QStringLiteral("Share drive"));
        shareDrive->trigger();
        QVERIFY(shareDrive->isChecked());
        AppSettings appSettings;
        QCOMPARE(appSettings.settings()->value(QStringLiteral("filerShareDrive")).toBool(), true);
    }
    {
        std::unique_ptr<MainWindow> window = m_rig->createWindow();
        QVERIFY(SharedActions::shareDrive->isChecked());
        SharedActions::shareDrive->trigger();
    }
    std::unique_ptr<MainWindow> window = m_rig->createWindow();
    QVERIFY(!SharedActions::shareDrive->isChecked());
    // A window that adds its own View menu gets the entry through the same call.
    QMenu own;
    window->addViewShareEntries(&own);
    QVERIFY(own.actions().contains(SharedActions::shareDrive.data()));
}

QTEST_MAIN(TestShareMenus)
#include "tst_sharemenus.moc"
