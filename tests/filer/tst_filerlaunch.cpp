#include "filertestbase.h"

#include "archive/p7zip.h"
#include "desktop/applauncher.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/peervelm.h"
#include "support/idtranslator.h"

#include <QAbstractItemView>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QtTest>

// What a Filer opens: a file activated (double click, Return) with the
// first application the launcher has for it, failures in the active Filer's
// status bar; Space on a file the preview action does not take; and the
// extraction of an archive of this machine, after which the Filer selects
// what came out. The launcher reads fake desktop entries of the test's own
// data directory, whose programs record their arguments in a file.
class TestFilerLaunch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void activation_data();
    void activation();
    void activatingFolderEntersIt();
    void launchFailureOnlyInActiveFiler();
    void spaceAsksForPreview_data();
    void spaceAsksForPreview();
    void extractSelectsWhatCameOut_data();
    void extractSelectsWhatCameOut();
    void extractRefused_data();
    void extractRefused();

private:
    // A Filer, active, in `dir` of `peer` with `rows` rows listed and the
    // current view focused.
    Filer* filerIn(IPeer* peer, const QString& dir, int rows);
    static QModelIndex rowNamed(Filer* filer, const QString& name);
    static void selectNames(Filer* filer, const QStringList& names);
    static QString statusText(Filer* filer);
    static void writeFile(const QString& path, const QByteArray& bytes);
    // What the recording program got under that tag; empty when it did not
    // run (within the wait).
    QStringList recorded(const QString& tag, int waitMs);
    QString sevenZip(const QString& archive, const QString& from, const QStringList& entries);

    QTemporaryDir m_dir;
    IdTranslator m_english;
    QString m_recordDir;
    std::unique_ptr<FilerFixture> f;
    std::unique_ptr<AppLauncher> m_launcher;
    QString m_files;
};

void TestFilerLaunch::writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void TestFilerLaunch::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);

    // The launcher and the MIME database read what is set up here (and the
    // system's entries and types), before either is first used. The rig
    // gives every test a data home of its own; this directory stays.
    const QString dataHome = m_dir.filePath(QStringLiteral("share"));
    qputenv("XDG_DATA_DIRS", (dataHome + QStringLiteral(":/usr/share")).toUtf8());
    writeFile(dataHome + QStringLiteral("/mime/packages/velm-launch.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
              "  <mime-type type=\"application/x-velm-doc\"><comment>Velm doc</comment>"
              "<glob pattern=\"*.velmdoc\"/></mime-type>\n"
              "  <mime-type type=\"application/x-velm-broken\"><comment>Velm broken</comment>"
              "<glob pattern=\"*.velmbroken\"/></mime-type>\n</mime-info>\n");
    QProcess update;
    update.start(QStringLiteral("update-mime-database"), { dataHome + QStringLiteral("/mime") });
    QVERIFY(update.waitForFinished(60000) && update.exitCode() == 0);

    m_recordDir = m_dir.filePath(QStringLiteral("records"));
    QDir().mkpath(m_recordDir);
    const QString record = m_dir.filePath(QStringLiteral("record.sh"));
    writeFile(record, "#!/bin/sh\n"
                      "out=\"" + m_recordDir.toUtf8() + "/$1\"; shift\n"
                      ": > \"$out.part\"\n"
                      "for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$out.part\"; done\n"
                      "mv \"$out.part\" \"$out\"\n");
    QFile::setPermissions(record, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString apps = dataHome + QStringLiteral("/applications/");
    writeFile(apps + QStringLiteral("velm-doc.desktop"),
              "[Desktop Entry]\nType=Application\nName=Velm Doc\nIcon=velm-test\nMimeType=application/x-velm-doc;\n"
              "Exec=" + record.toUtf8() + " doc %f\n");
    writeFile(apps + QStringLiteral("velm-broken.desktop"),
              "[Desktop Entry]\nType=Application\nName=Velm Broken\nIcon=velm-test\n"
              "MimeType=application/x-velm-broken;\nExec=" + m_dir.filePath(QStringLiteral("no-such-program")).toUtf8()
                  + " %f\n");
}

void TestFilerLaunch::init()
{
    f.reset(new FilerFixture);
    // The launcher scans the entries into this test's database.
    m_launcher.reset(new AppLauncher(nullptr));
    QCOMPARE(AppLauncher::instance(), m_launcher.get());
    m_files = f->rig->root(f->rig->ownPeer()) + QStringLiteral("/files");
    writeFile(m_files + QStringLiteral("/report.velmdoc"), "doc");
    writeFile(m_files + QStringLiteral("/old.velmbroken"), "broken");
    writeFile(m_files + QStringLiteral("/blob.velmnone"), QByteArray("\0\1\2\3\0\xff", 6));
    QDir().mkpath(m_files + QStringLiteral("/folder"));
}

void TestFilerLaunch::cleanup()
{
    f.reset();
    m_launcher.reset();
    QDir(m_recordDir).removeRecursively();
    QDir().mkpath(m_recordDir);
}

Filer* TestFilerLaunch::filerIn(IPeer* peer, const QString& dir, int rows)
{
    Filer* filer = f->newFiler();
    f->hub->setActiveFiler(f->pane.get(), filer);
    filer->setPeer(peer);
    f->pane->show();
    if (!QTest::qWaitForWindowExposed(f->pane.get()))
        return nullptr;
    filer->gotoPath(dir);
    QAbstractItemView* view = filer->currentView();
    if (!QTest::qWaitFor([&] { return filer->path() == dir && view->model()->rowCount(view->rootIndex()) == rows; },
                         15000))
        return nullptr;
    view->setFocus();
    return filer;
}

QModelIndex TestFilerLaunch::rowNamed(Filer* filer, const QString& name)
{
    QAbstractItemView* view = filer->currentView();
    for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row) {
        const QModelIndex index = view->model()->index(row, 0, view->rootIndex());
        if (index.data(VfsModel::NameRole).toString() == name)
            return index;
    }
    return QModelIndex();
}

void TestFilerLaunch::selectNames(Filer* filer, const QStringList& names)
{
    QItemSelection selection;
    for (const QString& name : names) {
        const QModelIndex index = rowNamed(filer, name);
        QVERIFY2(index.isValid(), qPrintable(name));
        selection.select(index, index);
    }
    filer->selectionModel()->setCurrentIndex(rowNamed(filer, names.first()), QItemSelectionModel::NoUpdate);
    filer->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QString TestFilerLaunch::statusText(Filer* filer)
{
    auto* bar = filer->filesPage()->findChild<QStatusBar*>();
    return bar ? bar->currentMessage() : QString();
}

QStringList TestFilerLaunch::recorded(const QString& tag, int waitMs)
{
    const QString path = m_recordDir + QLatin1Char('/') + tag;
    if (!QTest::qWaitFor([&] { return QFile::exists(path); }, waitMs))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList args;
    for (const QByteArray& arg : file.readAll().split('\0'))
        args << QString::fromUtf8(arg);
    args.removeLast();
    return args;
}

void TestFilerLaunch::activation_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("recordTag"); // empty: nothing starts
    QTest::addColumn<QString>("status");    // the status bar's text afterwards
    QTest::newRow("the type's application") << "report.velmdoc" << "doc" << "";
    QTest::newRow("its program is missing") << "old.velmbroken" << "" << "Could not start Velm Broken";
    QTest::newRow("no application") << "blob.velmnone" << "" << "No application to open blob.velmnone";
}

void TestFilerLaunch::activation()
{
    QFETCH(QString, name);
    QFETCH(QString, recordTag);
    QFETCH(QString, status);
    Filer* filer = filerIn(f->rig->ownPeer(), m_files, 4);
    QVERIFY(filer);
    // Another file selected before: the activated one is opened, not the
    // launcher's last selection.
    selectNames(filer, { QStringLiteral("report.velmdoc") });
    m_launcher->selectFiles(ownPeerUuid(), { m_files + QStringLiteral("/report.velmdoc") });
    const QModelIndex index = rowNamed(filer, name);
    QVERIFY(index.isValid());
    filer->currentView()->setCurrentIndex(index);
    QTest::keyClick(filer->currentView(), Qt::Key_Return);

    if (!recordTag.isEmpty())
        QCOMPARE(recorded(recordTag, 30000), QStringList{ m_files + QLatin1Char('/') + name });
    QCOMPARE(statusText(filer), status);
    QCOMPARE(filer->path(), m_files);
}

void TestFilerLaunch::activatingFolderEntersIt()
{
    Filer* filer = filerIn(f->rig->ownPeer(), m_files, 4);
    QVERIFY(filer);
    QSignalSpy deferred(m_launcher.get(), &AppLauncher::deferAppLaunch);
    filer->onActivated(rowNamed(filer, QStringLiteral("folder")));
    QTRY_COMPARE(filer->path(), m_files + QStringLiteral("/folder"));
    QCOMPARE(deferred.count(), 0);

    // Another machine's file goes back to the Filers as a deferred launch,
    // with that machine's id and the path there.
    RigPeer* peer = f->rig->addPeer(QStringLiteral("far"));
    const QString far = f->rig->root(peer) + QStringLiteral("/docs");
    writeFile(far + QStringLiteral("/far.velmdoc"), "far");
    Filer* remote = filerIn(peer, far, 1);
    QVERIFY(remote);
    remote->onActivated(rowNamed(remote, QStringLiteral("far.velmdoc")));
    QCOMPARE(deferred.count(), 1);
    QCOMPARE(deferred.first().at(1).toString(), peer->uuid());
    QCOMPARE(deferred.first().at(2).value<std::vector<QString>>(),
             std::vector<QString>{ far + QStringLiteral("/far.velmdoc") });
    QVERIFY(recorded(QStringLiteral("doc"), 0).isEmpty());
}

void TestFilerLaunch::launchFailureOnlyInActiveFiler()
{
    Filer* background = filerIn(f->rig->ownPeer(), m_files, 4);
    QVERIFY(background);
    Filer* active = filerIn(f->rig->ownPeer(), m_files, 4);
    QVERIFY(active);
    QCOMPARE(f->hub->activeFiler(), active);
    emit m_launcher->launchFailed(QStringLiteral("Could not start Something"));
    QCOMPARE(statusText(active), QStringLiteral("Could not start Something"));
    QCOMPARE(statusText(background), QString());
}

void TestFilerLaunch::spaceAsksForPreview_data()
{
    QTest::addColumn<bool>("remote");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("asked");
    QTest::newRow("another machine's file") << true << QStringList{ "far.png" } << true;
    QTest::newRow("a file of this machine") << false << QStringList{ "report.velmdoc" } << true;
    QTest::newRow("two files") << false << QStringList{ "report.velmdoc", "old.velmbroken" } << false;
    QTest::newRow("a folder") << false << QStringList{ "folder" } << false;
}

void TestFilerLaunch::spaceAsksForPreview()
{
    QFETCH(bool, remote);
    QFETCH(QStringList, names);
    QFETCH(bool, asked);
    IPeer* peer = f->rig->ownPeer();
    QString dir = m_files;
    int rows = 4;
    if (remote) {
        peer = f->rig->addPeer(QStringLiteral("far"));
        dir = f->rig->root(static_cast<RigPeer*>(peer)) + QStringLiteral("/pics");
        writeFile(dir + QStringLiteral("/far.png"), "not really a picture");
        rows = 1;
    }
    Filer* filer = filerIn(peer, dir, rows);
    QVERIFY(filer);
    selectNames(filer, names);
    QSignalSpy requests(filer, &Filer::previewRequest);
    QTest::keyClick(filer->currentView(), Qt::Key_Space);
    QCOMPARE(requests.count(), asked ? 1 : 0);
    if (asked) {
        QCOMPARE(requests.first().at(0).toString(), peer->uuid());
        QCOMPARE(requests.first().at(1).toString(), dir + QLatin1Char('/') + names.first());
    }
    // The selection stays as it was.
    QCOMPARE(filer->selectionModel()->selectedRows().size(), names.size());
}

QString TestFilerLaunch::sevenZip(const QString& archive, const QString& from, const QStringList& entries)
{
    QProcess zip;
    zip.setWorkingDirectory(from);
    zip.start(P7Zip::program(), QStringList{ QStringLiteral("a"), QStringLiteral("-y"), archive } + entries);
    if (!zip.waitForFinished(60000) || zip.exitStatus() != QProcess::NormalExit || zip.exitCode() != 0)
        return QString::fromUtf8(zip.readAllStandardError() + zip.readAllStandardOutput());
    return QString();
}

void TestFilerLaunch::extractSelectsWhatCameOut_data()
{
    QTest::addColumn<QStringList>("entries");  // in the archive
    QTest::addColumn<QStringList>("existing"); // beside the archive before
    QTest::addColumn<QString>("selected");
    QTest::newRow("one file") << QStringList{ "notes.txt" } << QStringList{} << "notes.txt";
    QTest::newRow("one file, name taken") << QStringList{ "notes.txt" } << QStringList{ "notes.txt" }
                                          << "notes (1).txt";
    QTest::newRow("two files") << QStringList{ "notes.txt", "more.txt" } << QStringList{} << "pack";
}

void TestFilerLaunch::extractSelectsWhatCameOut()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, existing);
    QFETCH(QString, selected);
    if (!P7Zip::isAvailable(QStringLiteral("x.7z")))
        QSKIP("no 7z program");
    const QString source = m_dir.filePath(QStringLiteral("source-%1").arg(QTest::currentDataTag()));
    for (const QString& entry : entries)
        writeFile(source + QLatin1Char('/') + entry, entry.toUtf8());
    const QString shown = f->rig->root(f->rig->ownPeer()) + QStringLiteral("/archives");
    QDir().mkpath(shown);
    const QString archive = shown + QStringLiteral("/pack.7z");
    const QString error = sevenZip(archive, source, entries);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const QString& name : existing)
        writeFile(shown + QLatin1Char('/') + name, "mine");

    Filer* filer = filerIn(f->rig->ownPeer(), shown, 1 + existing.size());
    QVERIFY(filer);
    selectNames(filer, { QStringLiteral("pack.7z") });
    QSignalSpy finished(filer, &Filer::extractionFinished);
    QSignalSpy failed(filer, &Filer::extractionFailed);
    filer->onExtractActionTriggered();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
    QCOMPARE(failed.count(), 0);
    const QString out = shown + QLatin1Char('/') + selected;
    QCOMPARE(finished.first().at(0).toString(), out);
    QTRY_COMPARE_WITH_TIMEOUT(filer->currentItemPath(), out, 30000);
    const QModelIndexList rows = filer->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().data(VfsModel::PathRole).toString(), out);
    // What was there before is untouched.
    for (const QString& name : existing) {
        QFile file(shown + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("mine"));
    }
}

void TestFilerLaunch::extractRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("status");
    QTest::newRow("broken archive") << "broken" << "Extraction of pack.7z failed";
    QTest::newRow("another machine's archive") << "remote" << "";
    QTest::newRow("Filer not active") << "inactive" << "";
}

void TestFilerLaunch::extractRefused()
{
    QFETCH(QString, kind);
    QFETCH(QString, status);
    if (!P7Zip::isAvailable(QStringLiteral("x.7z")))
        QSKIP("no 7z program");
    IPeer* peer = f->rig->ownPeer();
    QString shown = f->rig->root(f->rig->ownPeer()) + QStringLiteral("/archives");
    if (kind == QLatin1String("remote")) {
        RigPeer* far = f->rig->addPeer(QStringLiteral("far"));
        peer = far;
        shown = f->rig->root(far) + QStringLiteral("/archives");
    }
    const QString archive = shown + QStringLiteral("/pack.7z");
    if (kind == QLatin1String("broken")) {
        writeFile(archive, "7z\xbc\xaf\x27\x1c but nothing more");
    } else {
        writeFile(m_dir.filePath(QStringLiteral("single/notes.txt")), "notes");
        QDir().mkpath(shown);
        const QString error = sevenZip(archive, m_dir.filePath(QStringLiteral("single")), { QStringLiteral("notes.txt") });
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    Filer* filer = filerIn(peer, shown, 1);
    QVERIFY(filer);
    selectNames(filer, { QStringLiteral("pack.7z") });
    if (kind == QLatin1String("inactive"))
        f->hub->setActiveFiler(f->pane.get(), f->newFiler());
    QSignalSpy finished(filer, &Filer::extractionFinished);
    QSignalSpy failed(filer, &Filer::extractionFailed);
    filer->onExtractActionTriggered();
    if (!status.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 60000);
        QVERIFY2(statusText(filer).startsWith(status), qPrintable(statusText(filer)));
    } else {
        // Nothing was started: no extraction object hangs on the Filer.
        QVERIFY(filer->findChildren<P7Zip*>().isEmpty());
        QCOMPARE(failed.count(), 0);
    }
    QCOMPARE(finished.count(), 0);
    QCOMPARE(QDir(shown).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{ QStringLiteral("pack.7z") });
}

QTEST_MAIN(TestFilerLaunch)
#include "tst_filerlaunch.moc"
