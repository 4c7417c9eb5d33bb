#include "fileopstestbase.h"

#include "vfs/client/vfsclientvelm.h"
#include "vfs/server/vfsdesktoptrash.h"
#include "vfs/server/vfsservervelm.h"

#include <QAbstractItemView>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QQuickItem>
#include <QQuickWidget>
#include <QSignalSpy>

namespace {

// The desktop trash, except for one name, which the trash "does not
// support" (as a file system without a trash answers).
class FailingTrash : public VfsTrash
{
public:
    explicit FailingTrash(const QByteArray& failing) : m_failing(failing) {}
    Result moveToTrash(int directoryFd, const char* name, const char* nativePath) override
    {
        if (m_failing == name)
            return NotSupported;
        return m_desktop.moveToTrash(directoryFd, name, nativePath);
    }

private:
    QByteArray m_failing;
    VfsDesktopTrash m_desktop;
};

bool exists(const QString& path)
{
    return QFileInfo::exists(path);
}

QString trashPath()
{
    return QString::fromStdString(VfsDesktopTrash::homeTrashPath());
}

} // namespace

// Trash, delete, new folder and rename in a Filer, against real servers on
// temporary trees over the in-process link. Nothing is deleted without a
// confirmation, nothing is created or moved outside the folder shown, and
// every failure shows in the status bar.
class TestFilerFileOps : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void trashNeedsTheFocusAndLandsInTheTrash();
    void emptySelectionStartsNoJob();
    void deleteAsksFirst_data();
    void deleteAsksFirst();
    void trashFailureAsksAboutTheFailingItem_data();
    void trashFailureAsksAboutTheFailingItem();
    void refusedNames_data();
    void refusedNames();
    void newFolderPlace_data();
    void newFolderPlace();
    void typedNames_data();
    void typedNames();
    void renameThroughTheEditor();
    void failuresShow_data();
    void failuresShow();
    void lateAnswersTouchNothing();
    void answersReachOnlyTheirFiler();

private:
    // A directory "work" of the own peer holding entries; a Filer shows it.
    Filer* work(const QStringList& files, const QStringList& dirs = {});
    // Opens the rename editor on name (F2) and commits text through the model.
    bool renameTo(Filer* filer, const QString& name, const QString& text);
    // Asks for a new folder (F7) and enters text in the dialog.
    bool newFolder(Filer* filer, const QString& text);

    std::unique_ptr<FileOpsFixture> x;
    QString m_dir;
};

void TestFilerFileOps::init()
{
    x.reset(new FileOpsFixture);
}

void TestFilerFileOps::cleanup()
{
    x.reset();
}

Filer* TestFilerFileOps::work(const QStringList& files, const QStringList& dirs)
{
    m_dir = x->f->rig->root(x->f->rig->ownPeer()) + QStringLiteral("/work");
    FilerFixture::makeDirs(m_dir, dirs.isEmpty() ? QStringList{ QString() } : dirs);
    FilerFixture::makeFiles(m_dir, files);
    return x->filerIn(x->f->rig->ownPeer(), m_dir, files.size() + dirs.size());
}

bool TestFilerFileOps::renameTo(Filer* filer, const QString& name, const QString& text)
{
    if (!FileOpsFixture::select(filer, m_dir, { name }) || !FileOpsFixture::focusView(filer))
        return false;
    QTest::keyClick(filer->currentView(), Qt::Key_F2);
    const QModelIndex index = FileOpsFixture::shown(filer, m_dir + QLatin1Char('/') + name);
    if (!filer->currentView()->indexWidget(index))
        return false;
    // The model hears the editor's commit; a NUL cannot be typed.
    filer->proxy()->setData(index, text, Qt::EditRole);
    QTest::keyClick(filer->currentView()->indexWidget(index), Qt::Key_Escape);
    return true;
}

bool TestFilerFileOps::newFolder(Filer* filer, const QString& text)
{
    if (!FileOpsFixture::focusView(filer))
        return false;
    QTest::keyClick(filer->currentView(), Qt::Key_F7);
    auto* dialog = filer->findChild<QInputDialog*>(QStringLiteral("newFolderDialog"));
    if (!dialog || !dialog->isVisible())
        return false;
    dialog->setTextValue(text);
    QTest::keyClick(dialog->findChild<QLineEdit*>(), Qt::Key_Return);
    return !dialog->isVisible();
}

void TestFilerFileOps::trashNeedsTheFocusAndLandsInTheTrash()
{
    Filer* filer = work({ QStringLiteral("a.txt") });
    QVERIFY(filer);
    QSignalSpy added(x->jobs.get(), &VfsJobModel::jobAdded);
    QVERIFY(FileOpsFixture::select(filer, m_dir, { QStringLiteral("a.txt") }));

    // The breadcrumb's path field has the keys: Delete is the field's, and
    // the trash action, however it comes, does nothing.
    QObject* bar = filer->topNavigation()->rootObject();
    QVERIFY(bar);
    QMetaObject::invokeMethod(bar, "editPath");
    filer->topNavigation()->setFocus();
    QTRY_VERIFY(filer->topNavigation()->hasFocus());
    QVERIFY(!filer->hasFocus());
    QTest::keyClick(filer->topNavigation(), Qt::Key_Delete);
    SharedActions::trash->trigger();
    QVERIFY(filer->actedOn().contains(QStringLiteral("trash")));
    QCOMPARE(added.count(), 0);
    QVERIFY(exists(m_dir + QStringLiteral("/a.txt")));

    QVERIFY(FileOpsFixture::focusView(filer));
    QTest::keyClick(filer->currentView(), Qt::Key_Delete);
    QCOMPARE(added.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!exists(m_dir + QStringLiteral("/a.txt")), 15000);
    QVERIFY(exists(trashPath() + QStringLiteral("/files/a.txt")));
    QFile info(trashPath() + QStringLiteral("/info/a.txt.trashinfo"));
    QVERIFY(info.open(QIODevice::ReadOnly));
    QVERIFY(info.readAll().contains("Path="));
    // No question was asked for a trash that worked.
    QVERIFY(!filer->findChild<QMessageBox*>());
}

void TestFilerFileOps::emptySelectionStartsNoJob()
{
    Filer* filer = work({ QStringLiteral("a.txt") });
    QVERIFY(filer);
    QSignalSpy added(x->jobs.get(), &VfsJobModel::jobAdded);
    filer->selectionModel()->clearSelection();
    QVERIFY(FileOpsFixture::focusView(filer));
    // The keys find the actions disabled; the Filer's own commands, reached
    // some other way, still start nothing.
    QTest::keyClick(filer->currentView(), Qt::Key_Delete);
    QTest::keyClick(filer->currentView(), Qt::Key_Delete, Qt::ShiftModifier);
    QVERIFY(filer->actedOn().isEmpty());
    filer->onTrashActionTriggered();
    filer->onDeleteActionTriggered();
    QCOMPARE(filer->actedOn(), (QStringList{ "trash", "delete" }));
    QCOMPARE(added.count(), 0);
    QCOMPARE(x->jobs->rowCount(), 0);
    QVERIFY(!filer->findChild<QMessageBox*>());
    QVERIFY(exists(m_dir + QStringLiteral("/a.txt")));
}

void TestFilerFileOps::deleteAsksFirst_data()
{
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<int>("key"); // 0: the Cancel button is clicked
    QTest::addColumn<QString>("question");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("one folder, Escape") << QStringList{ "sub" } << int(Qt::Key_Escape)
                                        << "Do you really want to delete the folder “sub” permanently?" << false;
    QTest::newRow("one file, Cancel") << QStringList{ "a.txt" } << 0
                                      << "Do you really want to delete “a.txt” permanently?" << false;
    QTest::newRow("three items, Return") << QStringList{ "a.txt", "b.txt", "sub" } << int(Qt::Key_Return)
                                         << "Do you really want to delete these 3 items permanently?" << true;
}

void TestFilerFileOps::deleteAsksFirst()
{
    QFETCH(QStringList, selected);
    QFETCH(int, key);
    QFETCH(QString, question);
    QFETCH(bool, deleted);
    Filer* filer = work({ QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("c.txt") },
                        { QStringLiteral("sub") });
    QVERIFY(filer);
    QSignalSpy added(x->jobs.get(), &VfsJobModel::jobAdded);
    QVERIFY(FileOpsFixture::select(filer, m_dir, selected));
    QVERIFY(FileOpsFixture::focusView(filer));
    QTest::keyClick(filer->currentView(), Qt::Key_Delete, Qt::ShiftModifier);

    // The box does not block: nothing has happened while it is open.
    auto* box = filer->findChild<QMessageBox*>(QStringLiteral("confirmDeleteBox"));
    QVERIFY(box);
    QTRY_VERIFY(box->isVisible());
    QCOMPARE(box->text(), question);
    QCOMPARE(box->defaultButton()->objectName(), QStringLiteral("deleteButton"));
    QCOMPARE(added.count(), 0);
    FileOpsFixture::shot(box, QStringLiteral("confirm-delete-") + QString::number(selected.size()));
    if (key)
        QTest::keyClick(box, Qt::Key(key));
    else
        box->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
    QTRY_VERIFY(!filer->findChild<QMessageBox*>());

    QCOMPARE(added.count(), deleted ? 1 : 0);
    for (const QString& name : selected) {
        if (deleted)
            QTRY_VERIFY_WITH_TIMEOUT(!exists(m_dir + QLatin1Char('/') + name), 15000);
        else
            QVERIFY(exists(m_dir + QLatin1Char('/') + name));
    }
    // Permanently, and nothing else.
    QVERIFY(!exists(trashPath() + QStringLiteral("/files/a.txt")));
    QVERIFY(exists(m_dir + QStringLiteral("/c.txt")));
}

void TestFilerFileOps::trashFailureAsksAboutTheFailingItem_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes: the rest goes for good") << true;
    QTest::newRow("no: nothing more goes") << false;
}

void TestFilerFileOps::trashFailureAsksAboutTheFailingItem()
{
    QFETCH(bool, yes);
    const QStringList items = { "item1", "item2", "item3", "item4", "item5" };
    Filer* filer = work(items + QStringList{ "other" });
    QVERIFY(filer);
    x->f->rig->server(x->f->rig->ownPeer())->setTrash(std::make_unique<FailingTrash>("item3"));
    auto* bar = filer->findChild<QStatusBar*>();
    QStringList shown;
    connect(bar, &QStatusBar::messageChanged, bar, [&shown](const QString& text) { shown << text; });
    QVERIFY(FileOpsFixture::select(filer, m_dir, items));
    QVERIFY(FileOpsFixture::focusView(filer));
    QTest::keyClick(filer->currentView(), Qt::Key_F8);

    QMessageBox* box = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((box = filer->findChild<QMessageBox*>(QStringLiteral("confirmDeleteBox"))), 15000);
    QCOMPARE(box->text(), QStringLiteral("“item3” cannot be moved to the trash. Do you want to delete 3 items "
                                         "permanently, beginning with it?"));
    FileOpsFixture::shot(box, QStringLiteral("trash-failed"));
    // Items before it went to the trash, in the order they were selected.
    QVERIFY(exists(trashPath() + QStringLiteral("/files/item1")));
    QVERIFY(exists(trashPath() + QStringLiteral("/files/item2")));
    for (const char* name : { "item3", "item4", "item5" })
        QVERIFY(exists(m_dir + QLatin1Char('/') + QLatin1String(name)));
    QVERIFY(shown.contains(QStringLiteral("1 of 5")));
    QVERIFY(shown.contains(QStringLiteral("2 of 5")));

    QTest::keyClick(box, yes ? Qt::Key_Return : Qt::Key_Escape);
    if (yes) {
        for (const char* name : { "item3", "item4", "item5" })
            QTRY_VERIFY_WITH_TIMEOUT(!exists(m_dir + QLatin1Char('/') + QLatin1String(name)), 15000);
        // The last answer may come a moment after the disk shows it.
        QTRY_VERIFY(shown.contains(QStringLiteral("5 of 5")));
    } else {
        QTRY_COMPARE(FileOpsFixture::status(filer), QStringLiteral("Failed to put item3 in the trash."));
        for (const char* name : { "item3", "item4", "item5" })
            QVERIFY(exists(m_dir + QLatin1Char('/') + QLatin1String(name)));
    }
    for (const char* name : { "item3", "item4", "item5" })
        QVERIFY(!exists(trashPath() + QStringLiteral("/files/") + QLatin1String(name)));
    QVERIFY(exists(m_dir + QStringLiteral("/other")));
    QTRY_COMPARE(x->jobs->rowCount(), 0);
}

void TestFilerFileOps::refusedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<bool>("refused");
    const QChar slash('/');
    const QChar backslash('\\');
    QTest::newRow("empty") << QString() << slash << true;
    QTest::newRow("dot") << "." << slash << true;
    QTest::newRow("dot dot") << ".." << slash << true;
    QTest::newRow("slash") << "a/b" << slash << true;
    QTest::newRow("slash on a backslash peer") << "a/b" << backslash << true;
    QTest::newRow("backslash") << "a\\b" << slash << true;
    QTest::newRow("NUL") << QString::fromUtf8("a\0b", 3) << slash << true;
    QTest::newRow("spaces around") << " x " << slash << false;
    QTest::newRow("three dots") << "..." << slash << false;
    QTest::newRow("dot file") << ".hidden" << slash << false;
}

void TestFilerFileOps::refusedNames()
{
    QFETCH(QString, name);
    QFETCH(QChar, separator);
    QFETCH(bool, refused);
    QCOMPARE(!Filer::refusedNameReason(name, separator).isEmpty(), refused);
}

void TestFilerFileOps::newFolderPlace_data()
{
    QTest::addColumn<QStringList>("selected");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no selection: in the shown folder") << QStringList() << "made";
    QTest::newRow("beside the selected folder, not in it") << QStringList{ "sub" } << "made";
    QTest::newRow("beside the first selected item") << QStringList{ "a.txt", "sub" } << "made";
}

void TestFilerFileOps::newFolderPlace()
{
    QFETCH(QStringList, selected);
    QFETCH(QString, expected);
    Filer* filer = work({ QStringLiteral("a.txt") }, { QStringLiteral("sub") });
    QVERIFY(filer);
    if (selected.isEmpty())
        filer->selectionModel()->clearSelection();
    else
        QVERIFY(FileOpsFixture::select(filer, m_dir, selected));
    QVERIFY(newFolder(filer, QStringLiteral("made")));
    QCOMPARE(filer->pendingRequests(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(exists(m_dir + QLatin1Char('/') + expected), 15000);
    QTRY_COMPARE(filer->pendingRequests(), 0);
    QVERIFY(!exists(m_dir + QStringLiteral("/sub/made")));
    // The new folder is loaded into the model.
    QTRY_VERIFY(FilerFixture::modelOf(filer->peer())->indexForPath(m_dir + QStringLiteral("/made")).isValid());
    QVERIFY(FileOpsFixture::status(filer).isEmpty());
}

void TestFilerFileOps::typedNames_data()
{
    QTest::addColumn<bool>("rename");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message"); // empty: made; else the message's start
    const QString sep = QStringLiteral("A name cannot hold “/”, “\\” or a NUL character.");
    for (bool rename : { false, true }) {
        const char* kind = rename ? "rename" : "new folder";
        const QString failed = rename ? QStringLiteral("Failed to rename: ") : QStringLiteral("Failed to create folder: ");
        QTest::addRow("%s: empty", kind) << rename << "" << "A name is needed.";
        QTest::addRow("%s: dot", kind) << rename << "." << "“.” cannot be used as a name.";
        QTest::addRow("%s: dot dot", kind) << rename << ".." << "“..” cannot be used as a name.";
        QTest::addRow("%s: slash", kind) << rename << "a/b" << sep;
        if (rename)
            QTest::addRow("%s: NUL", kind) << rename << QString::fromUtf8("a\0b", 3) << sep;
        QTest::addRow("%s: spaces around", kind) << rename << " x " << QString();
        QTest::addRow("%s: 255 bytes", kind) << rename << QString(255, QLatin1Char('n')) << QString();
        QTest::addRow("%s: 256 bytes", kind) << rename << QString(256, QLatin1Char('n')) << failed;
    }
}

void TestFilerFileOps::typedNames()
{
    QFETCH(bool, rename);
    QFETCH(QString, name);
    QFETCH(QString, message);
    Filer* filer = work({ QStringLiteral("a.txt") }, { QStringLiteral("a") });
    QVERIFY(filer);
    const QStringList before = QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QVERIFY(rename ? renameTo(filer, QStringLiteral("a.txt"), name) : newFolder(filer, name));
    const bool refusedHere = !message.isEmpty() && !message.startsWith(QLatin1String("Failed"));
    if (refusedHere) {
        // Refused before anything was sent.
        QCOMPARE(filer->pendingRequests(), 0);
        QCOMPARE(FileOpsFixture::status(filer), message);
    } else if (!message.isEmpty()) {
        // The peer refused; it shows.
        QTRY_VERIFY_WITH_TIMEOUT(FileOpsFixture::status(filer).startsWith(message), 15000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(exists(m_dir + QLatin1Char('/') + name), 15000);
        QTRY_COMPARE(filer->pendingRequests(), 0);
        QVERIFY(FileOpsFixture::status(filer).isEmpty());
    }
    QTRY_COMPARE(filer->pendingRequests(), 0);
    // Nothing landed anywhere else: the folder holds what it held, plus the
    // new name (in place of a.txt for a rename).
    QStringList after = QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QStringList expected = before;
    if (message.isEmpty()) {
        if (rename)
            expected.removeOne(QStringLiteral("a.txt"));
        expected << name;
    }
    after.sort();
    expected.sort();
    QCOMPARE(after, expected);
    QCOMPARE(QDir(m_dir + QStringLiteral("/a")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestFilerFileOps::renameThroughTheEditor()
{
    Filer* filer = work({ QStringLiteral("a") });
    QVERIFY(filer);
    VfsClient* client = x->f->rig->ownPeer()->vfsClient();
    struct Sent
    {
        quint32 flags;
        QString source;
        QString destination;
    };
    QList<Sent> sent;
    connect(client, &VfsClient::moveUpdate, this, [&sent](VfsMoveJob* job) {
        QMutexLocker lock(&job->mutex);
        sent << Sent{ job->flags, job->sourcePath, job->destinationPath };
    }, Qt::DirectConnection);
    const QModelIndex index = FileOpsFixture::shown(filer, m_dir + QStringLiteral("/a"));
    QVERIFY(FileOpsFixture::select(filer, m_dir, { QStringLiteral("a") }));
    QVERIFY(FileOpsFixture::focusView(filer));

    // Escape cancels.
    QTest::keyClick(filer->currentView(), Qt::Key_F2);
    auto* editor = qobject_cast<QLineEdit*>(filer->currentView()->indexWidget(index));
    QVERIFY(editor);
    editor->setText(QStringLiteral("c"));
    QTest::keyClick(editor, Qt::Key_Escape);
    QTRY_VERIFY(!filer->currentView()->indexWidget(index));
    // The same name sends nothing.
    QTest::keyClick(filer->currentView(), Qt::Key_F2);
    editor = qobject_cast<QLineEdit*>(filer->currentView()->indexWidget(index));
    QVERIFY(editor);
    editor->setText(QStringLiteral("a"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(filer->pendingRequests(), 0);
    // Enter commits: one move from /x/a to /x/b that refuses to replace.
    QTRY_VERIFY(!filer->currentView()->indexWidget(index));
    QVERIFY(FileOpsFixture::focusView(filer));
    QTest::keyClick(filer->currentView(), Qt::Key_F2);
    editor = qobject_cast<QLineEdit*>(filer->currentView()->indexWidget(index));
    QVERIFY(editor);
    editor->setText(QStringLiteral("b"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(sent.size(), 1, 15000);
    QCOMPARE(sent.first().flags, quint32(3));
    QCOMPARE(sent.first().source, m_dir + QStringLiteral("/a"));
    QCOMPARE(sent.first().destination, m_dir + QStringLiteral("/b"));
    QTRY_VERIFY(exists(m_dir + QStringLiteral("/b")));
    QVERIFY(!exists(m_dir + QStringLiteral("/a")));
    QVERIFY(!exists(m_dir + QStringLiteral("/c")));
    QTRY_VERIFY(FilerFixture::modelOf(filer->peer())->indexForPath(m_dir + QStringLiteral("/b")).isValid());
}

void TestFilerFileOps::failuresShow_data()
{
    QTest::addColumn<bool>("rename");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::newRow("rename onto an existing name") << true << "b.txt"
                                                  << "Failed to rename: an item of that name exists already";
    QTest::newRow("a folder that exists") << false << "sub"
                                          << "Failed to create folder: an item of that name exists already";
    QTest::newRow("a file of that name") << false << "b.txt"
                                         << "Failed to create folder: an item of that name exists already";
}

void TestFilerFileOps::failuresShow()
{
    QFETCH(bool, rename);
    QFETCH(QString, name);
    QFETCH(QString, message);
    Filer* filer = work({ QStringLiteral("a.txt"), QStringLiteral("b.txt") }, { QStringLiteral("sub") });
    QVERIFY(filer);
    QFile b(m_dir + QStringLiteral("/b.txt"));
    QVERIFY(b.open(QIODevice::WriteOnly));
    b.write("b\n");
    b.close();
    QVERIFY(rename ? renameTo(filer, QStringLiteral("a.txt"), name) : newFolder(filer, name));
    QTRY_COMPARE_WITH_TIMEOUT(FileOpsFixture::status(filer), message, 15000);
    QCOMPARE(filer->pendingRequests(), 0);
    QVERIFY(exists(m_dir + QStringLiteral("/a.txt")));
    QVERIFY(b.open(QIODevice::ReadOnly));
    QCOMPARE(b.readAll(), QByteArray("b\n"));
    QVERIFY(QFileInfo(m_dir + QStringLiteral("/sub")).isDir());
}

void TestFilerFileOps::lateAnswersTouchNothing()
{
    // Every answer comes 300 ms late; the client gives up after 50 ms,
    // once the folder is shown.
    RigPeer* peer = x->f->rig->addPeer(QStringLiteral("slow"), 300);
    m_dir = x->f->rig->root(peer) + QStringLiteral("/work");
    FilerFixture::makeDirs(m_dir, { QString() });
    FilerFixture::makeFiles(m_dir, { QStringLiteral("a"), QStringLiteral("c") });
    Filer* filer = x->filerIn(peer, m_dir, 2);
    QVERIFY(filer);
    auto* client = qobject_cast<VfsClientVelm*>(peer->vfsClient());
    QVERIFY(client);
    client->setTimeouts(50, 50);

    QVERIFY(renameTo(filer, QStringLiteral("a"), QStringLiteral("b")));
    QCOMPARE(filer->pendingRequests(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(FileOpsFixture::status(filer),
                              QStringLiteral("Failed to rename: the machine did not answer in time"), 15000);
    QCOMPARE(filer->pendingRequests(), 0);
    // The peer did it after all; its answer comes to a record that is gone.
    QTRY_VERIFY_WITH_TIMEOUT(exists(m_dir + QStringLiteral("/b")), 15000);

    // A Filer that closes while its request is out leaves the record to the
    // client.
    QVERIFY(renameTo(filer, QStringLiteral("c"), QStringLiteral("d")));
    QCOMPARE(filer->pendingRequests(), 1);
    delete filer;
    QTRY_VERIFY_WITH_TIMEOUT(exists(m_dir + QStringLiteral("/d")), 15000);
    // Time for both answers to come back and be dropped (sanitizers watch).
    QTest::qWait(600);
}

void TestFilerFileOps::answersReachOnlyTheirFiler()
{
    m_dir = x->f->rig->root(x->f->rig->ownPeer()) + QStringLiteral("/work");
    FilerFixture::makeDirs(m_dir, { QString() });
    FilerFixture::makeFiles(m_dir, { QStringLiteral("a") });
    Filer* other = x->filerIn(x->f->rig->ownPeer(), m_dir, 1);
    QVERIFY(other);
    Filer* filer = x->filerIn(x->f->rig->ownPeer(), m_dir, 1);
    QVERIFY(filer);
    QTRY_COMPARE(x->f->hub->activeFiler(), filer);

    QVERIFY(renameTo(filer, QStringLiteral("a"), QStringLiteral("b")));
    QVERIFY(newFolder(filer, QStringLiteral("sub")));
    QCOMPARE(filer->pendingRequests(), 2);
    QCOMPARE(other->pendingRequests(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(filer->pendingRequests(), 0, 15000);
    QVERIFY(exists(m_dir + QStringLiteral("/b")));
    QVERIFY(exists(m_dir + QStringLiteral("/sub")));
    // One move only: the other Filer on the same peer sent none of its own.
    QVERIFY(!exists(m_dir + QStringLiteral("/a")));
    QVERIFY(FileOpsFixture::status(other).isEmpty());
    QVERIFY(FileOpsFixture::status(filer).isEmpty());

    // A record the Filer never sent is not its to answer (or to free).
    VfsMoveJob foreign;
    foreign.jobStatus = VfsClientJob::JobFinished;
    foreign.status = 15;
    VfsMakeDirectoryJob foreignFolder;
    foreignFolder.jobStatus = VfsClientJob::JobFailed;
    filer->onVfsMoveJobUpdate(&foreign);
    filer->onVfsMakeDirectoryJobUpdate(&foreignFolder);
    QVERIFY(FileOpsFixture::status(filer).isEmpty());
}

QTEST_MAIN(TestFilerFileOps)
#include "tst_filerfileops.moc"
