#include "core/logger.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/peervelm.h"
#include "preview/previewwindow.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "support/idtranslator.h"
#include "window/mainwindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QItemSelectionModel>
#include <QStackedWidget>
#include <QStatusBar>
#include <QtTest>

// The main window's preview of the active Filer's selection: when the
// preview action is on, Space, the selection following into an open
// preview, Left and Right stepping through the Filer, the message for a
// file without preview, and where the window opens.
class TestPreviewHookup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void previewActionEnabling_data();
    void previewActionEnabling();
    void previewActionFollowsActiveFiler();
    void spaceOpensAndSelectionFollows();
    void leftAndRightStepThroughTheFiler();
    void noPreviewMessage_data();
    void noPreviewMessage();
    void placement();

private:
    void startWindow();
    // The left Filer, active, in `dir` of `peer` with all rows listed.
    Filer* showIn(RigPeer* peer, const QString& dir, int rows);
    // Selects the rows of these names in the Filer's shown directory.
    static void select(Filer* filer, const QStringList& names);
    static QString statusText(Filer* filer);
    static void writeImage(const QString& path, const QColor& colour);
    FilerPane* left() const { return m_window->filerPanes().first(); }

    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    QTemporaryDir m_themes;
    IdTranslator m_english;
    QString m_pics;
    RigPeer* m_remote = nullptr;
    QString m_remotePics;
};

void TestPreviewHookup::writeImage(const QString& path, const QColor& colour)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(colour);
    QVERIFY(image.save(path));
}

void TestPreviewHookup::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestPreviewHookup::init()
{
    Logger::initChannels("velm");
    ThemeLoader::setThemeDirectory(m_themes.filePath(QStringLiteral("none")));
    m_rig.reset(new GuiTestRig);
    m_rig->setDrivesAtSlash(true);
    m_pics = m_rig->root(m_rig->ownPeer()) + QStringLiteral("/pics");
    QDir().mkpath(m_pics + QStringLiteral("/sub"));
    writeImage(m_pics + QStringLiteral("/a.png"), Qt::red);
    writeImage(m_pics + QStringLiteral("/b.png"), Qt::green);
    writeImage(m_pics + QStringLiteral("/c.jpg"), Qt::blue);
    QFile notes(m_pics + QStringLiteral("/notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("words\n");
    notes.close();

    m_remote = m_rig->addPeer(QStringLiteral("remote"));
    m_remotePics = m_rig->root(m_remote) + QStringLiteral("/pics");
    QDir().mkpath(m_remotePics);
    writeImage(m_remotePics + QStringLiteral("/far.png"), Qt::yellow);
}

void TestPreviewHookup::cleanup()
{
    m_window.reset();
    m_rig.reset();
}

void TestPreviewHookup::startWindow()
{
    m_window = m_rig->createWindow();
    m_window->resize(1400, 800);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(left()->currentFiler() && left()->currentFiler()->peer());
    m_window->activateWindow();
}

Filer* TestPreviewHookup::showIn(RigPeer* peer, const QString& dir, int rows)
{
    startWindow();
    if (QTest::currentTestFailed())
        return nullptr;
    Filer* filer = left()->currentFiler();
    m_window->filerHub()->setActiveFilerPane(left());
    m_window->filerHub()->setActiveFiler(left(), filer);
    filer->setPeer(peer);
    filer->gotoPath(dir);
    if (!QTest::qWaitFor([&] { return filer->path() == dir; }, 15000))
        return nullptr;
    QAbstractItemView* view = filer->currentView();
    if (!QTest::qWaitFor([&] { return view->model()->rowCount(view->rootIndex()) == rows; }, 15000))
        return nullptr;
    view->setFocus();
    return filer;
}

void TestPreviewHookup::select(Filer* filer, const QStringList& names)
{
    QAbstractItemView* view = filer->currentView();
    QAbstractItemModel* model = view->model();
    QItemSelection selection;
    QModelIndex first;
    for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
        const QModelIndex index = model->index(row, 0, view->rootIndex());
        if (!names.contains(index.data(VfsModel::NameRole).toString()))
            continue;
        selection.select(index, index);
        if (!first.isValid())
            first = index;
    }
    QCOMPARE(selection.size(), names.size());
    filer->selectionModel()->setCurrentIndex(first, QItemSelectionModel::NoUpdate);
    filer->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QString TestPreviewHookup::statusText(Filer* filer)
{
    auto* bar = filer->filesPage()->findChild<QStatusBar*>();
    return bar ? bar->currentMessage() : QString();
}

void TestPreviewHookup::previewActionEnabling_data()
{
    QTest::addColumn<bool>("remote");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("one picture") << false << QStringList{ "a.png" } << true;
    QTest::newRow("a JPEG") << false << QStringList{ "c.jpg" } << true;
    QTest::newRow("two pictures") << false << QStringList{ "a.png", "b.png" } << false;
    QTest::newRow("a text file") << false << QStringList{ "notes.txt" } << false;
    QTest::newRow("another machine's picture") << true << QStringList{ "far.png" } << false;
}

void TestPreviewHookup::previewActionEnabling()
{
    QFETCH(bool, remote);
    QFETCH(QStringList, names);
    QFETCH(bool, enabled);
    Filer* filer = remote ? showIn(m_remote, m_remotePics, 1) : showIn(m_rig->ownPeer(), m_pics, 5);
    QVERIFY(filer);
    QAction* preview = SharedActions::preview;
    QVERIFY(preview);
    // From the opposite state, so that the selection is what sets it.
    filer->selectionModel()->clearSelection();
    QTRY_VERIFY(!preview->isEnabled());
    preview->setEnabled(!enabled);
    select(filer, names);
    QTRY_COMPARE(preview->isEnabled(), enabled);
    // Nothing selected: off.
    filer->selectionModel()->clearSelection();
    QTRY_VERIFY(!preview->isEnabled());
}

void TestPreviewHookup::previewActionFollowsActiveFiler()
{
    Filer* filer = showIn(m_rig->ownPeer(), m_pics, 5);
    QVERIFY(filer);
    select(filer, { QStringLiteral("a.png") });
    QTRY_VERIFY(SharedActions::preview->isEnabled());
    // The right pane's Filer has nothing selected: Space there previews
    // nothing, and nothing of the left one.
    m_window->showAlternateFilerPane();
    QVERIFY(m_window->filerHub()->activeFiler() != filer);
    QVERIFY(!SharedActions::preview->isEnabled());
    m_window->openPreview();
    QVERIFY(m_window->previewWindow()->path().isEmpty());
    m_window->onFilerTabPressed();
    QCOMPARE(m_window->filerHub()->activeFiler(), filer);
    QVERIFY(SharedActions::preview->isEnabled());
}

void TestPreviewHookup::spaceOpensAndSelectionFollows()
{
    Filer* filer = showIn(m_rig->ownPeer(), m_pics, 5);
    QVERIFY(filer);
    PreviewWindow* window = m_window->previewWindow();
    QVERIFY(!window->isVisible());
    select(filer, { QStringLiteral("a.png") });
    QTRY_VERIFY(SharedActions::preview->isEnabled());

    QWidget* target = QApplication::focusWidget();
    QVERIFY(target);
    QTest::keyClick(target, Qt::Key_Space);
    QCOMPARE(window->path(), m_pics + QStringLiteral("/a.png"));
    QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(window->image().pixelColor(1, 1), QColor(Qt::red), 30000);

    // With the window open the selection takes the preview along; a file
    // the preview does not read leaves the picture as it is.
    select(filer, { QStringLiteral("b.png") });
    QCOMPARE(window->path(), m_pics + QStringLiteral("/b.png"));
    QTRY_COMPARE_WITH_TIMEOUT(window->image().pixelColor(1, 1), QColor(Qt::green), 30000);
    select(filer, { QStringLiteral("notes.txt") });
    QCOMPARE(window->path(), m_pics + QStringLiteral("/b.png"));

    // Escape closes it; the Filer has the keys again.
    window->requestActivate();
    QTest::keyClick(window, Qt::Key_Escape);
    QVERIFY(!window->isVisible());
    QTRY_VERIFY(filer->currentView()->hasFocus());
    // Closed, a new selection does not open it.
    select(filer, { QStringLiteral("a.png") });
    QTest::qWait(50);
    QVERIFY(!window->isVisible());
    QVERIFY(window->path().isEmpty());
}

void TestPreviewHookup::leftAndRightStepThroughTheFiler()
{
    Filer* filer = showIn(m_rig->ownPeer(), m_pics, 5);
    QVERIFY(filer);
    PreviewWindow* window = m_window->previewWindow();
    select(filer, { QStringLiteral("a.png") });
    QTRY_VERIFY(SharedActions::preview->isEnabled());
    SharedActions::preview->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 30000);

    // The keys of the page reach the window's signals, the signals the Filer.
    QQuickItem* page = window->page();
    QVERIFY(page);
    window->requestActivate();
    QTRY_VERIFY(window->isActive());
    QTest::keyClick(window, Qt::Key_Right);
    QTRY_COMPARE(window->path(), m_pics + QStringLiteral("/b.png"));
    QCOMPARE(filer->currentItemPath(), m_pics + QStringLiteral("/b.png"));
    QTest::keyClick(window, Qt::Key_Right);
    QTRY_COMPARE(window->path(), m_pics + QStringLiteral("/c.jpg"));
    QTest::keyClick(window, Qt::Key_Left);
    QTRY_COMPARE(window->path(), m_pics + QStringLiteral("/b.png"));
    QTRY_COMPARE_WITH_TIMEOUT(window->image().pixelColor(1, 1), QColor(Qt::green), 30000);
    QCOMPARE(filer->selectionModel()->selectedRows().size(), 1);
}

void TestPreviewHookup::noPreviewMessage_data()
{
    QTest::addColumn<bool>("remote");
    QTest::addColumn<QString>("name");
    QTest::newRow("another machine's picture") << true << QStringLiteral("far.png");
    QTest::newRow("a text file") << false << QStringLiteral("notes.txt");
}

void TestPreviewHookup::noPreviewMessage()
{
    QFETCH(bool, remote);
    QFETCH(QString, name);
    Filer* filer = remote ? showIn(m_remote, m_remotePics, 1) : showIn(m_rig->ownPeer(), m_pics, 5);
    QVERIFY(filer);
    select(filer, { name });
    QTRY_VERIFY(!SharedActions::preview->isEnabled());
    // Space finds the preview action off; the Filer asks anyway, and the
    // window says why there is nothing to see.
    QWidget* target = QApplication::focusWidget();
    QVERIFY(target);
    QTest::keyClick(target, Qt::Key_Space);
    QTRY_VERIFY(statusText(filer).contains(name));
    QVERIFY(statusText(filer).startsWith(QStringLiteral("No preview")));
    QVERIFY(!m_window->previewWindow()->isVisible());
    QVERIFY(m_window->previewWindow()->path().isEmpty());
}

void TestPreviewHookup::placement()
{
    QCOMPARE(MainWindow::previewGeometry(QPoint(700, 30), QSize(700, 760)), QRect(748, 78, 604, 664));
    QCOMPARE(MainWindow::previewGeometry(QPoint(0, 0), QSize(100, 100)).size(), QSize(320, 240));

    Filer* filer = showIn(m_rig->ownPeer(), m_pics, 5);
    QVERIFY(filer);
    PreviewWindow* window = m_window->previewWindow();
    QStackedWidget* stack = m_window->rightStack();
    window->setPosition(0, 0);
    m_window->showPreview(ownPeerUuid(), m_pics + QStringLiteral("/a.png"));
    QCOMPARE(window->position(), stack->mapToGlobal(QPoint(48, 48)));
    QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 30000);
    window->hide();

    // Once placed (by the user or before), the window stays where it is.
    window->setPosition(300, 200);
    m_window->showPreview(ownPeerUuid(), m_pics + QStringLiteral("/b.png"));
    QCOMPARE(window->position(), QPoint(300, 200));
    QTRY_VERIFY_WITH_TIMEOUT(window->isVisible(), 30000);
}

QTEST_MAIN(TestPreviewHookup)
#include "tst_previewhookup.moc"
