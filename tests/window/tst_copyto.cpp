#include "core/logger.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfsjobmodel.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QStatusBar>
#include <QtTest>

// Copy to and Move to of the main window: the dialog that asks for the
// folder, what it refuses, where the items go and which pane is active
// afterwards.
class TestCopyTo : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void copyTo_data();
    void copyTo();

private:
    QInputDialog* dialog() const;
    FilerPane* left() const { return m_window->filerPanes().first(); }
    FilerPane* right() const { return m_window->filerPanes().last(); }

    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<VfsJobModel> m_jobs;
    std::unique_ptr<MainWindow> m_window;
    QTemporaryDir m_themes;
};

void TestCopyTo::init()
{
    Logger::initChannels("velm");
    ThemeLoader::setThemeDirectory(m_themes.filePath(QStringLiteral("none")));
    m_rig.reset(new GuiTestRig);
    m_rig->setDrivesAtSlash(true);
    // Copy jobs beside the rig's clients, on this thread.
    m_jobs.reset(new VfsJobModel);
}

void TestCopyTo::cleanup()
{
    delete dialog();
    m_window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_jobs.reset();
    m_rig.reset();
}

QInputDialog* TestCopyTo::dialog() const
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String("copyToDialog") && widget->isVisible())
            return qobject_cast<QInputDialog*>(widget);
    }
    return nullptr;
}

void TestCopyTo::copyTo_data()
{
    QTest::addColumn<bool>("move");
    QTest::addColumn<bool>("nodeView");
    QTest::addColumn<bool>("selected");
    // "typed": a folder other than the other pane's; "offered": the
    // dialog's own text; anything else is typed as it is.
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("outcome"); // "typed", "offered", "refused", "no dialog"

    QTest::newRow("copy to a typed folder") << false << false << true << "typed" << "typed";
    QTest::newRow("move to a typed folder") << true << false << true << "typed" << "typed";
    QTest::newRow("copy to the other pane") << false << false << true << "offered" << "offered";
    QTest::newRow("%peerview refused") << false << false << true << "%peerview" << "refused";
    QTest::newRow("%machinelist refused") << true << false << true << "%machinelist" << "refused";
    QTest::newRow("%home refused") << false << false << true << "%home" << "refused";
    QTest::newRow("%shares refused") << false << false << true << "%shares" << "refused";
    QTest::newRow("empty refused") << false << false << true << "" << "refused";
    QTest::newRow("node view shown") << false << true << true << "typed" << "no dialog";
    QTest::newRow("nothing selected") << true << false << false << "typed" << "no dialog";
}

void TestCopyTo::copyTo()
{
    QFETCH(bool, move);
    QFETCH(bool, nodeView);
    QFETCH(bool, selected);
    QFETCH(QString, answer);
    QFETCH(QString, outcome);

    const QString root = m_rig->root(m_rig->ownPeer());
    for (const char* dir : { "/src", "/pane", "/typed" })
        QDir().mkpath(root + QLatin1String(dir));
    QFile file(root + QStringLiteral("/src/item.txt"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("item\n");
    file.close();

    m_window = m_rig->createWindow();
    m_window->resize(1400, 800);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(left()->currentFiler() && left()->currentFiler()->peer());
    QTRY_VERIFY(right()->currentFiler() && right()->currentFiler()->peer());
    m_window->showAlternateFilerPane();
    Filer* source = left()->currentFiler();
    Filer* target = right()->currentFiler();
    target->gotoPath(root + QStringLiteral("/pane"));
    QTRY_COMPARE_WITH_TIMEOUT(target->path(), root + QStringLiteral("/pane"), 15000);
    source->gotoPath(root + QStringLiteral("/src"));
    QTRY_COMPARE_WITH_TIMEOUT(source->path(), root + QStringLiteral("/src"), 15000);
    auto* model = qobject_cast<VfsModel*>(m_rig->ownPeer()->vfsFileSystemModel());
    QTRY_VERIFY_WITH_TIMEOUT(model->indexForPath(root + QStringLiteral("/src/item.txt")).isValid(), 15000);
    m_window->filerHub()->setActiveFilerPane(left());
    m_window->filerHub()->setActiveFiler(left(), source);
    if (selected) {
        const QModelIndex index
            = source->proxy()->mapFromSource(model->indexForPath(root + QStringLiteral("/src/item.txt")));
        source->selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    if (nodeView)
        m_window->showNodeView();
    m_window->filerHub()->setActiveFilerPane(left());
    SharedActions::copy->setEnabled(true);
    SharedActions::cut->setEnabled(true);

    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    (move ? SharedActions::moveTo : SharedActions::copyTo)->trigger();
    if (outcome == QLatin1String("no dialog")) {
        QVERIFY(!dialog());
        QCOMPARE(added.count(), 0);
        QVERIFY(m_window->filerHub()->clipboard()->entries.empty());
        return;
    }
    QInputDialog* asked = dialog();
    QVERIFY(asked);
    QCOMPARE(asked->textValue(), root + QStringLiteral("/pane"));
    if (answer == QLatin1String("typed"))
        asked->setTextValue(root + QStringLiteral("/typed"));
    else if (answer != QLatin1String("offered"))
        asked->setTextValue(answer);
    asked->accept();

    QCOMPARE(m_window->filerHub()->activeFilerPane(), left());
    QVERIFY(m_window->filerHub()->clipboard()->dstPath.isEmpty());
    if (outcome == QLatin1String("refused")) {
        QCOMPARE(added.count(), 0);
        QVERIFY(!source->findChild<QStatusBar*>()->currentMessage().isEmpty());
        QVERIFY(QFile::exists(root + QStringLiteral("/src/item.txt")));
        return;
    }
    const QString folder = root + (outcome == QLatin1String("typed") ? QStringLiteral("/typed") : QStringLiteral("/pane"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder + QStringLiteral("/item.txt")), 20000);
    if (move)
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(root + QStringLiteral("/src/item.txt")), 20000);
    else
        QVERIFY(QFile::exists(root + QStringLiteral("/src/item.txt")));
    const QString other = outcome == QLatin1String("typed") ? QStringLiteral("/pane") : QStringLiteral("/typed");
    QVERIFY(!QFile::exists(root + other + QStringLiteral("/item.txt")));
    QCOMPARE(added.count(), 1);
}

QTEST_MAIN(TestCopyTo)
#include "tst_copyto.moc"
