#include "filer/filer.h"
#include "filer/sharedactions.h"
#include "models/vfsmodel.h"
#include "peer/peeraclmodel.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "support/idtranslator.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QQmlComponent>
#include <QStackedWidget>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

// The breadcrumb bar, the machine list and the peer page on the window's
// shared engine, over the rig's peers (real peer, drive, file and
// access-list models), each in a window of its own.
class TestPeerPages : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void breadcrumbButtonsByPane_data();
    void breadcrumbButtonsByPane();
    void breadcrumbActionButtons();
    void breadcrumbNetworkSwitchIsShared();
    void breadcrumbDriveDrags();
    void breadcrumbCrumbsAndPathField();
    void breadcrumbFollowsPages();

    void machineListOfflineNotice();
    void machineRowFollowsLink();
    void machineListChoosing();

    void peerViewOfflineAndBack();
    void peerViewCardKind_data();
    void peerViewCardKind();
    void peerViewNothingShared();
    void peerViewListsAndClicks();
    void peerViewOwnDrives();

private:
    // Creates a page in a window of its own; the window owns it.
    QQuickItem* show(const char* file, const QSize& size = QSize(900, 600));
    static QQuickItem* find(QQuickItem* root, const QString& name);
    void click(QQuickItem* item);
    static QVariantMap dragData(QQuickItem* item);
    static QString viewOf(QQuickItem* page) { return page->property("view").toString(); }
    // With VELM_SCREENSHOT_DIR set, saves the page's window there.
    static void shot(QQuickItem* page, const QString& name);

    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    std::vector<std::unique_ptr<QQuickWindow>> m_hosts;
    std::vector<QPointer<QQuickItem>> m_pages;
    IdTranslator m_english;
};

void TestPeerPages::initTestCase()
{
    // VELM_SCREENSHOT_LANG=de shows the German texts (for screenshots).
    const QString language = qEnvironmentVariable("VELM_SCREENSHOT_LANG", QStringLiteral("en"));
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_") + language + QStringLiteral(".ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestPeerPages::init()
{
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    m_rig.reset(new GuiTestRig);
    m_window = m_rig->createWindow();
    m_window->setNetworkEnabled(true);
}

void TestPeerPages::cleanup()
{
    // Each page leaves its window and goes; then the shared engine, and
    // the host windows last: the scene graph's textures of images outlive
    // the engine's pixmap cache only that way.
    for (QPointer<QQuickItem>& page : m_pages) {
        if (page)
            page->setParentItem(nullptr);
        delete page.data();
    }
    m_pages.clear();
    m_window.reset();
    m_hosts.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_rig.reset();
}

QQuickItem* TestPeerPages::show(const char* file, const QSize& size)
{
    QQmlComponent component(m_window->engine(), QUrl(QLatin1String(file)));
    auto* item = qobject_cast<QQuickItem*>(component.create());
    if (!item) {
        qWarning("%s", qPrintable(component.errorString()));
        return nullptr;
    }
    auto host = std::make_unique<QQuickWindow>();
    host->resize(size);
    item->setParentItem(host->contentItem());
    m_pages.emplace_back(item);
    item->setSize(QSizeF(size));
    host->show();
    if (!QTest::qWaitForWindowExposed(host.get()))
        return nullptr;
    m_hosts.push_back(std::move(host));
    return item;
}

QQuickItem* TestPeerPages::find(QQuickItem* root, const QString& name)
{
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = find(child, name))
            return found;
    }
    return nullptr;
}

void TestPeerPages::click(QQuickItem* item)
{
    QVERIFY(item);
    QVERIFY(item->isVisible());
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(item->window(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void TestPeerPages::shot(QQuickItem* page, const QString& name)
{
    const QString dir = qEnvironmentVariable("VELM_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    QTest::qWait(300);
    page->window()->grabWindow().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// The MIME data a drag of the item carries (its attached Drag).
QVariantMap TestPeerPages::dragData(QQuickItem* item)
{
    QQmlExpression expression(qmlContext(item), item, QStringLiteral("Drag.mimeData"));
    return expression.evaluate().toMap();
}

// ---- breadcrumb bar

void TestPeerPages::breadcrumbButtonsByPane_data()
{
    QTest::addColumn<bool>("newWindow");
    QTest::addColumn<bool>("nodeView");
    QTest::newRow("left pane (flags 0)") << false << false;
    QTest::newRow("right pane (flags 2)") << false << true;
    QTest::newRow("window (flags 3)") << true << true;
}

void TestPeerPages::breadcrumbButtonsByPane()
{
    QFETCH(bool, newWindow);
    QFETCH(bool, nodeView);
    QQuickItem* bar = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QVERIFY(bar);
    bar->setProperty("showCreateNewWindowButton", newWindow);
    bar->setProperty("showToggleNodeViewButton", nodeView);
    QCOMPARE(find(bar, QStringLiteral("newWindowButton"))->isVisible(), newWindow);
    QCOMPARE(find(bar, QStringLiteral("nodeViewButton"))->isVisible(), nodeView);
}

// The optional buttons trigger the shared actions, and only while those
// are enabled.
void TestPeerPages::breadcrumbActionButtons()
{
    QQuickItem* bar = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QVERIFY(bar);
    bar->setProperty("showCreateNewWindowButton", true);
    bar->setProperty("showToggleNodeViewButton", true);
    m_window->showAlternateFilerPane();
    QCOMPARE(m_window->rightStack()->currentWidget()->objectName(), QStringLiteral("filerPaneRight"));
    click(find(bar, QStringLiteral("nodeViewButton")));
    QCOMPARE(m_window->rightStack()->currentWidget()->objectName(), QStringLiteral("nodeViewPage"));

    // Connected to the panes' new-window command: counted, not carried out.
    QObject::disconnect(SharedActions::newWindow.data(), &QAction::triggered, nullptr, nullptr);
    QSignalSpy newWindow(SharedActions::newWindow.data(), &QAction::triggered);
    SharedActions::newWindow->setEnabled(false);
    click(find(bar, QStringLiteral("newWindowButton")));
    QCOMPARE(newWindow.size(), 0);
    SharedActions::newWindow->setEnabled(true);
    click(find(bar, QStringLiteral("newWindowButton")));
    QCOMPARE(newWindow.size(), 1);
}

// Networking switched off in one bar: the window's switch, and with it the
// switch and network icon of every bar.
void TestPeerPages::breadcrumbNetworkSwitchIsShared()
{
    QQuickItem* first = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QQuickItem* second = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QVERIFY(first && second);
    QQuickItem* switch1 = find(first, QStringLiteral("networkSwitch"));
    QQuickItem* switch2 = find(second, QStringLiteral("networkSwitch"));
    QVERIFY(switch1->property("checked").toBool());
    click(switch1);
    QTRY_VERIFY(!m_window->networkEnabled());
    for (QQuickItem* bar : { first, second }) {
        QVERIFY(!find(bar, QStringLiteral("networkSwitch"))->property("checked").toBool());
        QCOMPARE(find(bar, QStringLiteral("networkItem"))->property("iconSource").toString(),
                 QStringLiteral("image://theme/icon/machine-list-offline.svg"));
    }
    click(switch2);
    QTRY_VERIFY(m_window->networkEnabled());
    m_window->setNetworkEnabled(false);
    m_window->setNetworkEnabled(true);
    for (QQuickItem* bar : { first, second }) {
        QVERIFY(find(bar, QStringLiteral("networkSwitch"))->property("checked").toBool());
        QCOMPARE(find(bar, QStringLiteral("networkItem"))->property("iconSource").toString(),
                 QStringLiteral("image://theme/icon/machine-list.svg"));
    }
}

void TestPeerPages::breadcrumbDriveDrags()
{
    RigPeer* peer = m_rig->addPeer(QStringLiteral("remote"));
    QQuickItem* bar = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QVERIFY(bar);
    bar->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    auto* files = qobject_cast<VfsModel*>(peer->vfsFileSystemModel());
    QVERIFY(files);
    files->fetchMore(QModelIndex());
    QTRY_VERIFY(find(bar, QStringLiteral("drive_0")));
    QQuickItem* drive = find(bar, QStringLiteral("drive_0"));
    const QString path = drive->property("drivePath").toString();
    QVERIFY(!path.isEmpty());
    const QVariantMap data = dragData(drive);
    QCOMPARE(data.value(QStringLiteral("application/velm-breadcrumb")).toString(), path);
    QCOMPARE(data.value(QStringLiteral("application/velm-peer-uuid")).toString(), peer->uuid());

    QSignalSpy clicked(bar, SIGNAL(driveClicked(QString)));
    click(drive);
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.at(0).at(0).toString(), path);
    // The peer item carries the peer, as the machine list's rows do.
    QCOMPARE(dragData(find(bar, QStringLiteral("peerItem"))).value(QStringLiteral("application/velm-peer-uuid")).toString(),
             peer->uuid());
}

void TestPeerPages::breadcrumbCrumbsAndPathField()
{
    QQuickItem* bar = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QVERIFY(bar);
    const QStringList parts{ "/", "home", "user", "projects", "velm", "deep" };
    const QStringList shown{ "/", "home", "user", "projects", "velm", "a folder with a long name" };
    bar->setProperty("pathList", parts);
    bar->setProperty("displayPathList", shown);
    bar->setProperty("fullPath", QStringLiteral("/home/user/projects/velm/deep"));
    QVERIFY(QMetaObject::invokeMethod(bar, "setPath", Q_ARG(QVariant, QVariant(parts))));
    QTRY_VERIFY(find(bar, QStringLiteral("crumb_5")));
    QCOMPARE(bar->property("page").toString(), QStringLiteral("files"));

    RigPeer* peer = m_rig->addPeer(QStringLiteral("Studio workstation"));
    bar->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    qobject_cast<VfsModel*>(peer->vfsFileSystemModel())->fetchMore(QModelIndex());
    QTRY_VERIFY(find(bar, QStringLiteral("drive_0")));
    shot(bar, QStringLiteral("breadcrumb-deep"));

    QSignalSpy index(bar, SIGNAL(indexClicked(int)));
    QTRY_VERIFY(find(bar, QStringLiteral("crumb_5"))->isVisible());
    click(find(bar, QStringLiteral("crumb_5")));
    QCOMPARE(index.size(), 1);
    QCOMPARE(index.at(0).at(0).toInt(), 5);
    QCOMPARE(dragData(find(bar, QStringLiteral("crumb_5"))).value(QStringLiteral("application/velm-breadcrumb")).toString(),
             QStringLiteral("/home/user/projects/velm/deep"));

    // Ctrl+L opens the field with the whole path selected; Escape closes it.
    QSignalSpy edited(bar, SIGNAL(pathEdited(QString)));
    QQuickWindow* host = bar->window();
    host->requestActivate();
    bar->forceActiveFocus();
    QTest::keyClick(host, Qt::Key_L, Qt::ControlModifier);
    QTRY_COMPARE(bar->property("page").toString(), QStringLiteral("pathedit"));
    QQuickItem* field = find(bar, QStringLiteral("pathField"));
    QTRY_VERIFY(field->hasActiveFocus());
    QCOMPARE(field->property("text").toString(), QStringLiteral("/home/user/projects/velm/deep"));
    QCOMPARE(field->property("selectedText").toString(), QStringLiteral("/home/user/projects/velm/deep"));
    QTest::keyClick(host, Qt::Key_Escape);
    QTRY_COMPARE(bar->property("page").toString(), QStringLiteral("files"));
    QCOMPARE(edited.size(), 0);

    // Typed and confirmed: pathEdited with the text, crumbs again.
    QVERIFY(QMetaObject::invokeMethod(bar, "editPath"));
    QTRY_COMPARE(bar->property("page").toString(), QStringLiteral("pathedit"));
    QTRY_VERIFY(field->hasActiveFocus());
    for (QChar c : QStringLiteral("/tmp"))
        QTest::keyClick(host, c.toLatin1());
    QTest::keyClick(host, Qt::Key_Return);
    QTRY_COMPARE(edited.size(), 1);
    QCOMPARE(edited.at(0).at(0).toString(), QStringLiteral("/tmp"));
    QTRY_COMPARE(bar->property("page").toString(), QStringLiteral("files"));
}

void TestPeerPages::breadcrumbFollowsPages()
{
    QQuickItem* bar = show("qrc:/qml/BreadCrumb.qml", QSize(900, 140));
    QVERIFY(bar);
    QTRY_COMPARE(bar->property("page").toString(), QStringLiteral("files"));
    const QList<QPair<const char*, const char*>> steps{ { "peerViewActivated", "peerview" },
                                                        { "machineListActivated", "machinelist" },
                                                        { "filesViewActivated", "files" } };
    for (const auto& step : steps) {
        QVERIFY(QMetaObject::invokeMethod(bar, step.first));
        QTRY_COMPARE(bar->property("page").toString(), QLatin1String(step.second));
    }
    // Outside the file pages the path field does not open.
    QVERIFY(QMetaObject::invokeMethod(bar, "machineListActivated"));
    QTRY_COMPARE(bar->property("page").toString(), QStringLiteral("machinelist"));
    QVERIFY(QMetaObject::invokeMethod(bar, "editPath"));
    QTest::qWait(20);
    QCOMPARE(bar->property("page").toString(), QStringLiteral("machinelist"));

    QSignalSpy machineList(bar, SIGNAL(machineListClicked()));
    QSignalSpy home(bar, SIGNAL(homeClicked()));
    click(find(bar, QStringLiteral("networkItem")));
    click(find(bar, QStringLiteral("homeItem")));
    QCOMPARE(machineList.size(), 1);
    QCOMPARE(home.size(), 1);
}

// ---- machine list

void TestPeerPages::machineListOfflineNotice()
{
    QQuickItem* page = show("qrc:/qml/MachineList.qml");
    QVERIFY(page);
    QQuickItem* notice = find(page, QStringLiteral("machineListSettings"));
    QQuickItem* list = find(page, QStringLiteral("machineListView"));
    QVERIFY(notice && list);
    QVERIFY(!notice->isVisible());
    const qreal listTop = list->y();
    m_window->setNetworkEnabled(false);
    QVERIFY(notice->isVisible());
    QCOMPARE(notice->height(), 96.0);
    QCOMPARE(list->y(), listTop + 96);
    QCOMPARE(find(notice, QStringLiteral("offlineHint"))->property("text").toString(),
             QStringLiteral("Connecting with other computers via LAN or Internet is deactivated."));
    m_window->setNetworkEnabled(true);
    QVERIFY(!notice->isVisible());
    QCOMPARE(list->y(), listTop);
}

// The row of a peer whose link comes up turns from offline (grey icon) to
// connected, and it is the same row.
void TestPeerPages::machineRowFollowsLink()
{
    RigPeer* peer = m_rig->addPeer(QStringLiteral("Remote <b>bold</b>"), 0, IPeer::LinkDown);
    peer->setIcon(QStringLiteral("dev-desktop"));
    QQuickItem* page = show("qrc:/qml/MachineList.qml");
    QVERIFY(page);
    QQuickItem* list = find(page, QStringLiteral("machineListView"));
    QTRY_COMPARE(list->property("count").toInt(), 2);
    QQuickItem* row = nullptr;
    QTRY_VERIFY((row = [&]() -> QQuickItem* {
        for (QQuickItem* item : list->property("contentItem").value<QQuickItem*>()->childItems()) {
            if (item->property("peer").value<QObject*>() == peer)
                return item;
        }
        return nullptr;
    }()));
    QPointer<QQuickItem> kept(row);
    QCOMPARE(row->property("state").toString(), QStringLiteral("offline"));
    QQuickItem* icon = find(row, QStringLiteral("peerIcon"));
    QCOMPARE(icon->property("source").toUrl().toString(), QStringLiteral("image://theme/icongrey/dev-desktop.svg"));
    QCOMPARE(find(row, QStringLiteral("peerName"))->property("text").toString(), QStringLiteral("Remote <b>bold</b>"));

    // The look: no coloured pixel while offline, the accent once connected.
    auto colouredPixels = [&]() {
        QSharedPointer<QQuickItemGrabResult> grab = icon->grabToImage();
        if (!grab)
            return -1;
        QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
        if (!ready.wait(10000))
            return -1;
        const QImage image = grab->image();
        int coloured = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (qAbs(c.red() - c.blue()) > 40)
                    ++coloured;
            }
        }
        return coloured;
    };
    QTRY_VERIFY(icon->property("status").toInt() == 1); // Image.Ready
    QCOMPARE(colouredPixels(), 0);

    peer->setLinkState(IPeer::LinkUp);
    QCOMPARE(row->property("state").toString(), QStringLiteral("connected"));
    QCOMPARE(icon->property("source").toUrl().toString(), QStringLiteral("image://theme/icon/dev-desktop.svg"));
    QTRY_VERIFY(icon->property("status").toInt() == 1);
    QTRY_VERIFY(colouredPixels() > 10);
    QVERIFY(kept);
    QCOMPARE(list->property("count").toInt(), 2);

    peer->setLinkState(IPeer::LinkConnecting);
    QCOMPARE(row->property("state").toString(), QStringLiteral("connecting"));

    RigPeer* down = m_rig->addPeer(QStringLiteral("Old laptop"), 0, IPeer::LinkDown);
    down->setIcon(QStringLiteral("dev-laptop"));
    peer->setLinkState(IPeer::LinkUp);
    m_window->setNetworkEnabled(false);
    shot(page, QStringLiteral("machinelist-offline-switch"));
}

// A click on the own row, and the keyboard: Tab, Down, Enter.
void TestPeerPages::machineListChoosing()
{
    RigPeer* other = m_rig->addPeer(QStringLiteral("other"));
    QQuickItem* page = show("qrc:/qml/MachineList.qml");
    QVERIFY(page);
    QQuickItem* list = find(page, QStringLiteral("machineListView"));
    QTRY_COMPARE(list->property("count").toInt(), 2);
    QSignalSpy selected(page, SIGNAL(peerSelected(IPeer*)));
    QVERIFY(selected.isValid());
    QQuickItem* ownRow = nullptr;
    QTRY_VERIFY((ownRow = list->property("contentItem").value<QQuickItem*>()->childItems().value(0)));
    for (QQuickItem* item : list->property("contentItem").value<QQuickItem*>()->childItems()) {
        if (item->property("peer").value<QObject*>() == m_rig->ownPeer())
            ownRow = item;
    }
    click(ownRow);
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.at(0).at(0).value<IPeer*>(), m_rig->ownPeer());

    QQuickWindow* host = page->window();
    host->requestActivate();
    page->forceActiveFocus();
    QTest::keyClick(host, Qt::Key_Tab);
    QTRY_VERIFY(list->hasActiveFocus());
    QTest::keyClick(host, Qt::Key_Down);
    QTest::keyClick(host, Qt::Key_Return);
    QCOMPARE(selected.size(), 2);
    QCOMPARE(selected.at(1).at(0).value<IPeer*>(), other);
}

// ---- peer page

void TestPeerPages::peerViewOfflineAndBack()
{
    RigPeer* peer = m_rig->addPeer(QStringLiteral("remote"), 0, IPeer::LinkDown);
    QQuickItem* page = show("qrc:/qml/PeerView.qml");
    QVERIFY(page);
    page->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    QTRY_COMPARE(viewOf(page), QStringLiteral("offline"));
    QVERIFY(find(page, QStringLiteral("card"))->isVisible());
    QVERIFY(find(page, QStringLiteral("peerSharesHeading"))->isVisible());
    QVERIFY(find(page, QStringLiteral("mySharesHeading"))->isVisible());
    if (qEnvironmentVariableIsEmpty("VELM_SCREENSHOT_LANG"))
        QCOMPARE(find(page, QStringLiteral("offlineText"))->property("text").toString(),
                 QStringLiteral("The remote computer is currently not reachable."));
    shot(page, QStringLiteral("peerview-offline"));
    QVERIFY(!find(page, QStringLiteral("driveList")));
    QVERIFY(!find(page, QStringLiteral("sharesList")));
    // The headings do not leave the offline view.
    click(find(page, QStringLiteral("mySharesHeading")));
    click(find(page, QStringLiteral("peerSharesHeading")));
    QTest::qWait(20);
    QCOMPARE(viewOf(page), QStringLiteral("offline"));

    QPointer<QQuickItem> kept(page);
    peer->setLinkState(IPeer::LinkUp);
    QTRY_COMPARE(viewOf(page), QStringLiteral("shares"));
    peer->setLinkState(IPeer::LinkConnecting);
    QTRY_COMPARE(viewOf(page), QStringLiteral("offline"));
    peer->setLinkState(IPeer::LinkUp);
    QTRY_COMPARE(viewOf(page), QStringLiteral("shares"));
    click(find(page, QStringLiteral("mySharesHeading")));
    QTRY_COMPARE(viewOf(page), QStringLiteral("acls"));
    peer->setLinkState(IPeer::LinkDown);
    QTRY_COMPARE(viewOf(page), QStringLiteral("offline"));
    QVERIFY(kept);
}

void TestPeerPages::peerViewCardKind_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("kind");
    QTest::newRow("own peer") << ownPeerUuid() << "This PC";
    QTest::newRow("remote beginning {0000") << "{0000beef-1234-4567-89ab-0123456789ab}" << "Remote PC";
    QTest::newRow("remote of zeros but the last") << "{00000000-0000-0000-0000-000000000001}" << "Remote PC";
    QTest::newRow("remote") << QUuid::createUuid().toString() << "Remote PC";
}

void TestPeerPages::peerViewCardKind()
{
    QFETCH(QString, uuid);
    QFETCH(QString, kind);
    IPeer* peer = uuid == ownPeerUuid() ? static_cast<IPeer*>(m_rig->ownPeer()) : new RigPeer(uuid, this);
    peer->setLinkState(IPeer::LinkUp);
    peer->setDeviceType(IPeer::DeviceLaptop);
    QQuickItem* page = show("qrc:/qml/PeerView.qml");
    QVERIFY(page);
    page->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    QCOMPARE(find(page, QStringLiteral("kindText"))->property("text").toString(), kind);
    QCOMPARE(page->property("isSelfPeer").toBool(), uuid == ownPeerUuid());
    QCOMPARE(find(page, QStringLiteral("deviceImage"))->property("source").toUrl().toString(),
             QStringLiteral("qrc:///img/computer-laptop.svg"));
    QTRY_COMPARE(viewOf(page), uuid == ownPeerUuid() ? QStringLiteral("drives") : QStringLiteral("shares"));
    if (peer != m_rig->ownPeer())
        page->setProperty("peer", QVariant());
}

void TestPeerPages::peerViewNothingShared()
{
    RigPeer* peer = m_rig->addPeer(QStringLiteral("name"));
    peer->setDisplayName(QStringLiteral("Ann's <i>laptop</i>"));
    m_rig->setShares(peer, {});
    QQuickItem* page = show("qrc:/qml/PeerView.qml");
    QVERIFY(page);
    page->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    QTRY_COMPARE(viewOf(page), QStringLiteral("shares"));
    QQuickItem* notice = find(page, QStringLiteral("noSharesText"));
    QVERIFY(notice);
    QCOMPARE(notice->property("text").toString(),
             QStringLiteral("There are no shared items on \"Ann's <i>laptop</i>\"."));
    QCOMPARE(notice->property("textFormat").toInt(), int(Qt::PlainText));
    QTRY_VERIFY(notice->isVisible());
    QCOMPARE(find(page, QStringLiteral("nameText"))->property("text").toString(),
             QStringLiteral("Ann's <i>laptop</i>"));
}

// A share, an access-list entry and its "edit" reach the page's signals.
void TestPeerPages::peerViewListsAndClicks()
{
    RigPeer* peer = m_rig->addPeer(QStringLiteral("remote"));
    const QString shared = m_rig->root(peer) + QStringLiteral("/folder");
    PeerAclDto share;
    share.uuid = QUuid::createUuid().toString();
    share.name = QStringLiteral("folder");
    share.selector = shared;
    share.flags = 1 | 2 | 4;
    share.timestamp = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    m_rig->setShares(peer, { share });
    PeerAclDto mine = share;
    mine.uuid = QUuid::createUuid().toString();
    mine.name = QStringLiteral("Pictures");
    mine.selector = QStringLiteral("/home/me/Pictures");
    mine.flags = 1 | 4;
    peer->aclModel()->updateAcls({ mine });

    QQuickItem* page = show("qrc:/qml/PeerView.qml");
    QVERIFY(page);
    QSignalSpy paths(page, SIGNAL(pathClicked(QString)));
    QSignalSpy edits(page, SIGNAL(editPeerAclClicked(QString, QString)));
    page->setProperty("peer", QVariant::fromValue<QObject*>(peer));
    QTRY_COMPARE(viewOf(page), QStringLiteral("shares"));
    QTRY_VERIFY_WITH_TIMEOUT(find(page, QStringLiteral("shareRow_0")), 20000);
    QQuickItem* row = find(page, QStringLiteral("shareRow_0"));
    QTRY_VERIFY(row->isVisible() && row->height() > 0);
    QTRY_VERIFY(!find(page, QStringLiteral("noSharesText"))->isVisible());
    const QString sharePath = row->property("sharePath").toString();
    QVERIFY(!sharePath.isEmpty());
    QVERIFY(row->property("writable").toBool());
    click(row);
    QCOMPARE(paths.size(), 1);
    QCOMPARE(paths.at(0).at(0).toString(), sharePath);
    // The keyboard: the list takes the focus, Enter opens the share.
    QQuickItem* sharesView = find(page, QStringLiteral("sharesListView"));
    sharesView->forceActiveFocus();
    QTRY_VERIFY(sharesView->hasActiveFocus());
    QTest::keyClick(page->window(), Qt::Key_Return);
    QCOMPARE(paths.size(), 2);
    QCOMPARE(paths.at(1).at(0).toString(), sharePath);
    paths.clear();

    shot(page, QStringLiteral("peerview-online-shares"));
    click(find(page, QStringLiteral("mySharesHeading")));
    QTRY_COMPARE(viewOf(page), QStringLiteral("acls"));
    QTRY_VERIFY(find(page, QStringLiteral("aclRow_0")));
    shot(page, QStringLiteral("peerview-online-yourshares"));
    QQuickItem* aclRow = find(page, QStringLiteral("aclRow_0"));
    QTRY_VERIFY(aclRow->width() > 0);
    click(aclRow);
    QCOMPARE(paths.size(), 1);
    QCOMPARE(paths.at(0).at(0).toString(), mine.selector);
    click(find(aclRow, QStringLiteral("editButton")));
    QCOMPARE(edits.size(), 1);
    QCOMPARE(edits.at(0).at(0).toString(), peer->uuid());
    QCOMPARE(edits.at(0).at(1).toString(), mine.uuid);

    click(find(page, QStringLiteral("peerSharesHeading")));
    QTRY_COMPARE(viewOf(page), QStringLiteral("shares"));
}

// The own peer opens on its drives; Tab, Enter open one.
void TestPeerPages::peerViewOwnDrives()
{
    QQuickItem* page = show("qrc:/qml/PeerView.qml");
    QVERIFY(page);
    QSignalSpy paths(page, SIGNAL(pathClicked(QString)));
    page->setProperty("peer", QVariant::fromValue<QObject*>(m_rig->ownPeer()));
    QTRY_COMPARE(viewOf(page), QStringLiteral("drives"));
    QTRY_VERIFY(find(page, QStringLiteral("driveRow_0")));
    QQuickItem* row = find(page, QStringLiteral("driveRow_0"));
    QTRY_VERIFY(row->width() > 0);
    const QString path = row->property("drivePath").toString();
    QCOMPARE(dragData(row).value(QStringLiteral("application/velm-breadcrumb")).toString(), path);
    QCOMPARE(dragData(row).value(QStringLiteral("application/velm-peer-uuid")).toString(), ownPeerUuid());
    shot(page, QStringLiteral("peerview-own-drives"));
    click(row);
    QCOMPARE(paths.size(), 1);
    QCOMPARE(paths.at(0).at(0).toString(), path);
    QVERIFY(find(row, QStringLiteral("spaceText"))->property("text").toString().contains(QLatin1String("GB")));

    QQuickItem* list = find(page, QStringLiteral("driveList"));
    list->forceActiveFocus();
    QTRY_VERIFY(list->hasActiveFocus());
    QTest::keyClick(page->window(), Qt::Key_Return);
    QCOMPARE(paths.size(), 2);
    QCOMPARE(paths.at(1).at(0).toString(), path);
}

QTEST_MAIN(TestPeerPages)
#include "tst_peerpages.moc"
