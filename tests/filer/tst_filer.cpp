#include "filertestbase.h"

#include "filer/filericonview.h"
#include "filer/filertreeview.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "share/sharewithdialog.h"
#include "vfs/server/vfsaccesstest.h"
#include "vfs/server/vfsservervelm.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QJSValue>
#include <QQuickWidget>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QFileInfo>
#include <QQuickItem>
#include <QtTest>

// A Filer against peers served from temporary trees over the in-process
// link: going to paths (loaded or not), history, the uses it holds on the
// peers' models, and the mouse gestures.
class TestFiler : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void freshFilerShowsPeerPageInColumns();
    void samePeerTwiceBindsOnce();
    void notLoadedDirectoryReachedAfterResolution();
    void lateAnswerIsIgnored();
    void filePathOpensDirectoryWithFileSelected();
    void closedDirectoryEndsInEnterableAncestor();
    void upSelectsDirectoryLeft();
    void historyKeepsTwentyAndNoRepeats();
    void backToRemovedPeerConsumesEntry();
    void homeSwitchesToOwnPeer();
    void crumbZeroGoesToFirstPart();
    void resolveLoopEnds();
    void usesReturnToModelTheyCameFrom_data();
    void usesReturnToModelTheyCameFrom();
    void gestures_data();
    void gestures();
    void controlWheelZoomsOnlyOnFilesPage();
    void viewModeOnlyInActiveFiler();
    void closingTabFilerSendsNoAboutToClose();
    void pageSignalsReachFiler();
    void machineListOpensWithoutPeer();
    void breadcrumbBarFollowsFiler();
    void peerPageEditsStoredShare();

private:
    // Goes to a path and waits until the Filer shows it.
    bool go(Filer* filer, const QString& path);

    std::unique_ptr<FilerFixture> f;
};

void TestFiler::init()
{
    f.reset(new FilerFixture);
}

void TestFiler::cleanup()
{
    f.reset();
}

bool TestFiler::go(Filer* filer, const QString& path)
{
    filer->gotoPath(path);
    for (int i = 0; i < 1000 && filer->path() != path; ++i)
        QTest::qWait(10);
    return filer->path() == path;
}

void TestFiler::freshFilerShowsPeerPageInColumns()
{
    Filer* filer = f->newFiler();
    QVERIFY(!filer->peer());
    QCOMPARE(filer->pages()->currentWidget(), static_cast<QWidget*>(filer->peerViewPage()));
    QCOMPARE(filer->viewMode(), int(Filer::ViewColumns));
    QCOMPARE(filer->currentView(), static_cast<QAbstractItemView*>(filer->treeView()));
    QCOMPARE(filer->path(), QStringLiteral("%peerview"));
    QVERIFY(filer->peerViewPage()->rootObject());
    QVERIFY(filer->machineListPage()->rootObject());
    QVERIFY(filer->topNavigation()->rootObject());
}

void TestFiler::samePeerTwiceBindsOnce()
{
    Filer* filer = f->newFiler();
    QSignalSpy changed(filer, &Filer::peerChanged);
    filer->setPeer(f->rig->ownPeer());
    filer->setPeer(f->rig->ownPeer());
    QCOMPARE(changed.count(), 1);
    QVERIFY(f->rig->ownPeer()->activeDisplay());
}

void TestFiler::notLoadedDirectoryReachedAfterResolution()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("slow"), 20);
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("a/b/c") });
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    const QString target = root + QStringLiteral("/a/b/c");
    QVERIFY(!FilerFixture::modelOf(peer)->indexForPath(target).isValid());

    // When the Filer announces the resolution, it is not there yet: it goes
    // a moment later.
    QStringList pathAtAnnouncement;
    connect(filer, &Filer::pathResolved, filer, [&](const QModelIndex& index, const QStringList& list) {
        QVERIFY(index.isValid());
        QVERIFY(!list.isEmpty());
        pathAtAnnouncement << filer->path();
    });
    QSignalSpy resolved(filer, &Filer::pathResolved);
    filer->gotoPath(target);
    QCOMPARE(filer->pendingPath(), target);
    QVERIFY(filer->path() != target);
    QTRY_COMPARE_WITH_TIMEOUT(filer->path(), target, 15000);
    QCOMPARE(resolved.count(), 1);
    QCOMPARE(pathAtAnnouncement.size(), 1);
    QVERIFY(pathAtAnnouncement.first() != target);
    QVERIFY(filer->pendingPath().isEmpty());
    QCOMPARE(filer->pages()->currentWidget(), filer->filesPage());
}

void TestFiler::lateAnswerIsIgnored()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("down"), 0, IPeer::LinkDown);
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    const QString root = f->rig->root(peer);
    filer->gotoPath(root + QStringLiteral("/first"));
    filer->gotoPath(root + QStringLiteral("/second"));
    QCOMPARE(filer->pendingPath(), root + QStringLiteral("/second"));

    QSignalSpy resolved(filer, &Filer::pathResolved);
    QSignalSpy failed(filer, &Filer::pathResolveFailed);
    emit FilerFixture::modelOf(peer)->pathResolved(0, root + QStringLiteral("/first"));
    QTest::qWait(50);
    QCOMPARE(resolved.count(), 0);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(filer->pendingPath(), root + QStringLiteral("/second"));
}

void TestFiler::filePathOpensDirectoryWithFileSelected()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("files"));
    filer->setPeer(peer);
    const QString root = f->rig->root(peer);
    const QString file = root + QStringLiteral("/folder/inner.txt");
    filer->gotoPath(file);
    QTRY_COMPARE_WITH_TIMEOUT(filer->path(), root + QStringLiteral("/folder"), 15000);
    QTRY_COMPARE(filer->currentItemPath(), file);
    const QModelIndexList rows = filer->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().data(VfsModel::PathRole).toString(), file);
}

void TestFiler::closedDirectoryEndsInEnterableAncestor()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("closed"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("open/closed/deeper") });
    // The tests run as root: the access test stands in for an ordinary user
    // (the server asks it with paths through the directory's descriptor).
    f->rig->server(peer)->setAccessTest(VfsAccessTest([](const QByteArray& path, int mode) {
        if (path.endsWith("/closed") && (mode & VfsAccessTest::Execute))
            return false;
        return VfsAccessTest::systemTest(path, mode);
    }));
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    QVERIFY(go(filer, root + QStringLiteral("/open")));
    VfsModel* model = FilerFixture::modelOf(peer);
    QTRY_VERIFY(model->indexForPath(root + QStringLiteral("/open/closed")).isValid());
    filer->gotoPath(root + QStringLiteral("/open/closed"));
    QTest::qWait(50);
    QCOMPARE(filer->path(), root + QStringLiteral("/open"));
    QVERIFY(filer->pendingPath().isEmpty());
}

void TestFiler::upSelectsDirectoryLeft()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("up"));
    filer->setPeer(peer);
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("alpha"), QStringLiteral("beta"), QStringLiteral("gamma") });
    QVERIFY(go(filer, root + QStringLiteral("/beta")));
    filer->onUpClicked();
    QCOMPARE(filer->path(), root);
    QCOMPARE(filer->currentItemPath(), root + QStringLiteral("/beta"));
    QVERIFY(filer->selectionModel()->isRowSelected(filer->currentView()->currentIndex().row(),
                                                   filer->currentView()->rootIndex()));
}

void TestFiler::historyKeepsTwentyAndNoRepeats()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("history"));
    const QString root = f->rig->root(peer);
    QStringList dirs;
    for (int i = 0; i < 21; ++i)
        dirs << QStringLiteral("d%1").arg(i, 2, 10, QLatin1Char('0'));
    FilerFixture::makeDirs(root, dirs);
    filer->setPeer(peer);
    for (const QString& dir : dirs)
        QVERIFY(go(filer, root + QLatin1Char('/') + dir));
    QList<FilerHistoryEntry> history = filer->history();
    QCOMPARE(history.size(), Filer::HistoryLimit);
    QCOMPARE(history.last().path, root + QStringLiteral("/d20"));
    QCOMPARE(history.first().path, root + QStringLiteral("/d01"));

    filer->gotoPath(root + QStringLiteral("/d20"));
    filer->pushHistory(FilerHistoryEntry{ peer->uuid(), root + QStringLiteral("/d20") });
    QCOMPARE(filer->history().size(), Filer::HistoryLimit);
    QCOMPARE(filer->history().at(Filer::HistoryLimit - 2).path, root + QStringLiteral("/d19"));

    // Back goes to the place before, not to where the Filer is.
    filer->onBackClicked();
    QCOMPARE(filer->path(), root + QStringLiteral("/d19"));
}

void TestFiler::backToRemovedPeerConsumesEntry()
{
    Filer* filer = f->newFiler();
    RigPeer* own = f->rig->ownPeer();
    RigPeer* gone = f->rig->addPeer(QStringLiteral("gone"));
    const QString goneRoot = f->rig->root(gone);
    filer->setPeer(gone);
    QVERIFY(go(filer, goneRoot));
    filer->setPeer(own);
    QVERIFY(go(filer, f->rig->root(own)));
    const int before = filer->history().size();
    f->rig->peerModel()->removePeer(gone);

    filer->onBackClicked();
    QCOMPARE(filer->peer(), static_cast<IPeer*>(own));
    QCOMPARE(filer->path(), f->rig->root(own));
    const QList<FilerHistoryEntry> history = filer->history();
    QVERIFY(history.size() < before);
    QVERIFY(std::none_of(history.begin(), history.end(),
                         [&](const FilerHistoryEntry& e) { return e.path == goneRoot; }));
}

void TestFiler::homeSwitchesToOwnPeer()
{
    Filer* filer = f->newFiler();
    RigPeer* other = f->rig->addPeer(QStringLiteral("other"));
    filer->setPeer(other);
    filer->gotoPath(QStringLiteral("%home"));
    QCOMPARE(filer->peer(), static_cast<IPeer*>(f->rig->ownPeer()));
}

void TestFiler::crumbZeroGoesToFirstPart()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("crumbs"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("one/two") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root + QStringLiteral("/one/two")));
    const QStringList parts = filer->pathList();
    QVERIFY(parts.size() >= 3);
    QCOMPARE(parts.last(), QStringLiteral("two"));
    filer->onBreadCrumpClicked(parts.size() - 2);
    QCOMPARE(filer->path(), root + QStringLiteral("/one"));
    filer->onBreadCrumpClicked(0);
    QCOMPARE(filer->pathList(), QStringList{ parts.first() });
    QCOMPARE(filer->path(), QStringLiteral("/"));
}

// A model that answers success for a path it then cannot find: the Filer
// asks once more and then gives up, instead of the two calling each other.
void TestFiler::resolveLoopEnds()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("liar"), 0, IPeer::LinkDown);
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    VfsModel* model = FilerFixture::modelOf(peer);
    const QString path = f->rig->root(peer) + QStringLiteral("/nowhere");
    filer->gotoPath(path);
    QCOMPARE(filer->pendingPath(), path);
    QSignalSpy failed(filer, &Filer::pathResolveFailed);
    QSignalSpy resolved(filer, &Filer::pathResolved);

    emit model->pathResolved(0, path);
    QTest::qWait(30);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(filer->pendingPath(), path); // asked again

    emit model->pathResolved(0, path);
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(filer->pendingPath().isEmpty());

    emit model->pathResolved(0, path);
    QTest::qWait(30);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(resolved.count(), 0);
}

void TestFiler::usesReturnToModelTheyCameFrom_data()
{
    QTest::addColumn<bool>("closeFiler");
    QTest::newRow("peer changes") << false;
    QTest::newRow("filer closes") << true;
}

void TestFiler::usesReturnToModelTheyCameFrom()
{
    QFETCH(bool, closeFiler);
    RigPeer* a = f->rig->addPeer(QStringLiteral("A"));
    RigPeer* b = f->rig->addPeer(QStringLiteral("B"));
    const QString dir = f->rig->root(a) + QStringLiteral("/folder");
    Filer* filer = f->newFiler();
    filer->setPeer(a);
    QVERIFY(go(filer, f->rig->root(a)));
    VfsModel* modelA = FilerFixture::modelOf(a);
    QTRY_VERIFY(modelA->indexForPath(dir).isValid());
    const int before = modelA->useCount(dir);
    QVERIFY(go(filer, dir));
    QCOMPARE(modelA->useCount(dir), before + 1);
    QCOMPARE(modelA->useCount(f->rig->root(a)), 0);

    if (closeFiler) {
        delete filer;
    } else {
        filer->setPeer(b);
        QVERIFY(go(filer, f->rig->root(b)));
        QVERIFY(filer->retainedPath() == f->rig->root(b));
    }
    QCOMPARE(modelA->useCount(dir), before);
}

void TestFiler::gestures_data()
{
    QTest::addColumn<QPoint>("drag");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("left, 10 drift") << QPoint(-60, 10) << "back";
    QTest::newRow("left, 35 drift") << QPoint(-60, 35) << "none";
    QTest::newRow("down") << QPoint(0, 60) << "nodeview";
    QTest::newRow("up") << QPoint(0, -60) << "up";
    QTest::newRow("right") << QPoint(60, 0) << "none";
    QTest::newRow("within 15") << QPoint(8, 7) << "menu";
}

void TestFiler::gestures()
{
    QFETCH(QPoint, drag);
    QFETCH(QString, outcome);
    QAction nodeView;
    SharedActions::showNodeView = &nodeView;
    QSignalSpy nodeViewSpy(&nodeView, &QAction::triggered);

    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("gestures"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("a/b"), QStringLiteral("c") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root + QStringLiteral("/a/b")));
    QVERIFY(go(filer, root + QStringLiteral("/c")));
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    QSignalSpy menu(filer, &Filer::contextMenuRequested);

    QWidget* viewport = filer->currentView()->viewport();
    const QPoint start(100, 100);
    QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, start);
    QTest::mouseRelease(viewport, Qt::RightButton, Qt::NoModifier, start + drag);

    const QString expectedPath = outcome == QLatin1String("back") ? root + QStringLiteral("/a/b")
                                 : outcome == QLatin1String("up") ? root
                                                                  : root + QStringLiteral("/c");
    QCOMPARE(filer->path(), expectedPath);
    QCOMPARE(nodeViewSpy.count(), outcome == QLatin1String("nodeview") ? 1 : 0);
    QCOMPARE(menu.count(), outcome == QLatin1String("menu") ? 1 : 0);
    SharedActions::showNodeView = nullptr;
}

void TestFiler::controlWheelZoomsOnlyOnFilesPage()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("wheel"));
    filer->setPeer(peer);
    QVERIFY(go(filer, f->rig->root(peer)));
    filer->setViewMode(Filer::ViewIcons);
    QCOMPARE(f->hub->activeFiler(), filer);
    QWidget* viewport = filer->iconView()->viewport();
    auto wheel = [&](QWidget* target) {
        QWheelEvent event(QPointF(50, 50), viewport->mapToGlobal(QPoint(50, 50)), QPoint(), QPoint(0, 120),
                          Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(target, &event);
        return event.isAccepted();
    };
    QCOMPARE(filer->iconView()->iconStep(), 4);
    wheel(viewport);
    QCOMPARE(filer->iconView()->iconStep(), 5);

    filer->showPeerView();
    wheel(viewport);
    QCOMPARE(filer->iconView()->iconStep(), 5);
    // Over the peer page the wheel is the page's own.
    wheel(filer->peerViewPage());
    QCOMPARE(filer->iconView()->iconStep(), 5);
}

void TestFiler::viewModeOnlyInActiveFiler()
{
    Filer* first = f->newFiler();
    Filer* second = f->newFiler();
    QCOMPARE(f->hub->activeFiler(), second);
    first->viewAsList();
    QCOMPARE(first->viewMode(), int(Filer::ViewColumns));
    second->viewAsList();
    QCOMPARE(second->viewMode(), int(Filer::ViewList));
    QCOMPARE(second->visibleColumns(), QList<int>{ VfsModel::NameColumn });
    second->viewAsColumns();
    QCOMPARE(second->visibleColumns(), (QList<int>{ VfsModel::NameColumn, VfsModel::AccessColumn,
                                                     VfsModel::SizeColumn, VfsModel::MTimeStringColumn }));
    second->viewAsIcons();
    QCOMPARE(second->currentView(), static_cast<QAbstractItemView*>(second->iconView()));
    QVERIFY(second->treeView()->isHidden());
}

void TestFiler::closingTabFilerSendsNoAboutToClose()
{
    Filer* filer = f->newFiler();
    QSignalSpy closing(filer, &Filer::aboutToClose);
    filer->close();
    QCOMPARE(closing.count(), 0);
}

// The pages' signals are wired to the Filer: a machine chosen in the list
// binds it, a path clicked on the peer page opens it.
void TestFiler::pageSignalsReachFiler()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("chosen"));
    QObject* list = filer->machineListPage()->rootObject();
    QVERIFY(list);
    QVERIFY(QMetaObject::invokeMethod(list, "peerSelected", Q_ARG(IPeer*, peer))
            || QMetaObject::invokeMethod(list, "peerSelected", Q_ARG(QObject*, peer)));
    QCOMPARE(filer->peer(), static_cast<IPeer*>(peer));
    QCOMPARE(filer->pages()->currentWidget(), static_cast<QWidget*>(filer->peerViewPage()));
    QCOMPARE(filer->peerViewPage()->rootObject()->property("peer").value<QObject*>(), static_cast<QObject*>(peer));

    QVERIFY(QMetaObject::invokeMethod(filer->peerViewPage()->rootObject(), "pathClicked",
                                      Q_ARG(QString, f->rig->root(peer))));
    QTRY_COMPARE_WITH_TIMEOUT(filer->path(), f->rig->root(peer), 15000);

    QObject* bar = filer->topNavigation()->rootObject();
    QVERIFY(QMetaObject::invokeMethod(bar, "upClicked"));
    QCOMPARE(filer->path(), QFileInfo(f->rig->root(peer)).path());
    QVERIFY(QMetaObject::invokeMethod(bar, "machineListClicked"));
    QCOMPARE(filer->path(), QStringLiteral("%machinelist"));
    QCOMPARE(filer->pages()->currentWidget(), static_cast<QWidget*>(filer->machineListPage()));
}

// Remote > Network and a new invitation show the machine list before this
// machine has started, when no Filer has a peer yet.
void TestFiler::machineListOpensWithoutPeer()
{
    Filer* filer = f->newFiler();
    QVERIFY(!filer->peer());
    filer->gotoPath(QStringLiteral("%machinelist"));
    QCOMPARE(filer->path(), QStringLiteral("%machinelist"));
    QCOMPARE(filer->pages()->currentWidget(), static_cast<QWidget*>(filer->machineListPage()));
}

static QStringList listProperty(QObject* object, const char* name)
{
    QVariant value = object->property(name);
    if (value.userType() == qMetaTypeId<QJSValue>())
        value = value.value<QJSValue>().toVariant();
    return value.toStringList();
}

// The bar gets the real parts, the shown names and the full path of each
// place; a crumb and Ctrl+L come back to the Filer.
void TestFiler::breadcrumbBarFollowsFiler()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("bar"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("one/two") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root + QStringLiteral("/one/two")));
    QObject* bar = filer->topNavigation()->rootObject();
    QVERIFY(bar);
    QCOMPARE(bar->property("filer").value<QObject*>(), static_cast<QObject*>(filer));
    QCOMPARE(bar->property("peer").value<QObject*>(), static_cast<QObject*>(peer));
    const QStringList parts = filer->pathList();
    QVERIFY(parts.size() >= 3);
    QCOMPARE(listProperty(bar, "pathList"), parts);
    QCOMPARE(listProperty(bar, "displayPathList"), filer->displayPath());
    QCOMPARE(bar->property("fullPath").toString(), root + QStringLiteral("/one/two"));

    QVERIFY(QMetaObject::invokeMethod(bar, "indexClicked", Q_ARG(int, parts.size() - 2)));
    QTRY_COMPARE(filer->path(), root + QStringLiteral("/one"));
    QCOMPARE(bar->property("fullPath").toString(), root + QStringLiteral("/one"));
    QCOMPARE(listProperty(bar, "pathList"), parts.mid(0, parts.size() - 1));

    QSignalSpy editing(bar, SIGNAL(pathEditActivated()));
    auto* editPath = filer->findChild<QAction*>(QStringLiteral("editPathAction"));
    QVERIFY(editPath);
    QCOMPARE(editPath->shortcut(), QKeySequence(QStringLiteral("Ctrl+L")));
    editPath->trigger();
    QCOMPARE(editing.count(), 1);
}

// The peer page's "edit" of a share opens that share's window; a share
// that has gone meanwhile opens nothing.
void TestFiler::peerPageEditsStoredShare()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("friend"));
    f->rig->storePeer(peer->uuid());
    filer->setPeer(peer);
    PeerAclDto stored;
    stored.uuid = QUuid::createUuid().toString();
    stored.name = QStringLiteral("photos");
    stored.selector = f->rig->root(peer);
    stored.flags = 1;
    stored.timestamp = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    QVERIFY(f->rig->database()->putAcl(peer->uuid(), stored));
    QObject* page = filer->peerViewPage()->rootObject();
    QVERIFY(page);

    QVERIFY(QMetaObject::invokeMethod(page, "editPeerAclClicked", Q_ARG(QString, peer->uuid()),
                                      Q_ARG(QString, QUuid::createUuid().toString())));
    QVERIFY(!filer->findChild<ShareWithDialog*>());

    QVERIFY(QMetaObject::invokeMethod(page, "editPeerAclClicked", Q_ARG(QString, peer->uuid()),
                                      Q_ARG(QString, stored.uuid)));
    auto* dialog = filer->findChild<ShareWithDialog*>();
    QVERIFY(dialog);
    QCOMPARE(dialog->peerUuid(), peer->uuid());
    QCOMPARE(dialog->acl(), stored);
    delete dialog;
}

QTEST_MAIN(TestFiler)
#include "tst_filer.moc"
