#include "filertestbase.h"

#include "desktop/applauncher.h"
#include "filer/launchcopydirectory.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfscopyjob.h"
#include "jobs/vfsjobmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/peervelm.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// The internal clipboard of the file panes against peers served from
// temporary trees over the in-process link: copy, cut and paste with their
// marks, the copies that an application opens once they are on this
// machine, and the private directory those copies go to.
class TestFilerClipboard : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void copyWithNothingSelected();
    void copyAndCutMark_data();
    void copyAndCutMark();
    void twoPanesFillTheRecordOnce();
    void pasteGoesWhereItIsPasted();
    void typedDestinationServesOnePaste();
    void cutIsPastedOnce();
    void pasteOutlivesItsFiler_data();
    void pasteOutlivesItsFiler();
    void cutIntoItsOwnDirectoryDoesNothing();
    void clearMarkedClearsEveryFiler();
    void directoryIntoItsOwnSubtree_data();
    void directoryIntoItsOwnSubtree();

    void deferredLaunchCopiesAndLaunchesInOrder();
    void pendingLaunchesEachWaitForTheirCopy();
    void launchOutlivesTheFilerThatTookIt();
    void abortedCopyLaunchesNothing();
    void unsafeLaunchDirectoryIsNotWritten_data();
    void unsafeLaunchDirectoryIsNotWritten();

private:
    bool go(Filer* filer, const QString& path);
    // Waits until the peer's model has the entry.
    static bool loaded(IPeer* peer, const QString& path);
    void select(Filer* filer, const QStringList& paths);
    int flagsOf(IPeer* peer, const QString& path) const;
    static QByteArray readAll(const QString& path);
    static void writeFile(const QString& path, const QByteArray& bytes);
    // A desktop entry that records its arguments under tag, and its id.
    void addRecorder(const QString& tag);
    int appId(const QString& tag) const;
    // What the recorder of tag received, once it ran.
    QStringList recorded(const QString& tag) const;
    // How often the recorder of tag was started.
    int runs(const QString& tag) const;
    QString launchDirectory(IPeer* peer) const;

    QTemporaryDir m_tmp;
    int m_runs = 0;
    QByteArray m_oldRuntime;
    QString m_runtime;
    QString m_records;
    std::unique_ptr<FilerFixture> f;
    std::unique_ptr<VfsJobModel> m_jobs;
    AppLauncher* m_launcher = nullptr;
    std::vector<QAction*> m_actions;
};

void TestFilerClipboard::init()
{
    QVERIFY(m_tmp.isValid());
    ++m_runs;
    // The shared actions the main window makes, before any Filer.
    for (QPointer<QAction>* slot : { &SharedActions::copy, &SharedActions::cut, &SharedActions::paste,
                                     &SharedActions::clearMarked }) {
        auto* action = new QAction;
        *slot = action;
        m_actions.push_back(action);
    }
    f.reset(new FilerFixture);
    // Copy jobs beside the clients of the rig, on this thread.
    m_jobs.reset(new VfsJobModel);

    // A private runtime directory of this test.
    m_oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    m_runtime = m_tmp.filePath(QStringLiteral("run-%1-%2").arg(QTest::currentTestFunction()).arg(m_runs));
    QVERIFY(QDir().mkpath(m_runtime));
    QVERIFY(::chmod(QFile::encodeName(m_runtime).constData(), 0700) == 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime));

    // Recording applications, read by a launcher made for this test.
    m_records = m_tmp.filePath(QStringLiteral("records-%1-%2").arg(QTest::currentTestFunction()).arg(m_runs));
    QVERIFY(QDir().mkpath(m_records));
    const QString script = m_tmp.filePath(QStringLiteral("record.sh"));
    writeFile(script, "#!/bin/sh\n"
                      "out=\"$1\"; shift\n"
                      "printf x >> \"$out.runs\"\n"
                      ": > \"$out.part\"\n"
                      "for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$out.part\"; done\n"
                      "mv \"$out.part\" \"$out\"\n");
    QVERIFY(QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    for (const char* tag : { "first", "second" })
        addRecorder(QLatin1String(tag));
    m_launcher = new AppLauncher(nullptr);
    QCOMPARE(AppLauncher::instance(), m_launcher);
    QVERIFY(appId(QStringLiteral("first")) > 0);
}

void TestFilerClipboard::cleanup()
{
    f.reset();
    // Jobs still winding down go with their parent.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_jobs.reset();
    delete m_launcher;
    m_launcher = nullptr;
    for (QAction* action : m_actions)
        delete action;
    m_actions.clear();
    qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
}

bool TestFilerClipboard::go(Filer* filer, const QString& path)
{
    filer->gotoPath(path);
    for (int i = 0; i < 1500 && filer->path() != path; ++i)
        QTest::qWait(10);
    return filer->path() == path;
}

bool TestFilerClipboard::loaded(IPeer* peer, const QString& path)
{
    VfsModel* model = FilerFixture::modelOf(peer);
    for (int i = 0; i < 1500 && !model->indexForPath(path).isValid(); ++i)
        QTest::qWait(10);
    return model->indexForPath(path).isValid();
}

void TestFilerClipboard::select(Filer* filer, const QStringList& paths)
{
    VfsModel* model = FilerFixture::modelOf(filer->peer());
    filer->selectionModel()->clearSelection();
    for (const QString& path : paths) {
        QModelIndex source;
        for (int i = 0; i < 1500 && !(source = model->indexForPath(path)).isValid(); ++i)
            QTest::qWait(10);
        QVERIFY2(source.isValid(), qPrintable(path));
        const QModelIndex index = filer->proxy()->mapFromSource(source);
        QVERIFY2(index.isValid(), qPrintable(path));
        filer->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

int TestFilerClipboard::flagsOf(IPeer* peer, const QString& path) const
{
    const QModelIndex index = FilerFixture::modelOf(peer)->indexForPath(path);
    return index.isValid() ? index.data(VfsModel::FlagsRole).toInt() : -1;
}

QByteArray TestFilerClipboard::readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void TestFilerClipboard::writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

void TestFilerClipboard::addRecorder(const QString& tag)
{
    const QString apps = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    writeFile(apps + QStringLiteral("/velm-record-%1.desktop").arg(tag),
              QStringLiteral("[Desktop Entry]\nType=Application\nName=Velm record %1\nExec=%2 %3 %F\n"
                             "Icon=velm-test\nMimeType=text/plain;\n")
                  .arg(tag, m_tmp.filePath(QStringLiteral("record.sh")), m_records + QLatin1Char('/') + tag)
                  .toUtf8());
}

int TestFilerClipboard::appId(const QString& tag) const
{
    QSqlQuery query;
    query.prepare(QStringLiteral("SELECT id FROM apps WHERE name = ?"));
    query.addBindValue(QStringLiteral("Velm record %1").arg(tag));
    return query.exec() && query.next() ? query.value(0).toInt() : -1;
}

QStringList TestFilerClipboard::recorded(const QString& tag) const
{
    const QString path = m_records + QLatin1Char('/') + tag;
    for (int i = 0; i < 3000 && !QFile::exists(path); ++i)
        QTest::qWait(10);
    QStringList arguments;
    const QByteArray bytes = readAll(path);
    if (bytes == "<missing>")
        return { QStringLiteral("<nothing recorded>") };
    for (const QByteArray& argument : bytes.split('\0'))
        arguments << QString::fromUtf8(argument);
    arguments.removeLast(); // after the last NUL
    return arguments;
}

int TestFilerClipboard::runs(const QString& tag) const
{
    return int(QFileInfo(m_records + QLatin1Char('/') + tag + QStringLiteral(".runs")).size());
}

QString TestFilerClipboard::launchDirectory(IPeer* peer) const
{
    return m_runtime + QStringLiteral("/velm/") + peer->uuid();
}

// ---- the clipboard -----------------------------------------------------------------

void TestFilerClipboard::copyWithNothingSelected()
{
    Filer* filer = f->newFiler();
    filer->setPeer(f->rig->ownPeer());
    QVERIFY(go(filer, f->rig->root(f->rig->ownPeer())));
    SharedActions::paste->setEnabled(true);
    SharedActions::copy->trigger();
    const VfsCopyDto* record = f->hub->clipboard();
    QVERIFY(!QUuid(record->id).isNull());
    QVERIFY(record->id.startsWith(QLatin1Char('{')));
    QCOMPARE(record->srcPeerUuid, f->rig->ownPeer()->uuid());
    QVERIFY(record->entries.empty());
    QVERIFY(record->dstPath.isEmpty());
    QVERIFY(!SharedActions::paste->isEnabled());
}

void TestFilerClipboard::copyAndCutMark_data()
{
    QTest::addColumn<bool>("cut");
    QTest::newRow("copy") << false;
    QTest::newRow("cut") << true;
}

// Both mark the entries and list them in selection order; only the move
// flag differs. A second copy takes the first one's marks away.
void TestFilerClipboard::copyAndCutMark()
{
    QFETCH(bool, cut);
    RigPeer* peer = f->rig->addPeer(QStringLiteral("source"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeFiles(root, { QStringLiteral("b.txt"), QStringLiteral("a.txt") });
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    QVERIFY(go(filer, root));
    const QString a = root + QStringLiteral("/a.txt");
    const QString b = root + QStringLiteral("/b.txt");
    const QString folder = root + QStringLiteral("/folder");
    select(filer, { b, folder, a });
    (cut ? SharedActions::cut : SharedActions::copy)->trigger();

    const VfsCopyDto* record = f->hub->clipboard();
    QCOMPARE(int(record->move), cut ? 1 : 0);
    QStringList paths;
    for (const VfsCopyEntry& entry : record->entries)
        paths << entry.path;
    QCOMPARE(paths, (QStringList{ b, folder, a }));
    QCOMPARE(record->entries[1].type, qint32(VfsCopyEntry::TypeDirectory));
    QCOMPARE(record->entries[0].type, qint32(VfsCopyEntry::TypeFile));
    QCOMPARE(record->entries[0].size, quint64(5));
    QVERIFY(record->entries[0].mtime > 0);
    for (const QString& path : { a, b, folder })
        QVERIFY(flagsOf(peer, path) & VfsModel::CopyMarkFlag);
    QVERIFY(!(flagsOf(peer, root + QStringLiteral("/notes.txt")) & VfsModel::CopyMarkFlag));
    QVERIFY(SharedActions::paste->isEnabled());

    select(filer, { root + QStringLiteral("/notes.txt") });
    SharedActions::copy->trigger();
    for (const QString& path : { a, b, folder })
        QVERIFY(!(flagsOf(peer, path) & VfsModel::CopyMarkFlag));
    QVERIFY(flagsOf(peer, root + QStringLiteral("/notes.txt")) & VfsModel::CopyMarkFlag);
}

// The shortcut reaches the Filers of both panes; only the active one fills
// the record.
void TestFilerClipboard::twoPanesFillTheRecordOnce()
{
    FilerPane second(f->engine.get(), f->rig->database(), f->hub.get());
    RigPeer* left = f->rig->addPeer(QStringLiteral("left"));
    RigPeer* right = f->rig->addPeer(QStringLiteral("right"));
    Filer* leftFiler = f->newFiler();
    leftFiler->setPeer(left);
    QVERIFY(go(leftFiler, f->rig->root(left)));
    select(leftFiler, { f->rig->root(left) + QStringLiteral("/notes.txt") });
    Filer* rightFiler = second.createFiler(1, QUuid::createUuid().toString());
    rightFiler->setPeer(right);
    QVERIFY(go(rightFiler, f->rig->root(right)));
    select(rightFiler, { f->rig->root(right) + QStringLiteral("/folder") });

    for (RigPeer* active : { right, left }) {
        f->hub->setActiveFilerPane(active == right ? &second : f->pane.get());
        SharedActions::copy->trigger();
        const VfsCopyDto* record = f->hub->clipboard();
        QCOMPARE(record->srcPeerUuid, active->uuid());
        QCOMPARE(int(record->entries.size()), 1);
        QCOMPARE(record->entries[0].path,
                 f->rig->root(active) + (active == right ? QStringLiteral("/folder") : QStringLiteral("/notes.txt")));
    }
    // The right pane's mark went with its content.
    QCOMPARE(flagsOf(right, f->rig->root(right) + QStringLiteral("/folder")) & VfsModel::CopyMarkFlag, 0);
    f->hub->setActiveFilerPane(f->pane.get());
}

// A paste goes to the shown directory of the Filer that pastes, on its
// peer; a second paste in another folder goes to that folder.
void TestFilerClipboard::pasteGoesWhereItIsPasted()
{
    FilerPane second(f->engine.get(), f->rig->database(), f->hub.get());
    RigPeer* source = f->rig->addPeer(QStringLiteral("source"));
    RigPeer* target = f->rig->addPeer(QStringLiteral("target"));
    const QString sourceRoot = f->rig->root(source);
    const QString targetRoot = f->rig->root(target);
    FilerFixture::makeDirs(targetRoot, { QStringLiteral("one"), QStringLiteral("two") });
    writeFile(sourceRoot + QStringLiteral("/photo.raw"), QByteArray(200000, 'p'));

    Filer* from = f->newFiler();
    from->setPeer(source);
    QVERIFY(go(from, sourceRoot));
    select(from, { sourceRoot + QStringLiteral("/photo.raw"), sourceRoot + QStringLiteral("/folder") });
    SharedActions::copy->trigger();

    Filer* to = second.createFiler(1, QUuid::createUuid().toString());
    to->setPeer(target);
    QVERIFY(go(to, targetRoot + QStringLiteral("/one")));
    f->hub->setActiveFilerPane(&second);
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    SharedActions::paste->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(readAll(targetRoot + QStringLiteral("/one/folder/inner.txt")), QByteArray("velm\n"),
                              20000);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(targetRoot + QStringLiteral("/one/photo.raw")), QByteArray(200000, 'p'),
                              20000);
    QVERIFY(f->hub->clipboard()->dstPath.isEmpty());
    QVERIFY(SharedActions::paste->isEnabled());

    QVERIFY(go(to, targetRoot + QStringLiteral("/two")));
    SharedActions::paste->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(readAll(targetRoot + QStringLiteral("/two/photo.raw")), QByteArray(200000, 'p'),
                              20000);
    QCOMPARE(added.count(), 2);
    // The sources stay: a copy moves nothing.
    QCOMPARE(readAll(sourceRoot + QStringLiteral("/photo.raw")), QByteArray(200000, 'p'));
    f->hub->setActiveFilerPane(f->pane.get());
}

// "Copy to" writes its folder into the record for one paste: the next plain
// paste goes to the pasting Filer's own folder again.
void TestFilerClipboard::typedDestinationServesOnePaste()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("peer"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("typed"), QStringLiteral("shown") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root));
    select(filer, { root + QStringLiteral("/notes.txt") });
    SharedActions::copy->trigger();
    QVERIFY(go(filer, root + QStringLiteral("/shown")));

    f->hub->clipboard()->dstPath = root + QStringLiteral("/typed");
    SharedActions::paste->trigger();
    QVERIFY(f->hub->clipboard()->dstPath.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(readAll(root + QStringLiteral("/typed/notes.txt")), QByteArray("velm\n"), 20000);

    SharedActions::paste->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(readAll(root + QStringLiteral("/shown/notes.txt")), QByteArray("velm\n"), 20000);
    QVERIFY(!QFile::exists(root + QStringLiteral("/typed/notes (Copy).txt")));
}

// A cut is pasted once: the items move, the record empties, the marks go
// and paste is off.
void TestFilerClipboard::cutIsPastedOnce()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("peer"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("into") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root));
    select(filer, { root + QStringLiteral("/notes.txt") });
    SharedActions::cut->trigger();
    QVERIFY(flagsOf(peer, root + QStringLiteral("/notes.txt")) & VfsModel::CopyMarkFlag);
    QVERIFY(go(filer, root + QStringLiteral("/into")));
    SharedActions::paste->trigger();

    QVERIFY(!SharedActions::paste->isEnabled());
    const VfsCopyDto* record = f->hub->clipboard();
    QVERIFY(record->entries.empty());
    QVERIFY(record->id.isEmpty());
    QCOMPARE(int(record->move), 0);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(root + QStringLiteral("/into/notes.txt")), QByteArray("velm\n"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(root + QStringLiteral("/notes.txt")), 20000);
    const int flags = flagsOf(peer, root + QStringLiteral("/notes.txt"));
    QVERIFY(flags == -1 || !(flags & VfsModel::CopyMarkFlag));

    // The disabled shortcut and a direct call alike do nothing more.
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    filer->onPasteActionTriggered();
    QCOMPARE(added.count(), 0);
}

void TestFilerClipboard::pasteOutlivesItsFiler_data()
{
    QTest::addColumn<bool>("cut");
    QTest::addColumn<bool>("otherMachine");
    QTest::newRow("copy from another machine") << false << true;
    QTest::newRow("cut from another machine") << true << true;
    QTest::newRow("cut on the same machine") << true << false;
}

// The Filer that pasted is closed before the job could end: the job goes on.
// A copy brings every byte, a move on one machine moves, and a cut from
// another machine still deletes its sources once they are here.
void TestFilerClipboard::pasteOutlivesItsFiler()
{
    QFETCH(bool, cut);
    QFETCH(bool, otherMachine);
    RigPeer* source = f->rig->addPeer(QStringLiteral("source"), 30);
    RigPeer* target = otherMachine ? f->rig->ownPeer() : source;
    const QString from = f->rig->root(source) + QStringLiteral("/moving.bin");
    const QByteArray bytes(400000, 'm');
    writeFile(from, bytes);
    const QString into = f->rig->root(target) + QStringLiteral("/into");
    QVERIFY(QDir().mkpath(into));

    Filer* stays = f->newFiler();
    stays->setPeer(source);
    QVERIFY(go(stays, f->rig->root(source)));
    select(stays, { from });
    (cut ? SharedActions::cut : SharedActions::copy)->trigger();
    QPointer<Filer> paster = f->newFiler();
    paster->setPeer(target);
    QVERIFY(go(paster, into));
    QCOMPARE(f->hub->activeFiler(), paster.data());
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    SharedActions::paste->trigger();
    QCOMPARE(added.count(), 1);
    // Closed before the event loop runs again: the job cannot have ended.
    emit f->pane->tabWidget()->tabCloseRequested(f->pane->tabWidget()->indexOf(paster));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(paster.isNull());

    const QString to = into + QStringLiteral("/moving.bin");
    QTRY_COMPARE_WITH_TIMEOUT(readAll(to), bytes, 30000);
    if (cut)
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(from), 30000);
    else
        QCOMPARE(readAll(from), bytes);
    // Whatever the job left behind is whole: no part file beside the copy.
    QCOMPARE(QDir(into).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{ QStringLiteral("moving.bin") });
}

// Cut and pasted where the items are: nothing moves, nothing is copied or
// deleted, the clipboard keeps them for a paste elsewhere.
void TestFilerClipboard::cutIntoItsOwnDirectoryDoesNothing()
{
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("peer"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("elsewhere") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root));
    select(filer, { root + QStringLiteral("/notes.txt"), root + QStringLiteral("/folder") });
    SharedActions::cut->trigger();
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    SharedActions::paste->trigger();
    QCOMPARE(added.count(), 0);
    QCOMPARE(int(f->hub->clipboard()->entries.size()), 2);
    QVERIFY(SharedActions::paste->isEnabled());

    // The same content pasted elsewhere moves; the tree is then whole there.
    QVERIFY(go(filer, root + QStringLiteral("/elsewhere")));
    SharedActions::paste->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(readAll(root + QStringLiteral("/elsewhere/folder/inner.txt")), QByteArray("velm\n"),
                              20000);
    QCOMPARE(added.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(root + QStringLiteral("/notes.txt")), 20000);
    QCOMPARE(readAll(root + QStringLiteral("/elsewhere/notes.txt")), QByteArray("velm\n"));
    QVERIFY(!QFile::exists(root + QStringLiteral("/elsewhere/notes (Copy).txt")));
}

// "Clear marked" reaches every Filer; the marks go wherever the entries
// show, paste is off, the entries stay in the record.
void TestFilerClipboard::clearMarkedClearsEveryFiler()
{
    FilerPane second(f->engine.get(), f->rig->database(), f->hub.get());
    RigPeer* peer = f->rig->addPeer(QStringLiteral("peer"));
    const QString root = f->rig->root(peer);
    Filer* one = f->newFiler();
    one->setPeer(peer);
    QVERIFY(go(one, root));
    Filer* other = second.createFiler(1, QUuid::createUuid().toString());
    other->setPeer(peer);
    QVERIFY(go(other, root));
    // The second Filer is active and on another peer when marks are cleared.
    select(one, { root + QStringLiteral("/notes.txt") });
    SharedActions::copy->trigger();
    const QModelIndex marked = other->proxy()->mapFromSource(
        FilerFixture::modelOf(peer)->indexForPath(root + QStringLiteral("/notes.txt")));
    QVERIFY(marked.data(VfsModel::FlagsRole).toInt() & VfsModel::CopyMarkFlag);
    f->hub->setActiveFilerPane(&second);
    other->setPeer(f->rig->ownPeer());

    SharedActions::clearMarked->trigger();
    QCOMPARE(one->actionsReached(), other->actionsReached());
    QVERIFY(!(flagsOf(peer, root + QStringLiteral("/notes.txt")) & VfsModel::CopyMarkFlag));
    QVERIFY(!SharedActions::paste->isEnabled());
    QCOMPARE(int(f->hub->clipboard()->entries.size()), 1);
    f->hub->setActiveFilerPane(f->pane.get());
}

void TestFilerClipboard::directoryIntoItsOwnSubtree_data()
{
    QTest::addColumn<bool>("cut");
    QTest::newRow("copy") << false;
    QTest::newRow("cut") << true;
}

// Pasted into its own subtree, a directory loses nothing: the job refuses
// and says so.
void TestFilerClipboard::directoryIntoItsOwnSubtree()
{
    QFETCH(bool, cut);
    Filer* filer = f->newFiler();
    RigPeer* peer = f->rig->addPeer(QStringLiteral("peer"));
    const QString root = f->rig->root(peer);
    FilerFixture::makeDirs(root, { QStringLiteral("folder/sub") });
    filer->setPeer(peer);
    QVERIFY(go(filer, root));
    select(filer, { root + QStringLiteral("/folder") });
    (cut ? SharedActions::cut : SharedActions::copy)->trigger();
    QVERIFY(go(filer, root + QStringLiteral("/folder/sub")));

    QStringList prompts;
    QList<QPointer<VfsJob>> jobs;
    connect(m_jobs.get(), &VfsJobModel::jobAdded, this, [&](VfsJob* job) {
        jobs << job;
        if (auto* copy = qobject_cast<VfsCopyJob*>(job)) {
            connect(copy, &VfsCopyJob::userActionPromptChanged, this, [&prompts, copy] {
                if (!copy->userActionPrompt().isEmpty())
                    prompts << copy->userActionPrompt();
            });
        }
    });
    SharedActions::paste->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!prompts.isEmpty(), 20000);
    QCOMPARE(readAll(root + QStringLiteral("/folder/inner.txt")), QByteArray("velm\n"));
    QVERIFY(QFileInfo(root + QStringLiteral("/folder/sub")).isDir());
    QVERIFY(!QFile::exists(root + QStringLiteral("/folder/sub/folder")));
    // Every job has ended without taking anything away.
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(jobs.begin(), jobs.end(), [](const QPointer<VfsJob>& job) {
        return !job || job->state() == VfsJob::VfsJobStateAborted || job->state() == VfsJob::VfsJobStateFinished;
    }), 20000);
    QCOMPARE(readAll(root + QStringLiteral("/folder/inner.txt")), QByteArray("velm\n"));
    disconnect(m_jobs.get(), nullptr, this, nullptr);
}

// ---- the launch after the copy ---------------------------------------------------------

// Two files of another machine opened with an application: copied into
// the private directory (an older copy there replaced without a question)
// and handed over in selection order, by whichever Filer is active, also
// when the tab changed while they were copied.
void TestFilerClipboard::deferredLaunchCopiesAndLaunchesInOrder()
{
    RigPeer* remote = f->rig->addPeer(QStringLiteral("remote"));
    const QString root = f->rig->root(remote);
    writeFile(root + QStringLiteral("/b.txt"), "bravo\n");
    writeFile(root + QStringLiteral("/a.txt"), "alpha\n");
    Filer* browsing = f->newFiler();
    browsing->setPeer(remote);
    QVERIFY(go(browsing, root));
    // The active Filer shows this machine, not the remote one.
    Filer* filer = f->newFiler();
    filer->setPeer(f->rig->ownPeer());
    QVERIFY(go(filer, f->rig->root(f->rig->ownPeer())));
    QCOMPARE(f->hub->activeFiler(), filer);
    const QString directory = launchDirectory(remote);
    writeFile(directory + QStringLiteral("/a.txt"), "an older copy that is longer\n");
    QVERIFY(::chmod(QFile::encodeName(m_runtime + QStringLiteral("/velm")).constData(), 0700) == 0);
    QVERIFY(::chmod(QFile::encodeName(directory).constData(), 0700) == 0);

    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    emit m_launcher->deferAppLaunch(appId(QStringLiteral("first")), remote->uuid(),
                                    { root + QStringLiteral("/b.txt"), root + QStringLiteral("/a.txt") });
    QCOMPARE(int(f->hub->clipboard()->pendingLaunches.size()), 1);
    // A tab switch while it copies.
    Filer* later = f->newFiler();
    QCOMPARE(f->hub->activeFiler(), later);

    QCOMPARE(recorded(QStringLiteral("first")),
             (QStringList{ directory + QStringLiteral("/b.txt"), directory + QStringLiteral("/a.txt") }));
    QCOMPARE(readAll(directory + QStringLiteral("/a.txt")), QByteArray("alpha\n"));
    QCOMPARE(readAll(directory + QStringLiteral("/b.txt")), QByteArray("bravo\n"));
    QVERIFY(f->hub->clipboard()->pendingLaunches.empty());
    QCOMPARE(added.count(), 1);
    QVERIFY(LaunchCopyDirectory::isPrivateDirectory(m_runtime + QStringLiteral("/velm")));
    QVERIFY(LaunchCopyDirectory::isPrivateDirectory(directory));
}

// Two launches pending at once: each application gets the files of its own
// copy, whichever copy ends first.
void TestFilerClipboard::pendingLaunchesEachWaitForTheirCopy()
{
    RigPeer* quick = f->rig->addPeer(QStringLiteral("quick"));
    RigPeer* slow = f->rig->addPeer(QStringLiteral("slow"), 30);
    writeFile(f->rig->root(quick) + QStringLiteral("/q.txt"), "quick\n");
    writeFile(f->rig->root(slow) + QStringLiteral("/s.txt"), QByteArray(300000, 's'));
    Filer* slowFiler = f->newFiler();
    slowFiler->setPeer(slow);
    QVERIFY(go(slowFiler, f->rig->root(slow)));
    Filer* filer = f->newFiler();
    filer->setPeer(quick);
    QVERIFY(go(filer, f->rig->root(quick)));
    QCOMPARE(f->hub->activeFiler(), filer);
    QVERIFY(loaded(slow, f->rig->root(slow) + QStringLiteral("/s.txt")));
    QVERIFY(loaded(quick, f->rig->root(quick) + QStringLiteral("/q.txt")));

    filer->onDeferAppLaunch(appId(QStringLiteral("second")), slow->uuid(),
                            { f->rig->root(slow) + QStringLiteral("/s.txt") });
    filer->onDeferAppLaunch(appId(QStringLiteral("first")), quick->uuid(),
                            { f->rig->root(quick) + QStringLiteral("/q.txt") });
    QCOMPARE(int(f->hub->clipboard()->pendingLaunches.size()), 2);
    QCOMPARE(recorded(QStringLiteral("first")), QStringList{ launchDirectory(quick) + QStringLiteral("/q.txt") });
    QCOMPARE(recorded(QStringLiteral("second")), QStringList{ launchDirectory(slow) + QStringLiteral("/s.txt") });
    QCOMPARE(readAll(launchDirectory(slow) + QStringLiteral("/s.txt")), QByteArray(300000, 's'));
    QVERIFY(f->hub->clipboard()->pendingLaunches.empty());
}

// The tab of the Filer that took the request is closed while the copy
// runs: the application still gets the copy once it is whole, and only
// once; the next request goes through the Filer active then.
void TestFilerClipboard::launchOutlivesTheFilerThatTookIt()
{
    RigPeer* remote = f->rig->addPeer(QStringLiteral("remote"), 30);
    const QString file = f->rig->root(remote) + QStringLiteral("/s.txt");
    writeFile(file, QByteArray(300000, 's'));
    Filer* other = f->newFiler();
    other->setPeer(f->rig->ownPeer());
    QVERIFY(go(other, f->rig->root(f->rig->ownPeer())));
    QPointer<Filer> taker = f->newFiler();
    taker->setPeer(remote);
    QVERIFY(go(taker, f->rig->root(remote)));
    QVERIFY(loaded(remote, file));
    QCOMPARE(f->hub->activeFiler(), taker.data());
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);

    emit m_launcher->deferAppLaunch(appId(QStringLiteral("first")), remote->uuid(), { file });
    // Closed before the event loop runs again: the copy cannot have ended.
    emit f->pane->tabWidget()->tabCloseRequested(f->pane->tabWidget()->indexOf(taker));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(taker.isNull());
    QCOMPARE(int(f->hub->clipboard()->pendingLaunches.size()), 1);
    QCOMPARE(f->hub->activeFiler(), other);

    const QString local = launchDirectory(remote) + QStringLiteral("/s.txt");
    QCOMPARE(recorded(QStringLiteral("first")), QStringList{ local });
    QCOMPARE(readAll(local), QByteArray(300000, 's'));
    QVERIFY(f->hub->clipboard()->pendingLaunches.empty());
    QCOMPARE(added.count(), 1);

    // A later request, through the Filer active now, is launched as well;
    // by its end a second start of the first application would have shown.
    emit m_launcher->deferAppLaunch(appId(QStringLiteral("second")), remote->uuid(), { file });
    QCOMPARE(recorded(QStringLiteral("second")), QStringList{ local });
    QCOMPARE(runs(QStringLiteral("first")), 1);
    QCOMPARE(runs(QStringLiteral("second")), 1);
}

// A copy that is aborted launches nothing and its pending launch goes.
void TestFilerClipboard::abortedCopyLaunchesNothing()
{
    RigPeer* remote = f->rig->addPeer(QStringLiteral("remote"), 20);
    writeFile(f->rig->root(remote) + QStringLiteral("/big.bin"), QByteArray(2000000, 'b'));
    writeFile(f->rig->root(remote) + QStringLiteral("/small.txt"), "small\n");
    Filer* filer = f->newFiler();
    filer->setPeer(remote);
    QVERIFY(go(filer, f->rig->root(remote)));
    QVERIFY(loaded(remote, f->rig->root(remote) + QStringLiteral("/big.bin")));
    QVERIFY(loaded(remote, f->rig->root(remote) + QStringLiteral("/small.txt")));
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);

    // Aborted as soon as it is registered, long before its end.
    auto abortOnce = connect(m_jobs.get(), &VfsJobModel::jobAdded, this, [](VfsJob* job) { job->abort(); });
    filer->onDeferAppLaunch(appId(QStringLiteral("first")), remote->uuid(),
                            { f->rig->root(remote) + QStringLiteral("/big.bin") });
    disconnect(abortOnce);
    QCOMPARE(added.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(f->hub->clipboard()->pendingLaunches.empty(), 20000);

    // A launch after it goes through; the aborted one never came.
    filer->onDeferAppLaunch(appId(QStringLiteral("second")), remote->uuid(),
                            { f->rig->root(remote) + QStringLiteral("/small.txt") });
    QCOMPARE(recorded(QStringLiteral("second")),
             QStringList{ launchDirectory(remote) + QStringLiteral("/small.txt") });
    QVERIFY(!QFile::exists(m_records + QStringLiteral("/first")));
    QVERIFY(!QFile::exists(launchDirectory(remote) + QStringLiteral("/big.bin")));
}

void TestFilerClipboard::unsafeLaunchDirectoryIsNotWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("velm owned by another user") << "foreign";
    QTest::newRow("velm is a link") << "link";
    QTest::newRow("velm open to others") << "open";
    QTest::newRow("peer directory is a link") << "peer-link";
}

// A "velm" directory that is not the user's private one, or a link put in
// its place, is never written through: no copy starts, the status bar
// says why.
void TestFilerClipboard::unsafeLaunchDirectoryIsNotWritten()
{
    QFETCH(QString, kind);
    RigPeer* remote = f->rig->addPeer(QStringLiteral("remote"));
    const QString velm = m_runtime + QStringLiteral("/velm");
    const QString elsewhere = m_tmp.filePath(QStringLiteral("elsewhere-") + kind);
    QVERIFY(QDir().mkpath(elsewhere));
    if (kind == QLatin1String("foreign")) {
        QVERIFY(QDir().mkpath(velm));
        if (::chown(QFile::encodeName(velm).constData(), 65534, 65534) != 0)
            QSKIP("needs to give a directory away (root)");
        QVERIFY(::chmod(QFile::encodeName(velm).constData(), 0700) == 0);
    } else if (kind == QLatin1String("link")) {
        QVERIFY(QFile::link(elsewhere, velm));
    } else if (kind == QLatin1String("open")) {
        QVERIFY(QDir().mkpath(velm));
        QVERIFY(::chmod(QFile::encodeName(velm).constData(), 0777) == 0);
    } else {
        QVERIFY(QDir().mkpath(velm));
        QVERIFY(::chmod(QFile::encodeName(velm).constData(), 0700) == 0);
        QVERIFY(QFile::link(elsewhere, velm + QLatin1Char('/') + remote->uuid()));
    }
    Filer* filer = f->newFiler();
    filer->setPeer(remote);
    QVERIFY(go(filer, f->rig->root(remote)));
    QVERIFY(loaded(remote, f->rig->root(remote) + QStringLiteral("/notes.txt")));
    QSignalSpy added(m_jobs.get(), &VfsJobModel::jobAdded);
    filer->onDeferAppLaunch(appId(QStringLiteral("first")), remote->uuid(),
                            { f->rig->root(remote) + QStringLiteral("/notes.txt") });
    QCOMPARE(added.count(), 0);
    QVERIFY(f->hub->clipboard()->pendingLaunches.empty());
    QVERIFY(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    QVERIFY(!filer->findChild<QStatusBar*>()->currentMessage().isEmpty());
}

QTEST_MAIN(TestFilerClipboard)
#include "tst_filerclipboard.moc"
