#include "filertestbase.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

// The pane: its tabs and "+", the keys that act only in the active pane,
// Filer windows, and the Filers written to and read back from config.ini.
class TestFilerPane : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void oneFilerOneTabAndPlus();
    void plusOpensTabForActiveFiler();
    void plusReturnsLastAfterDrag();
    void ctrlTabOnLastGoesToFirst();
    void keysActOnlyInActivePane();
    void middleClickOnOnlyTabOrPlus_data();
    void middleClickOnOnlyTabOrPlus();
    void windowGeometry_data();
    void windowGeometry();
    void lowPaneWindowOnScreen();

    void groupName();
    void emptyFileGivesOneTab();
    void tabsComeBackInOrder();
    void windowComesBackFirst();
    void closedTabLeavesNoGroup();
    void unknownPeerGroupStays();
    void windowOpenAtQuitIsKept();

private:
    QSettings settings() const;
    void writeGroup(const QString& uuid, const QString& peer, const QString& path, bool tab, int tabIndex,
                    int pane = 0);
    std::unique_ptr<FilerFixture> f;
    std::unique_ptr<QAction> m_newWindow;
};

void TestFilerPane::init()
{
    m_newWindow.reset(new QAction);
    SharedActions::newWindow = m_newWindow.get();
    f.reset(new FilerFixture);
}

void TestFilerPane::cleanup()
{
    f.reset();
    m_newWindow.reset();
}

QSettings TestFilerPane::settings() const
{
    return QSettings(f->rig->configDirectory() + QStringLiteral("/config.ini"), QSettings::IniFormat);
}

void TestFilerPane::writeGroup(const QString& uuid, const QString& peer, const QString& path, bool tab, int tabIndex,
                               int pane)
{
    QSettings s = settings();
    s.beginGroup(FilerPane::settingsGroup(uuid));
    s.setValue(QStringLiteral("uuid"), uuid);
    s.setValue(QStringLiteral("peeruuid"), peer);
    s.setValue(QStringLiteral("path"), path);
    s.setValue(QStringLiteral("viewmode"), int(Filer::ViewIcons));
    s.setValue(QStringLiteral("paneindex"), pane);
    s.setValue(QStringLiteral("tab"), tab);
    s.setValue(QStringLiteral("tabindex"), tabIndex);
    s.endGroup();
    s.sync();
}

void TestFilerPane::oneFilerOneTabAndPlus()
{
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    f->newFiler();
    QTabWidget* tabs = f->pane->tabWidget();
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(1), QStringLiteral("+"));
    QVERIFY(!tabs->tabsClosable());
    QVERIFY(!tabs->tabBar()->isVisible());
    QVERIFY(!f->pane->hasMultipleTabs());
    f->newFiler();
    QVERIFY(tabs->tabsClosable());
    QVERIFY(f->pane->hasMultipleTabs());
    QWidget* plusButton = tabs->tabBar()->tabButton(2, QTabBar::RightSide);
    QVERIFY(!plusButton || !plusButton->isVisible());
}

void TestFilerPane::plusOpensTabForActiveFiler()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("plus"));
    Filer* first = f->newFiler();
    first->setPeer(peer);
    first->gotoPath(f->rig->root(peer));
    QTRY_COMPARE_WITH_TIMEOUT(first->path(), f->rig->root(peer), 15000);
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    f->pane->showTabBar();
    QTabBar* bar = f->pane->tabWidget()->tabBar();
    QTRY_VERIFY(bar->isVisible());
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(1).center());
    QTabWidget* tabs = f->pane->tabWidget();
    QTRY_COMPARE(tabs->count(), 3);
    auto* second = qobject_cast<Filer*>(tabs->widget(1));
    QVERIFY(second && second != first);
    QCOMPARE(tabs->currentIndex(), 1);
    QCOMPARE(f->pane->currentFiler(), second);
    QCOMPARE(second->peer(), static_cast<IPeer*>(peer));
    QCOMPARE(second->path(), f->rig->root(peer));
}

void TestFilerPane::plusReturnsLastAfterDrag()
{
    f->newFiler();
    f->newFiler();
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    f->pane->showTabBar();
    QTabBar* bar = f->pane->tabWidget()->tabBar();
    QTRY_VERIFY(bar->isVisible());
    // A drag that left "+" in the middle.
    bar->moveTab(2, 1);
    QCOMPARE(f->pane->tabWidget()->tabText(1), QStringLiteral("+"));
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(0).center());
    QTRY_COMPARE(f->pane->tabWidget()->tabText(2), QStringLiteral("+"));
    QVERIFY(qobject_cast<Filer*>(f->pane->tabWidget()->widget(0)));
    QVERIFY(qobject_cast<Filer*>(f->pane->tabWidget()->widget(1)));
}

void TestFilerPane::ctrlTabOnLastGoesToFirst()
{
    f->newFiler();
    f->newFiler();
    f->newFiler();
    QTabWidget* tabs = f->pane->tabWidget();
    QCOMPARE(tabs->currentIndex(), 2);
    QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(tabs->currentIndex(), 0);
    QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(tabs->currentIndex(), 1);
    QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(tabs->currentIndex(), 2);
}

void TestFilerPane::keysActOnlyInActivePane()
{
    FilerPane other(f->engine.get(), f->rig->database(), f->hub.get());
    QCOMPARE(other.paneIndex(), 1);
    QCOMPARE(f->pane->paneIndex(), 0);
    f->newFiler();
    f->hub->setActiveFilerPane(&other);
    other.createFiler(1, QUuid::createUuid().toString());
    f->hub->setActiveFilerPane(f->pane.get());

    SharedActions::newTab->trigger();
    QCOMPARE(f->pane->tabWidget()->count(), 3);
    QCOMPARE(other.tabWidget()->count(), 2);
    SharedActions::closeTab->trigger();
    QTRY_COMPARE(f->pane->filerCount(), 1);
    QCOMPARE(other.filerCount(), 1);
    SharedActions::closeTab->trigger(); // the last tab stays
    QCOMPARE(f->pane->tabWidget()->count(), 2);

    SharedActions::newWindow->trigger();
    QCOMPARE(f->pane->filerCount(), 2);
    QCOMPARE(other.filerCount(), 1);
    QVERIFY(f->pane->filers().last()->isStandalone());
    QCOMPARE(f->pane->tabWidget()->count(), 2);
}

void TestFilerPane::middleClickOnOnlyTabOrPlus_data()
{
    QTest::addColumn<int>("tab");
    QTest::newRow("only tab") << 0;
    QTest::newRow("plus") << 1;
}

void TestFilerPane::middleClickOnOnlyTabOrPlus()
{
    QFETCH(int, tab);
    f->newFiler();
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    f->pane->showTabBar();
    QTabBar* bar = f->pane->tabWidget()->tabBar();
    QTRY_VERIFY(bar->isVisible());
    QTest::mouseClick(bar, Qt::MiddleButton, Qt::NoModifier, bar->tabRect(tab).center());
    QTest::qWait(20);
    QCOMPARE(f->pane->filerCount(), 1);
    QCOMPARE(f->pane->tabWidget()->count(), 2);
    // With two Filer tabs the middle button closes the one under it.
    Filer* second = f->newFiler();
    QTest::mouseClick(bar, Qt::MiddleButton, Qt::NoModifier, bar->tabRect(1).center());
    QTRY_COMPARE(f->pane->filerCount(), 1);
    QVERIFY(!f->pane->filers().contains(second));
}

void TestFilerPane::windowGeometry_data()
{
    QTest::addColumn<QRect>("pane");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QRect>("window");
    QTest::newRow("800x600 at 100,50") << QRect(100, 50, 800, 600) << QSize(0, 0) << QRect(920, 190, 760, 320);
    QTest::newRow("lower than 280") << QRect(0, 0, 400, 250) << QSize(320, 480) << QRect(420, 140, 360, 480);
}

void TestFilerPane::windowGeometry()
{
    QFETCH(QRect, pane);
    QFETCH(QSize, minimum);
    QFETCH(QRect, window);
    QCOMPARE(FilerPane::filerWindowGeometry(pane, minimum), window);
}

void TestFilerPane::lowPaneWindowOnScreen()
{
    f->newFiler();
    f->pane->resize(300, 200);
    f->pane->move(1500, 900);
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    Filer* window = f->pane->createFiler(0, QUuid::createUuid().toString());
    QVERIFY(window->isStandalone());
    QVERIFY(window->height() >= window->minimumHeight());
    QVERIFY(window->height() > 0 && window->width() > 0);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(screen.contains(window->geometry()), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                  .arg(window->x())
                                                                  .arg(window->y())
                                                                  .arg(window->width())
                                                                  .arg(window->height())));
}

void TestFilerPane::groupName()
{
    QCOMPARE(FilerPane::settingsGroup(QStringLiteral("abc")), QStringLiteral("Filer_96354"));
    // Unsigned and wrapping, as the hash of a braced uuid is.
    const QString group = FilerPane::settingsGroup(QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
    QVERIFY(group.startsWith(QStringLiteral("Filer_")));
    QVERIFY(!group.contains(QLatin1Char('-')));
}

void TestFilerPane::emptyFileGivesOneTab()
{
    f->pane->restoreFilerSettings();
    QCOMPARE(f->pane->filerCount(), 1);
    QCOMPARE(f->pane->tabWidget()->count(), 2);
    QVERIFY(!QUuid(f->pane->currentFiler()->uuid()).isNull());
}

void TestFilerPane::tabsComeBackInOrder()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("order"));
    const QString root = f->rig->root(peer);
    writeGroup(QStringLiteral("{second}"), peer->uuid(), root, true, 1);
    writeGroup(QStringLiteral("{first}"), peer->uuid(), root + QStringLiteral("/folder"), true, 0);
    writeGroup(QStringLiteral("{other pane}"), peer->uuid(), root, true, 0, 1);
    f->pane->restoreFilerSettings();
    QCOMPARE(f->pane->filerCount(), 2);
    QTabWidget* tabs = f->pane->tabWidget();
    QCOMPARE(qobject_cast<Filer*>(tabs->widget(0))->uuid(), QStringLiteral("{first}"));
    QCOMPARE(qobject_cast<Filer*>(tabs->widget(1))->uuid(), QStringLiteral("{second}"));
    QCOMPARE(qobject_cast<Filer*>(tabs->widget(0))->viewMode(), int(Filer::ViewIcons));
    QTRY_COMPARE_WITH_TIMEOUT(qobject_cast<Filer*>(tabs->widget(0))->path(), root + QStringLiteral("/folder"), 15000);
}

void TestFilerPane::windowComesBackFirst()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("window"));
    const QString root = f->rig->root(peer);
    writeGroup(QStringLiteral("{tab}"), peer->uuid(), root, true, 0);
    writeGroup(QStringLiteral("{window}"), peer->uuid(), root, false, -1);
    f->pane->restoreFilerSettings();
    const QList<Filer*> filers = f->pane->filers();
    QCOMPARE(filers.size(), 2);
    QCOMPARE(filers.first()->uuid(), QStringLiteral("{window}"));
    QVERIFY(filers.first()->isStandalone());
    QVERIFY(!filers.last()->isStandalone());
}

void TestFilerPane::closedTabLeavesNoGroup()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("closed"));
    const QString root = f->rig->root(peer);
    writeGroup(QStringLiteral("{keep}"), peer->uuid(), root, true, 0);
    writeGroup(QStringLiteral("{close}"), peer->uuid(), root, true, 1);
    f->pane->restoreFilerSettings();
    QCOMPARE(f->pane->filerCount(), 2);
    f->pane->tabWidget()->setCurrentIndex(1);
    SharedActions::closeTab->trigger();
    QVERIFY(!settings().childGroups().contains(FilerPane::settingsGroup(QStringLiteral("{close}"))));
    QTRY_COMPARE(f->pane->filerCount(), 1);
    f->pane.reset(); // quits
    const QStringList groups = settings().childGroups();
    QVERIFY(!groups.contains(FilerPane::settingsGroup(QStringLiteral("{close}"))));
    QVERIFY(groups.contains(FilerPane::settingsGroup(QStringLiteral("{keep}"))));
    QCOMPARE(settings().value(QStringLiteral("FilerPane_0/tabindex")).toInt(), 0);
}

void TestFilerPane::unknownPeerGroupStays()
{
    writeGroup(QStringLiteral("{lost}"), QStringLiteral("{11111111-2222-3333-4444-555555555555}"),
               QStringLiteral("/somewhere"), true, 0);
    f->pane->restoreFilerSettings();
    QCOMPARE(f->pane->filerCount(), 1);
    QVERIFY(f->pane->currentFiler()->uuid() != QStringLiteral("{lost}"));
    f->pane.reset();
    QVERIFY(settings().childGroups().contains(FilerPane::settingsGroup(QStringLiteral("{lost}"))));
}

void TestFilerPane::windowOpenAtQuitIsKept()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("quit"));
    Filer* tab = f->newFiler();
    tab->setPeer(peer);
    tab->gotoPath(f->rig->root(peer));
    QTRY_COMPARE_WITH_TIMEOUT(tab->path(), f->rig->root(peer), 15000);
    Filer* window = f->pane->createFiler(0, QStringLiteral("{window}"));
    QCOMPARE(window->peer(), static_cast<IPeer*>(peer));
    f->pane.reset();
    QSettings s = settings();
    s.beginGroup(FilerPane::settingsGroup(QStringLiteral("{window}")));
    QCOMPARE(s.value(QStringLiteral("uuid")).toString(), QStringLiteral("{window}"));
    QCOMPARE(s.value(QStringLiteral("peeruuid")).toString(), peer->uuid());
    QCOMPARE(s.value(QStringLiteral("path")).toString(), f->rig->root(peer));
    QCOMPARE(s.value(QStringLiteral("tab")).toBool(), false);
    QCOMPARE(s.value(QStringLiteral("tabindex")).toInt(), -1);
    QCOMPARE(s.value(QStringLiteral("paneindex")).toInt(), 0);
    s.endGroup();
    // Closing a window drops its group at once.
    f.reset();
    init();
    f->pane->restoreFilerSettings();
}

QTEST_MAIN(TestFilerPane)
#include "tst_filerpane.moc"
