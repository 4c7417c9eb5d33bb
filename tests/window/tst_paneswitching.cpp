#include "core/databasesqlite.h"
#include "core/logger.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/filertreeview.h"
#include "filer/filericonview.h"
#include "filer/itemdelegate.h"
#include "filer/sharedactions.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

// The two panes of the main window: which one is active, what the right
// side shows, the commands that open a place in the other pane, and the
// keys of the files page, each from a known place.
class TestPaneSwitching : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void tabKeyAlternatesOnlyWithRightPane();
    void toggleTwiceReturns();
    void tabBarsShowWithTwoTabsAndRightPane();
    void newTabLeftAndRight();
    void openCommandsIgnoreUnknownPeerAndEmptyPath();
    void openInOtherPane();
    void keyboard_data();
    void keyboard();

private:
    void startWindow();
    // The left Filer at <own tree>/kb with the first row current and focus.
    void atKnownPlace(Filer** out);
    FilerPane* left() const { return m_window->filerPanes().first(); }
    FilerPane* right() const { return m_window->filerPanes().last(); }
    bool nodeViewShown() const { return m_window->rightStack()->currentWidget() != right(); }

    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    QTemporaryDir m_themes;
    QString m_kb;
};

void TestPaneSwitching::init()
{
    Logger::initChannels("velm");
    ThemeLoader::setThemeDirectory(m_themes.filePath(QStringLiteral("none")));
    m_rig.reset(new GuiTestRig);
    m_rig->setDrivesAtSlash(true);
    const QString root = m_rig->root(m_rig->ownPeer());
    m_kb = root + QStringLiteral("/kb");
    for (const char* dir : { "/alpha", "/beta", "/gamma", "/.hidden" })
        QDir().mkpath(m_kb + QLatin1String(dir));
    for (const char* file : { "/a.txt", "/b.txt", "/alpha/one.txt" }) {
        QFile f(m_kb + QLatin1String(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
}

void TestPaneSwitching::cleanup()
{
    m_window.reset();
    m_rig.reset();
}

void TestPaneSwitching::startWindow()
{
    m_window = m_rig->createWindow();
    m_window->resize(1400, 800);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(left()->currentFiler() && left()->currentFiler()->peer());
    QTRY_VERIFY(right()->currentFiler() && right()->currentFiler()->peer());
    m_window->activateWindow();
}

void TestPaneSwitching::atKnownPlace(Filer** out)
{
    *out = nullptr;
    startWindow();
    if (QTest::currentTestFailed())
        return;
    Filer* filer = left()->currentFiler();
    const QString root = m_rig->root(m_rig->ownPeer());
    filer->gotoPath(root);
    QTRY_COMPARE_WITH_TIMEOUT(filer->path(), root, 15000);
    filer->gotoPath(m_kb);
    QTRY_COMPARE_WITH_TIMEOUT(filer->path(), m_kb, 15000);
    QAbstractItemView* view = filer->currentView();
    QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 5);
    view->setCurrentIndex(view->model()->index(0, 0, view->rootIndex()));
    m_window->showAlternateFilerPane();
    m_window->filerHub()->setActiveFilerPane(left());
    m_window->filerHub()->setActiveFiler(left(), filer);
    view->setFocus();
    QTRY_VERIFY(view->hasFocus());
    *out = filer;
}

void TestPaneSwitching::tabKeyAlternatesOnlyWithRightPane()
{
    startWindow();
    m_window->showNodeView();
    QVERIFY(nodeViewShown());
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    m_window->onFilerTabPressed();
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    QVERIFY(nodeViewShown());

    m_window->showAlternateFilerPane();
    QCOMPARE(m_window->filerHub()->activeFilerPane(), right());
    m_window->onFilerTabPressed();
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    QCOMPARE(m_window->filerHub()->activeFiler(), left()->currentFiler());
    m_window->onFilerTabPressed();
    QCOMPARE(m_window->filerHub()->activeFilerPane(), right());
    QCOMPARE(m_window->filerHub()->activeFiler(), right()->currentFiler());
}

void TestPaneSwitching::toggleTwiceReturns()
{
    startWindow();
    for (bool startOnNodeView : { true, false }) {
        if (startOnNodeView)
            m_window->showNodeView();
        else
            m_window->showAlternateFilerPane();
        QWidget* start = m_window->rightStack()->currentWidget();
        m_window->toggleFilepaneNodeview();
        QVERIFY(m_window->rightStack()->currentWidget() != start);
        if (nodeViewShown())
            QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
        m_window->toggleFilepaneNodeview();
        QCOMPARE(m_window->rightStack()->currentWidget(), start);
        if (nodeViewShown())
            QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    }
}

void TestPaneSwitching::tabBarsShowWithTwoTabsAndRightPane()
{
    startWindow();
    auto barsShown = [&] {
        return left()->tabWidget()->tabBar()->isVisible() && right()->tabWidget()->tabBar()->isVisible()
               && !left()->tabWidget()->tabBarAutoHide();
    };
    m_window->showAlternateFilerPane();
    QVERIFY(!barsShown());
    m_window->filerHub()->setActiveFilerPane(right());
    right()->newFilerTab();
    QVERIFY(barsShown());
    m_window->showNodeView();
    QVERIFY(!left()->tabWidget()->tabBar()->isVisible());
    QVERIFY(left()->tabWidget()->tabBarAutoHide());
    m_window->showAlternateFilerPane();
    QVERIFY(barsShown());
    m_window->filerHub()->setActiveFilerPane(right());
    right()->closeFilerTab();
    QTRY_COMPARE(right()->filerCount(), 1);
    QVERIFY(!barsShown());
}

void TestPaneSwitching::newTabLeftAndRight()
{
    startWindow();
    const QString uuid = m_rig->ownPeer()->uuid();
    const QString root = m_rig->root(m_rig->ownPeer());
    m_window->showNodeView();
    m_window->openNewFilerTabLeft(uuid, root);
    QCOMPARE(left()->filerCount(), 2);
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    QTRY_COMPARE_WITH_TIMEOUT(left()->currentFiler()->path(), root, 15000);

    m_window->openNewFilerTabRight(uuid, m_kb);
    QCOMPARE(right()->filerCount(), 2);
    QVERIFY(!nodeViewShown());
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    QTRY_COMPARE_WITH_TIMEOUT(right()->currentFiler()->path(), m_kb, 15000);
}

void TestPaneSwitching::openCommandsIgnoreUnknownPeerAndEmptyPath()
{
    startWindow();
    const QString unknown = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    const QString own = m_rig->ownPeer()->uuid();
    m_window->showNodeView();
    m_window->openNewFilerTabLeft(unknown, m_kb);
    m_window->openNewFilerTabLeft(own, QString());
    m_window->openNewFilerTabRight(unknown, m_kb);
    m_window->openNewFilerTabRight(own, QString());
    m_window->onOpenInAltFiler(own, QString());
    m_window->onOpenInAltFiler(unknown, m_kb);
    QCOMPARE(left()->filerCount(), 1);
    QCOMPARE(right()->filerCount(), 1);
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    QCOMPARE(right()->currentFiler()->pendingPath(), QString());
}

void TestPaneSwitching::openInOtherPane()
{
    Filer* filer = nullptr;
    atKnownPlace(&filer);
    QVERIFY(filer);
    QCOMPARE(filer->currentItemPath(), m_kb + QStringLiteral("/alpha"));
    SharedActions::openRight->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(right()->currentFiler()->path(), m_kb + QStringLiteral("/alpha"), 15000);
    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
}

void TestPaneSwitching::keyboard_data()
{
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QString>("path");    // below kb; "<root>" for the tree's root
    QTest::addColumn<QString>("current"); // name of the current row
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("tabs");        // Filer tabs of the left pane; -1: not checked
    QTest::addColumn<int>("tabIndex");    // current tab of the left pane; -1: not checked

    const int cols = Filer::ViewColumns;
    QTest::newRow("Down") << QStringList{ "Down" } << "" << "beta" << cols << 1 << -1;
    QTest::newRow("PgDown") << QStringList{ "PgDown" } << "" << "b.txt" << cols << 1 << -1;
    QTest::newRow("End, PgUp") << QStringList{ "End", "PgUp" } << "" << "alpha" << cols << 1 << -1;
    QTest::newRow("Enter") << QStringList{ "Return" } << "/alpha" << "one.txt" << cols << 1 << -1;
    QTest::newRow("Backspace") << QStringList{ "Backspace" } << "<root>" << "kb" << cols << 1 << -1;
    QTest::newRow("Alt+Up") << QStringList{ "Alt+Up" } << "<root>" << "kb" << cols << 1 << -1;
    QTest::newRow("Enter, Alt+Left") << QStringList{ "Return", "Alt+Left" } << "" << "alpha" << cols << 1 << -1;
    QTest::newRow("Ctrl+1") << QStringList{ "Ctrl+1" } << "" << "alpha" << int(Filer::ViewList) << 1 << -1;
    QTest::newRow("Ctrl+3") << QStringList{ "Ctrl+3" } << "" << "alpha" << int(Filer::ViewIcons) << 1 << -1;
    QTest::newRow("Ctrl+3, Ctrl+2") << QStringList{ "Ctrl+3", "Ctrl+2" } << "" << "alpha" << cols << 1 << -1;
    QTest::newRow("Ctrl+H") << QStringList{ "Ctrl+H" } << "" << "" << cols << 1 << -1;
    QTest::newRow("Ctrl+T") << QStringList{ "Ctrl+T" } << "" << "alpha" << cols << 2 << 1;
    QTest::newRow("Ctrl+T, Ctrl+W") << QStringList{ "Ctrl+T", "Ctrl+W" } << "" << "alpha" << cols << 1 << 0;
    QTest::newRow("Ctrl+T, Ctrl+Tab") << QStringList{ "Ctrl+T", "Ctrl+Tab" } << "" << "alpha" << cols << 2 << 0;
    QTest::newRow("Ctrl++") << QStringList{ "Ctrl++" } << "" << "alpha" << cols << 1 << -1;
    QTest::newRow("Ctrl+-") << QStringList{ "Ctrl+-" } << "" << "alpha" << cols << 1 << -1;
    QTest::newRow("type-ahead") << QStringList{ "g", "a" } << "" << "gamma" << cols << 1 << -1;
    QTest::newRow("Tab") << QStringList{ "Tab" } << "" << "alpha" << cols << 1 << -1;
}

void TestPaneSwitching::keyboard()
{
    QFETCH(QStringList, keys);
    QFETCH(QString, path);
    QFETCH(QString, current);
    QFETCH(int, mode);
    QFETCH(int, tabs);
    QFETCH(int, tabIndex);
    Filer* start = nullptr;
    atKnownPlace(&start);
    QVERIFY(start);
    const int rowsBefore = start->proxy()->rowCount(start->currentView()->rootIndex());
    const int levelBefore = start->treeView()->itemDelegate0()->level();

    for (const QString& key : keys) {
        QWidget* target = QApplication::focusWidget();
        QVERIFY(target);
        QTest::keySequence(target, QKeySequence(key));
        QTest::qWait(20);
    }

    QCOMPARE(left()->filerCount(), tabs);
    if (tabIndex >= 0)
        QCOMPARE(left()->tabWidget()->currentIndex(), tabIndex);
    Filer* filer = left()->currentFiler();
    const QString expected = path == QLatin1String("<root>") ? m_rig->root(m_rig->ownPeer()) : m_kb + path;
    QTRY_COMPARE_WITH_TIMEOUT(filer->path(), expected, 15000);
    if (!current.isEmpty())
        QTRY_COMPARE(filer->currentItemPath().section(QLatin1Char('/'), -1), current);
    QCOMPARE(filer->viewMode(), mode);

    const QString row = QString::fromLatin1(QTest::currentDataTag());
    if (row == QLatin1String("Ctrl+H"))
        QTRY_COMPARE(filer->proxy()->rowCount(filer->currentView()->rootIndex()), rowsBefore + 1);
    if (row == QLatin1String("Ctrl++"))
        QCOMPARE(filer->treeView()->itemDelegate0()->level(), levelBefore + 1);
    if (row == QLatin1String("Ctrl+-"))
        QCOMPARE(filer->treeView()->itemDelegate0()->level(), levelBefore - 1);
    QCOMPARE(m_window->filerHub()->activeFilerPane(), row == QLatin1String("Tab") ? right() : left());
}

QTEST_MAIN(TestPaneSwitching)
#include "tst_paneswitching.moc"
