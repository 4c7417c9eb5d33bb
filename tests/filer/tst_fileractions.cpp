#include "filertestbase.h"

#include "archive/p7zip.h"
#include "core/appsettings.h"
#include "desktop/applauncher.h"
#include "filer/fileractiontable.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/peervelm.h"
#include "share/sharewithdialog.h"
#include "support/idtranslator.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/client/vfsmakedirectoryjob.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/server/vfsaccesstest.h"
#include "vfs/server/vfsservervelm.h"

#include <QAbstractItemView>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDesktopServices>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QtTest>

#include <unistd.h>

// The Filer's file actions against peers served from temporary trees over
// the in-process link: what the selection enables, what the status bar
// says, the item menu, reveal through the desktop's file manager (a
// stand-in service on a private session bus) and sharing from the menu.

namespace {

// The desktop's file manager as the reveal sees it: records each
// ShowItems call it gets.
class StandInFileManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QList<QStringList> shown;

public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown.append(uris); }
};

// Catches what would otherwise go to the desktop's default handler.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

void writeFile(const QString& path, int bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(bytes, 'v'));
}

QStringList texts(const QList<QAction*>& actions)
{
    QStringList out;
    for (QAction* action : actions)
        out << (action->isSeparator() ? QStringLiteral("|") : action->text());
    return out;
}

QMenu* submenu(QMenu* menu, const QString& objectName)
{
    for (QAction* action : menu->actions()) {
        if (action->menu() && action->menu()->objectName() == objectName)
            return action->menu();
    }
    return nullptr;
}

} // namespace

class TestFilerActions : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void enabling_data();
    void enabling();
    void statusTexts_data();
    void statusTexts();
    void offlinePeerDisablesEverything();
    void backgroundFilerKeepsSharedState();
    void openWithIsBounded_data();
    void openWithIsBounded();
    void largeSelectionCarriesEveryPath();
    void menuStartsWithApplications();
    void menuOfRemoteFile();
    void gestureOpensNoMenu();
    void revealThroughFileManager();
    void revealWithoutServiceOpensFolder();
    void shareFolderFromMenu();
    void shareDriveFromMenu();
    void shareReachesOtherMachine();

private:
    // The shared actions as the main window makes them.
    void makeSharedActions();
    void dropSharedActions();
    // Goes to a path and waits until its rows are listed.
    bool go(Filer* filer, const QString& path, int rows);
    void select(Filer* filer, const QStringList& paths);
    // A Filer of the peer showing a directory of `names` ("d/" a folder,
    // "name:1500" a file of that size); null when it does not come.
    Filer* showDirectory(IPeer* peer, const QString& dir, const QStringList& names);
    // Only the named entries (by their last path component) are read-only.
    void readOnly(RigPeer* peer, const QStringList& names);
    QStringList menuTexts(Filer* filer);

    IdTranslator m_english;
    std::unique_ptr<FilerFixture> f;
    AppLauncher* m_launcher = nullptr;
    QList<QAction*> m_actions;
};

void TestFilerActions::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
    FilerActionTable::clear();
    FilerActionTable::build();
}

void TestFilerActions::init()
{
    f.reset(new FilerFixture);
    // The applications of the test: three for plain text, none else.
    const QString apps = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    QDir().mkpath(apps);
    for (const char* name : { "Velm Editor A", "Velm Editor B", "Velm Editor C" }) {
        QFile entry(apps + QLatin1Char('/') + QString::fromLatin1(name).replace(QLatin1Char(' '), QLatin1Char('-'))
                    + QStringLiteral(".desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write(QByteArray("[Desktop Entry]\nType=Application\nName=") + name + "\nExec=/bin/true "
                    + QByteArray(name).replace(' ', '_') + " %f\nIcon=text-editor\nMimeType=text/plain;\n");
    }
    m_launcher = new AppLauncher(nullptr);
    // A 7z stand-in: isAvailable wants an executable program.
    const QString program = f->rig->home() + QStringLiteral("/7z");
    writeFile(program, 10);
    QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    AppSettings settings;
    settings.settings()->setValue(QLatin1String(P7Zip::ProgramKey), program);
    settings.settings()->sync();
    makeSharedActions();
}

void TestFilerActions::cleanup()
{
    delete m_launcher;
    m_launcher = nullptr;
    f.reset();
    dropSharedActions();
}

void TestFilerActions::makeSharedActions()
{
    auto make = [this](QPointer<QAction>& slot, const char* id) {
        slot = FilerActionTable::createAction(QLatin1String(id), nullptr);
        m_actions << slot.data();
    };
    make(SharedActions::cut, "filer.cut");
    make(SharedActions::copy, "filer.copy");
    make(SharedActions::paste, "filer.paste");
    make(SharedActions::trash, "filer.trash");
    make(SharedActions::deleteItems, "filer.delete");
    make(SharedActions::newFolder, "filer.new-folder");
    make(SharedActions::rename, "filer.rename");
    make(SharedActions::preview, "filer.preview");
    make(SharedActions::showProperties, "filer.show-props");
    make(SharedActions::showInExplorer, "filer.show-inexplorer");
    make(SharedActions::openLeft, "filer.open-left");
    make(SharedActions::openRight, "filer.open-right");
    make(SharedActions::extract, "menu-extract-item");
    SharedActions::extract->setText(qtTrId("menu-extract-item"));
    make(SharedActions::shareDrive, "action-share-drive");
    SharedActions::shareDrive->setCheckable(true);
}

void TestFilerActions::dropSharedActions()
{
    qDeleteAll(m_actions);
    m_actions.clear();
}

bool TestFilerActions::go(Filer* filer, const QString& path, int rows)
{
    filer->gotoPath(path);
    for (int i = 0; i < 1500; ++i) {
        if (filer->path() == path && filer->proxy()->rowCount(filer->currentView()->rootIndex()) == rows)
            return true;
        QTest::qWait(10);
    }
    return false;
}

void TestFilerActions::select(Filer* filer, const QStringList& paths)
{
    auto* model = FilerFixture::modelOf(filer->peer());
    QItemSelection selection;
    for (const QString& path : paths) {
        const QModelIndex index = filer->proxy()->mapFromSource(model->indexForPath(path));
        QVERIFY2(index.isValid(), qPrintable(path));
        selection.select(index, index);
    }
    filer->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (!paths.isEmpty())
        filer->selectionModel()->setCurrentIndex(selection.indexes().first(), QItemSelectionModel::NoUpdate);
}

Filer* TestFilerActions::showDirectory(IPeer* peer, const QString& dir, const QStringList& names)
{
    QDir().mkpath(dir);
    for (const QString& name : names) {
        if (name.endsWith(QLatin1Char('/'))) {
            QDir().mkpath(dir + QLatin1Char('/') + name);
        } else {
            const QStringList parts = name.split(QLatin1Char(':'));
            writeFile(dir + QLatin1Char('/') + parts.first(), parts.size() > 1 ? parts.at(1).toInt() : 5);
        }
    }
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    filer->showFilesView();
    return go(filer, dir, names.size()) ? filer : nullptr;
}

void TestFilerActions::readOnly(RigPeer* peer, const QStringList& names)
{
    f->rig->server(peer)->setAccessTest(VfsAccessTest([names](const QByteArray& path, int mode) {
        const QString name = QFile::decodeName(path).section(QLatin1Char('/'), -1);
        if ((mode & VfsAccessTest::Write) && names.contains(name))
            return false;
        return VfsAccessTest::systemTest(path, mode);
    }));
}

QStringList TestFilerActions::menuTexts(Filer* filer)
{
    filer->onCustomContextMenuRequested(QPoint());
    QMenu* menu = filer->contextMenu();
    if (!menu)
        return { QStringLiteral("<no menu>") };
    const QStringList out = texts(menu->actions());
    menu->hide();
    return out;
}

// ---- enabling ------------------------------------------------------------------

void TestFilerActions::enabling_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("readOnly");
    QTest::addColumn<QStringList>("selected");
    // cut, copy, trash, delete, rename, new folder, properties, reveal
    QTest::addColumn<QString>("enabled");

    const QStringList names{ "rw.txt", "ro.txt", "sub/" };
    QTest::newRow("one read-only file: copy, not cut, trash or delete")
        << names << QStringList{ "ro.txt" } << QStringList{ "ro.txt" } << "01001111";
    QTest::newRow("writable and read-only together: AND of the bits")
        << names << QStringList{ "ro.txt" } << QStringList{ "rw.txt", "ro.txt" } << "01000111";
    QTest::newRow("one writable file") << names << QStringList() << QStringList{ "rw.txt" } << "11111111";
    QTest::newRow("writable file in a read-only folder: no rename, no new folder")
        << names << QStringList{ "shown" } << QStringList{ "rw.txt" } << "11110011";
    QTest::newRow("nothing selected: new folder only") << names << QStringList() << QStringList() << "00000100";
}

void TestFilerActions::enabling()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, readOnly);
    QFETCH(QStringList, selected);
    QFETCH(QString, enabled);
    RigPeer* own = f->rig->ownPeer();
    this->readOnly(own, readOnly);
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, names);
    QVERIFY(filer);
    QStringList paths;
    for (const QString& name : selected)
        paths << dir + QLatin1Char('/') + name;
    select(filer, paths);

    const QList<QAction*> actions{ SharedActions::cut,       SharedActions::copy,   SharedActions::trash,
                                   SharedActions::deleteItems, SharedActions::rename, SharedActions::newFolder,
                                   SharedActions::showProperties, SharedActions::showInExplorer };
    QString got;
    for (QAction* action : actions)
        got += action->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
    QCOMPARE(got, enabled);
    QCOMPARE(SharedActions::openLeft->isEnabled(), !selected.isEmpty());
}

// ---- status bar -------------------------------------------------------------------

void TestFilerActions::statusTexts_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("space");

    QTest::newRow("two folders") << QStringList{ "a/", "b/", "c.txt" } << QStringList{ "a", "b" }
                                 << "2 folders selected" << "500.0 MB free";
    QTest::newRow("a folder and a 1500-byte file: the folder adds no size")
        << QStringList{ "a/", "c.txt:1500" } << QStringList{ "a", "c.txt" } << "2 items selected 1.5 kB"
        << "500.0 MB free";
    QTest::newRow("one file") << QStringList{ "a/", "c.txt:1500" } << QStringList{ "c.txt" }
                              << "1 item selected 1.5 kB" << "500.0 MB free";
    QTest::newRow("nothing selected: the items shown and the free space")
        << QStringList{ "a/", "b/", "c.txt" } << QStringList() << "3 items" << "500.0 MB free";
}

void TestFilerActions::statusTexts()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, selected);
    QFETCH(QString, message);
    QFETCH(QString, space);
    RigPeer* peer = f->rig->addPeer(QStringLiteral("status"));
    const QString dir = f->rig->root(peer) + QStringLiteral("/shown");
    Filer* filer = showDirectory(peer, dir, names);
    QVERIFY(filer);
    QSignalSpy changed(filer, &Filer::selectionChanged);
    QStringList paths;
    for (const QString& name : selected)
        paths << dir + QLatin1Char('/') + name;
    select(filer, paths);
    filer->updateFileActions();
    QCOMPARE(filer->statusMessage(), message);
    QTRY_COMPARE(filer->statusSpaceText(), space);
    QVERIFY(!changed.isEmpty());
    QCOMPARE(changed.last().at(0).toString(), peer->uuid());
    QCOMPARE(changed.last().at(1).toStringList(), paths);
}

void TestFilerActions::offlinePeerDisablesEverything()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("faraway"));
    const QString dir = f->rig->root(peer) + QStringLiteral("/shown");
    Filer* filer = showDirectory(peer, dir, { "a.txt" });
    QVERIFY(filer);
    select(filer, { dir + QStringLiteral("/a.txt") });
    QVERIFY(SharedActions::copy->isEnabled());
    peer->setLinkState(IPeer::LinkDown);
    QCOMPARE(filer->statusMessage(), QStringLiteral("faraway is not connected"));
    QCOMPARE(filer->statusSpaceText(), QString());
    for (QAction* action : { SharedActions::cut, SharedActions::copy, SharedActions::trash,
                             SharedActions::deleteItems, SharedActions::rename, SharedActions::newFolder })
        QVERIFY2(!action->isEnabled(), qPrintable(action->objectName()));
    QCOMPARE(m_launcher->rowCount(), 0);
}

// A Filer in the background keeps its own status bar up to date but leaves
// the shared actions and the launcher's selection to the active one.
void TestFilerActions::backgroundFilerKeepsSharedState()
{
    RigPeer* own = f->rig->ownPeer();
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* background = showDirectory(own, dir, { "one.txt", "two.png", "sub/" });
    QVERIFY(background);
    Filer* active = showDirectory(own, dir, { "one.txt", "two.png", "sub/" });
    QVERIFY(active);
    QCOMPARE(f->hub->activeFiler(), active);

    select(active, { dir + QStringLiteral("/one.txt") });
    QCOMPARE(m_launcher->rowCount(), 3);
    QCOMPARE(m_launcher->selectedTypes().value(0), QStringLiteral("text/plain"));
    SharedActions::cut->setEnabled(false);

    QSignalSpy changed(background, &Filer::selectionChanged);
    select(background, { dir + QStringLiteral("/two.png"), dir + QStringLiteral("/sub") });
    QCOMPARE(changed.count(), 1);
    QCOMPARE(background->statusMessage(), QStringLiteral("2 items selected 5 bytes"));
    QCOMPARE(active->statusMessage(), QStringLiteral("1 item selected 5 bytes"));
    QVERIFY(!SharedActions::cut->isEnabled());
    QCOMPARE(m_launcher->selectedTypes().value(0), QStringLiteral("text/plain"));
    QCOMPARE(m_launcher->rowCount(), 3);
}

// The launcher looks up every file's type on the window's thread: beyond
// 500 files no applications are offered rather than a stall or a launch of
// only some of the files.
void TestFilerActions::openWithIsBounded_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("applications");
    QTest::newRow("500 files") << 500 << 3;
    QTest::newRow("501 files") << 501 << 0;
}

void TestFilerActions::openWithIsBounded()
{
    QFETCH(int, files);
    QFETCH(int, applications);
    RigPeer* own = f->rig->ownPeer();
    const QString dir = f->rig->root(own) + QStringLiteral("/many");
    QStringList names;
    for (int i = 0; i < files; ++i)
        names << QStringLiteral("note-%1.txt").arg(i);
    Filer* filer = showDirectory(own, dir, names);
    QVERIFY(filer);
    filer->currentView()->selectAll();
    QCOMPARE(filer->statusMessage(), QStringLiteral("%1 items selected 2.5 kB").arg(files));
    QCOMPARE(m_launcher->rowCount(), applications);
    QCOMPARE(menuTexts(filer).contains(QStringLiteral("Velm Editor A")), applications > 0);
}

// The paths of a selection of thousands of rows reach the window a slice
// per pass: all of them, in the view's order, once; a build that a newer
// selection overtook never arrives after it.
void TestFilerActions::largeSelectionCarriesEveryPath()
{
    RigPeer* own = f->rig->ownPeer();
    const QString dir = f->rig->root(own) + QStringLiteral("/large");
    QStringList names;
    for (int i = 0; i < 12001; ++i)
        names << QStringLiteral("f-%1.txt").arg(i, 5, 10, QLatin1Char('0'));
    Filer* filer = showDirectory(own, dir, names);
    QVERIFY(filer);
    QStringList expected;
    for (int row = 0; row < filer->proxy()->rowCount(filer->currentView()->rootIndex()); ++row)
        expected << filer->proxy()->index(row, 0, filer->currentView()->rootIndex()).data(VfsModel::PathRole).toString();
    QCOMPARE(expected.size(), names.size());

    QSignalSpy changed(filer, &Filer::selectionChanged);
    filer->currentView()->selectAll();
    // The status bar and the actions do not wait for the paths.
    QCOMPARE(filer->statusMessage(), QStringLiteral("12001 items selected 60.0 kB"));
    QVERIFY(SharedActions::copy->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(changed.count(), 1, 30000);
    QCOMPARE(changed.at(0).at(0).toString(), own->uuid());
    QCOMPARE(changed.at(0).at(1).toStringList(), expected);

    // Select-all, then one file before the paths are made; then select-all
    // again, whose list marks the end of what can still arrive.
    changed.clear();
    filer->currentView()->selectAll();
    select(filer, { dir + QStringLiteral("/f-00007.txt") });
    filer->selectionModel()->clearSelection();
    filer->currentView()->selectAll();
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty() && changed.last().at(1).toStringList().size() == names.size(), 30000);
    QList<QStringList> lists;
    for (const QList<QVariant>& emission : changed)
        lists << emission.at(1).toStringList();
    QCOMPARE(lists.first(), QStringList{ dir + QStringLiteral("/f-00007.txt") });
    QCOMPARE(lists.last(), expected);
    for (int i = 1; i + 1 < lists.size(); ++i)
        QVERIFY2(lists.at(i).size() < 2, "an overtaken selection's paths arrived");
}

// ---- the item menu -------------------------------------------------------------------

void TestFilerActions::menuStartsWithApplications()
{
    RigPeer* own = f->rig->ownPeer();
    RigPeer* friendPeer = f->rig->addPeer(QStringLiteral("friend"));
    f->rig->storePeer(friendPeer->uuid());
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, { "notes.txt", "pack.zip" });
    QVERIFY(filer);

    select(filer, { dir + QStringLiteral("/notes.txt") });
    QCOMPARE(m_launcher->rowCount(), 3);
    QCOMPARE(menuTexts(filer),
             (QStringList{ "Velm Editor A", "Preview", "Open with", "|", "Cut", "Copy", "Paste", "Rename",
                           "New folder...", "|", "Share with", "Move to Trash" }));
    QMenu* menu = filer->contextMenu();
    QVERIFY(menu->actions().at(2)->menu());
    QCOMPARE(texts(menu->actions().at(2)->menu()->actions()), (QStringList{ "Velm Editor B", "Velm Editor C" }));
    QMenu* share = submenu(menu, QStringLiteral("menu-share-with"));
    QVERIFY(share);
    // The own machine is left out of "Share with".
    QCOMPARE(texts(share->actions()), QStringList{ "friend..." });

    // An application's entry carries its id; the menu launches through it.
    QVERIFY(menu->actions().at(0)->property("app").isValid());

    // An archive of this machine: no application, Extract first.
    select(filer, { dir + QStringLiteral("/pack.zip") });
    QCOMPARE(m_launcher->rowCount(), 0);
    SharedActions::preview->setEnabled(false);
    SharedActions::shareDrive->setChecked(true);
    QCOMPARE(menuTexts(filer), (QStringList{ "Extract", "Cut", "Copy", "Paste", "Rename", "New folder...", "|",
                                             "Share with", "Share drive with", "Move to Trash" }));
    QVERIFY(SharedActions::extract->isEnabled());
    // "Share drive with" lists the own machine too.
    QCOMPARE(texts(submenu(filer->contextMenu(), QStringLiteral("menu-share-drive-with"))->actions()),
             (QStringList{ "This PC...", "friend..." }));
    // Reopening builds the menu again rather than adding to it.
    QCOMPARE(filer->contextMenu()->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly).size(), 2);
}

void TestFilerActions::menuOfRemoteFile()
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("remote"));
    f->rig->storePeer(peer->uuid());
    const QString dir = f->rig->root(peer) + QStringLiteral("/shown");
    Filer* filer = showDirectory(peer, dir, { "pack.zip", "notes.txt" });
    QVERIFY(filer);
    SharedActions::shareDrive->setChecked(true);
    select(filer, { dir + QStringLiteral("/pack.zip") });
    QVERIFY(!SharedActions::extract->isEnabled());
    QCOMPARE(menuTexts(filer), (QStringList{ "Preview", "|", "Cut", "Copy", "Paste", "Rename", "New folder...", "|",
                                             "Move to Trash" }));
    // Remote files get their applications too (opened after their copy).
    select(filer, { dir + QStringLiteral("/notes.txt") });
    QCOMPARE(menuTexts(filer).mid(0, 3), (QStringList{ "Velm Editor A", "Preview", "Open with" }));
    QVERIFY(!SharedActions::showInExplorer->isEnabled());
    QVERIFY(!SharedActions::showProperties->isEnabled());
}

void TestFilerActions::gestureOpensNoMenu()
{
    RigPeer* own = f->rig->ownPeer();
    Filer* filer = showDirectory(own, f->rig->root(own) + QStringLiteral("/shown"), { "a.txt" });
    QVERIFY(filer);
    filer->onCustomContextMenuRequested(QPoint(10, 7));
    QVERIFY(!filer->contextMenu());
    filer->onCustomContextMenuRequested(QPoint(9, 7));
    QVERIFY(filer->contextMenu());
}

// ---- reveal --------------------------------------------------------------------------

void TestFilerActions::revealThroughFileManager()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        QSKIP("no private session bus (dbus-run-session missing)");
    QDBusConnection service = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("standin"));
    StandInFileManager manager;
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &manager,
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");

    RigPeer* own = f->rig->ownPeer();
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, { "a b.txt" });
    QVERIFY(filer);
    select(filer, { dir + QStringLiteral("/a b.txt") });
    QVERIFY(SharedActions::showInExplorer->isEnabled());
    SharedActions::showInExplorer->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(manager.shown.size(), 1, 15000);
    QCOMPARE(manager.shown.first(), QStringList{ QUrl::fromLocalFile(dir + QStringLiteral("/a b.txt")).toString(
                                        QUrl::FullyEncoded) });
    QVERIFY(manager.shown.first().first().contains(QLatin1String("a%20b.txt")));
    QVERIFY(catcher.opened.isEmpty());

    service.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
    service.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("standin"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void TestFilerActions::revealWithoutServiceOpensFolder()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    RigPeer* own = f->rig->ownPeer();
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, { "a.txt" });
    QVERIFY(filer);
    select(filer, { dir + QStringLiteral("/a.txt") });
    SharedActions::showInExplorer->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(catcher.opened.size(), 1, 15000);
    QCOMPARE(catcher.opened.first(), QUrl::fromLocalFile(dir));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));

    // A Filer of another machine reveals nothing here.
    RigPeer* peer = f->rig->addPeer(QStringLiteral("remote"));
    const QString remoteDir = f->rig->root(peer) + QStringLiteral("/shown");
    Filer* remote = showDirectory(peer, remoteDir, { "a.txt" });
    QVERIFY(remote);
    select(remote, { remoteDir + QStringLiteral("/a.txt") });
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    remote->onShowInExplorerActionTriggered();
    QTest::qWait(200);
    QCOMPARE(catcher.opened.size(), 1);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

// ---- sharing ------------------------------------------------------------------------

// "Share with" on a folder opens the share window on a new record (read and
// directory); once stored, the same entry opens that share again rather
// than a second one.
void TestFilerActions::shareFolderFromMenu()
{
    RigPeer* own = f->rig->ownPeer();
    RigPeer* friendPeer = f->rig->addPeer(QStringLiteral("friend"));
    f->rig->storePeer(friendPeer->uuid());
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, { "photos/", "a.txt" });
    QVERIFY(filer);
    select(filer, { dir + QStringLiteral("/photos") });

    auto shareEntry = [&]() -> QAction* {
        filer->onCustomContextMenuRequested(QPoint());
        QMenu* share = submenu(filer->contextMenu(), QStringLiteral("menu-share-with"));
        filer->contextMenu()->hide();
        return share && !share->actions().isEmpty() ? share->actions().first() : nullptr;
    };
    QAction* entry = shareEntry();
    QVERIFY(entry);
    QCOMPARE(entry->data().toString(), friendPeer->uuid());
    entry->trigger();
    auto* dialog = filer->findChild<ShareWithDialog*>();
    QVERIFY(dialog);
    QCOMPARE(dialog->peerUuid(), friendPeer->uuid());
    QCOMPARE(dialog->acl().selector, dir + QStringLiteral("/photos"));
    QCOMPARE(dialog->acl().name, QStringLiteral("photos"));
    QCOMPARE(dialog->acl().flags, 5u);
    dialog->onAccepted(true);
    QTRY_VERIFY(!filer->findChild<ShareWithDialog*>());
    const std::vector<PeerAclDto> stored = f->rig->database()->getAcls(friendPeer->uuid());
    QCOMPARE(stored.size(), size_t(1));
    QCOMPARE(stored.front().flags, 7u);

    entry = shareEntry();
    QVERIFY(entry);
    entry->trigger();
    dialog = filer->findChild<ShareWithDialog*>();
    QVERIFY(dialog);
    QCOMPARE(dialog->acl().uuid, stored.front().uuid);
    QCOMPARE(dialog->acl().flags, 7u);
    delete dialog;

    // With nothing selected the shown folder is shared.
    select(filer, {});
    entry = shareEntry();
    QVERIFY(entry);
    entry->trigger();
    dialog = filer->findChild<ShareWithDialog*>();
    QVERIFY(dialog);
    QCOMPARE(dialog->acl().selector, dir);
    QCOMPARE(dialog->acl().flags, 5u);
    delete dialog;
}

void TestFilerActions::shareDriveFromMenu()
{
    RigPeer* own = f->rig->ownPeer();
    RigPeer* friendPeer = f->rig->addPeer(QStringLiteral("friend"));
    f->rig->storePeer(friendPeer->uuid());
    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, { "a.txt" });
    QVERIFY(filer);
    select(filer, { dir + QStringLiteral("/a.txt") });
    SharedActions::shareDrive->setChecked(false);
    QVERIFY(!menuTexts(filer).contains(QStringLiteral("Share drive with")));
    SharedActions::shareDrive->setChecked(true);
    filer->onCustomContextMenuRequested(QPoint());
    QMenu* drive = submenu(filer->contextMenu(), QStringLiteral("menu-share-drive-with"));
    QVERIFY(drive);
    filer->contextMenu()->hide();
    QAction* entry = nullptr;
    for (QAction* action : drive->actions()) {
        if (action->data().toString() == friendPeer->uuid())
            entry = action;
    }
    QVERIFY(entry);
    entry->trigger();
    auto* dialog = filer->findChild<ShareWithDialog*>();
    QVERIFY(dialog);
    QCOMPARE(dialog->acl().selector, QStringLiteral("/"));
    QCOMPARE(dialog->acl().flags, 13u);
    delete dialog;

    // Only the active Filer answers a share entry.
    Filer* other = showDirectory(own, dir, { "a.txt" });
    QVERIFY(other);
    QCOMPARE(f->hub->activeFiler(), other);
    QAction stray;
    stray.setData(friendPeer->uuid());
    connect(&stray, SIGNAL(triggered()), filer, SLOT(onShareDriveTriggered()));
    stray.trigger();
    QVERIFY(!filer->findChild<ShareWithDialog*>());
}

// A folder shared from the menu reaches the friend: the friend's view of
// this machine lists it, may write into it while "Can edit" is on, may not
// once it is turned off, and loses it when the share is removed.
void TestFilerActions::shareReachesOtherMachine()
{
    RigPeer* own = f->rig->ownPeer();
    RigPeer* friendPeer = f->rig->addPeer(QStringLiteral("friend"));
    f->rig->storePeer(friendPeer->uuid());
    const QString friendUuid = friendPeer->uuid();
    DatabaseSqlite* db = f->rig->database();

    // What this machine serves the friend, fed from the store as the peer
    // loader feeds the friend's peer; and the friend's view of this machine.
    VfsServerVelm served(VfsServerVelm::Restricted);
    VfsClientVelm client;
    VfsLoopbackLink link(&client, &served);
    auto feed = [&] { served.setShares(db->getAcls(friendUuid)); };
    connect(db, &IDatabase::addedPeerAcl, &served, feed);
    connect(db, &IDatabase::removedPeerAcl, &served, feed);
    RigPeer seenByFriend(QUuid::createUuid().toString());
    seenByFriend.client = &client;
    VfsModelFactory::instance()->connectClient(&seenByFriend, &client);
    seenByFriend.setLinkState(IPeer::LinkUp);
    VfsModel* view = FilerFixture::modelOf(&seenByFriend);
    QVERIFY(view);
    view->fetchMore(QModelIndex());
    auto listedShares = [&] {
        QStringList names;
        const QModelIndex shares = view->indexForPath(QStringLiteral("%shares"));
        if (!shares.isValid())
            return QStringList{ QStringLiteral("<no %shares>") };
        if (view->canFetchMore(shares))
            view->fetchMore(shares);
        for (int row = 0; row < view->rowCount(shares); ++row)
            names << view->index(row, 0, shares).data(VfsModel::NameRole).toString();
        return names;
    };
    auto makeDirectory = [&](const QString& path) {
        // The record is the client's until it hands it back.
        VfsMakeDirectoryJob job;
        job.path = path;
        bool handedBack = false;
        QMetaObject::Connection back = connect(&client, &VfsClient::makeDirectoryUpdate, this,
                                               [&](VfsMakeDirectoryJob* done) { handedBack |= done == &job; });
        client.makeDirectory(&job);
        const bool done = QTest::qWaitFor([&] { return handedBack; }, 15000);
        disconnect(back);
        return done ? int(job.status) : -1;
    };
    QTRY_COMPARE_WITH_TIMEOUT(listedShares(), QStringList(), 15000);

    const QString dir = f->rig->root(own) + QStringLiteral("/shown");
    Filer* filer = showDirectory(own, dir, { "photos/" });
    QVERIFY(filer);
    select(filer, { dir + QStringLiteral("/photos") });
    auto openShare = [&]() -> ShareWithDialog* {
        filer->onCustomContextMenuRequested(QPoint());
        QMenu* share = submenu(filer->contextMenu(), QStringLiteral("menu-share-with"));
        filer->contextMenu()->hide();
        if (!share || share->actions().isEmpty())
            return nullptr;
        share->actions().first()->trigger();
        return filer->findChild<ShareWithDialog*>();
    };

    ShareWithDialog* dialog = openShare();
    QVERIFY(dialog);
    QElapsedTimer clock;
    clock.start();
    dialog->onAccepted(true);
    QTRY_COMPARE_WITH_TIMEOUT(listedShares(), QStringList{ "photos" }, 20000);
    qInfo("from Share to the friend's listing: %lld ms", clock.elapsed());
    const std::vector<PeerAclDto> stored = db->getAcls(friendUuid);
    QCOMPARE(stored.size(), size_t(1));
    const QString inShare = QStringLiteral("%shares/") + stored.front().uuid;
    QCOMPARE(makeDirectory(inShare + QStringLiteral("/by-friend")), int(FSO_STATUS_OK));
    QVERIFY(QFileInfo(dir + QStringLiteral("/photos/by-friend")).isDir());

    // "Can edit" off: the same share, read only.
    QTRY_VERIFY(!filer->findChild<ShareWithDialog*>());
    dialog = openShare();
    QVERIFY(dialog);
    QCOMPARE(dialog->acl().uuid, stored.front().uuid);
    dialog->onAccepted(false);
    QTRY_VERIFY(!filer->findChild<ShareWithDialog*>());
    QCOMPARE(db->getAcls(friendUuid).size(), size_t(1));
    QCOMPARE(makeDirectory(inShare + QStringLiteral("/refused")), int(FSO_STATUS_NOT_PERMITTED));
    QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/photos/refused")));

    // Removed from the peer page's list: gone from the friend's view.
    filer->onEditPeerAcl(friendUuid, stored.front().uuid);
    dialog = filer->findChild<ShareWithDialog*>();
    QVERIFY(dialog);
    dialog->onRemoveShare();
    QTRY_VERIFY(!filer->findChild<ShareWithDialog*>());
    QVERIFY(db->getAcls(friendUuid).empty());
    QTRY_COMPARE_WITH_TIMEOUT(listedShares(), QStringList(), 20000);
    QCOMPARE(makeDirectory(inShare + QStringLiteral("/after")), int(FSO_STATUS_NOT_PERMITTED));
}

// The reveal talks to a private session bus: the test runs itself again
// under dbus-run-session, with a bus configuration that activates nothing.
int main(int argc, char** argv)
{
#ifdef VELM_DBUS_RUN_SESSION
    if (qEnvironmentVariableIsEmpty("VELM_PRIVATE_BUS") && ::access(VELM_DBUS_RUN_SESSION, X_OK) == 0) {
        qputenv("VELM_PRIVATE_BUS", "1");
        std::vector<char*> args{ const_cast<char*>(VELM_DBUS_RUN_SESSION),
                                 const_cast<char*>("--config-file=" VELM_DBUS_CONFIG), const_cast<char*>("--") };
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(VELM_DBUS_RUN_SESSION, args.data());
        // Not started: run without the bus; the reveal test says so.
        qunsetenv("VELM_PRIVATE_BUS");
    }
#endif
    if (qEnvironmentVariableIsEmpty("VELM_PRIVATE_BUS"))
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    // The applications are the test's own: no data directory of the system
    // but its MIME database.
    QTemporaryDir data;
    QDir().mkpath(data.filePath(QStringLiteral("share")));
    QFile::link(QStringLiteral("/usr/share/mime"), data.filePath(QStringLiteral("share/mime")));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(data.filePath(QStringLiteral("share"))));
    QApplication app(argc, argv);
    TestFilerActions test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fileractions.moc"
