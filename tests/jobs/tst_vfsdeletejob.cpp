// The delete job over the in-process link: order, trash and its question,
// failures.

#include "copyjobtestutil.h"

#include "jobs/vfsdeletejob.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/server/vfstrash.h"

#include <QSignalSpy>
#include <QtTest>

using namespace copytest;

namespace {

using C = VfsMirkCommand;

// A peer whose file system has no trash.
class NoTrash : public VfsTrash
{
public:
    Result moveToTrash(int, const char*, const char*) override { return NotSupported; }
};

// A trash that only remembers what it was given.
class RecordingTrash : public VfsTrash
{
public:
    explicit RecordingTrash(QStringList* trashed) : m_trashed(trashed) {}
    Result moveToTrash(int, const char*, const char* nativePath) override
    {
        m_trashed->append(QFile::decodeName(nativePath));
        return Trashed;
    }

private:
    QStringList* m_trashed;
};

VfsDeleteItem deleteItem(const QString& path)
{
    VfsDeleteItem item;
    item.path = path;
    item.type = QFileInfo(path).isDir() ? VfsCopyItem::TypeDirectory : VfsCopyItem::TypeFile;
    return item;
}

struct DeleteRun
{
    DeleteRun(IPeer* peer, quint32 flags, const QStringList& paths)
    {
        job = new VfsDeleteJob;
        job->setPeer(peer);
        job->setFlags(flags);
        std::vector<VfsDeleteItem> items;
        for (const QString& path : paths)
            items.push_back(deleteItem(path));
        job->setItems(items);
        QObject::connect(job.data(), &VfsJob::jobFinished, &context, [this] { ++finished; });
        QObject::connect(job.data(), &VfsJob::jobAborted, &context, [this] { ++aborted; });
        QObject::connect(job.data(), &VfsDeleteJob::trashFailedAskDelete, &context,
                         [this] { ++questions; });
    }
    ~DeleteRun() { delete job.data(); }

    QObject context;
    QPointer<VfsDeleteJob> job;
    int finished = 0;
    int aborted = 0;
    int questions = 0;
};

// Records the paths of the DELETE_FILE requests a link carries, in order.
QStringList* recordDeletes(Traffic& traffic)
{
    auto* paths = new QStringList;
    traffic.hook = [paths](const C& request) {
        if (request.command == C::DeleteFile)
            paths->append(QString::fromUtf8(request.pathBytes()));
        return false;
    };
    return paths;
}

} // namespace

class TestVfsDeleteJob : public QObject
{
    Q_OBJECT

private slots:
    void itemsGoInReverseOrder();
    void trashBitGoesToTheTrash();
    void missingTrashAsksBeforeDeleting_data();
    void missingTrashAsksBeforeDeleting();
    void firstFailureEndsTheJob();
    void nothingToDoIsAnAbort();
    void abortStopsBeforeTheNextItem();
    void cutDeletesOnlyWhatItWasGiven_data();
    void cutDeletesOnlyWhatItWasGiven();
    void requestOutWhenJobAndClientGo();
};

void TestVfsDeleteJob::itemsGoInReverseOrder()
{
    Machine a;
    const QStringList paths{a.path("d"), a.path("d/one"), a.path("d/two"), a.path("three")};
    QVERIFY(writeFile(a.path("d/one"), "1"));
    QVERIFY(writeFile(a.path("d/two"), "2"));
    QVERIFY(writeFile(a.path("three"), "3"));
    Traffic traffic;
    traffic.attach(a.link);
    std::unique_ptr<QStringList> sent(recordDeletes(traffic));

    DeleteRun run(&a.peer, 0, paths);
    run.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.aborted, 0);
    QStringList reversed(paths.crbegin(), paths.crend());
    QCOMPARE(*sent, reversed);
    for (const QString& path : paths)
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    QVERIFY(run.job->remainingItems().empty());
}

void TestVfsDeleteJob::trashBitGoesToTheTrash()
{
    Machine a;
    QStringList trashed;
    a.server.setTrash(std::unique_ptr<VfsTrash>(new RecordingTrash(&trashed)));
    QVERIFY(writeFile(a.path("x"), "x"));
    QVERIFY(writeFile(a.path("y"), "y"));
    DeleteRun run(&a.peer, 3, {a.path("x"), a.path("y")});
    run.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.questions, 0);
    QCOMPARE(trashed, (QStringList{a.path("y"), a.path("x")}));
    // The recording trash leaves the files where they are.
    QVERIFY(QFileInfo::exists(a.path("x")));
}

void TestVfsDeleteJob::missingTrashAsksBeforeDeleting_data()
{
    QTest::addColumn<bool>("agree");
    QTest::newRow("yes: delete permanently") << true;
    QTest::newRow("no: keep everything") << false;
}

void TestVfsDeleteJob::missingTrashAsksBeforeDeleting()
{
    QFETCH(bool, agree);
    Machine a;
    a.server.setTrash(std::unique_ptr<VfsTrash>(new NoTrash));
    const QStringList paths{a.path("p"), a.path("q"), a.path("r")};
    for (const QString& path : paths)
        QVERIFY(writeFile(path, "data"));
    Traffic traffic;
    traffic.attach(a.link);
    std::unique_ptr<QStringList> sent(recordDeletes(traffic));

    DeleteRun run(&a.peer, 3, paths);
    run.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.questions, 1, Slow);
    // Waiting for the answer: nothing was deleted, nothing more is sent.
    QCOMPARE(*sent, QStringList{a.path("r")});
    QCoreApplication::processEvents();
    QCOMPARE(sent->size(), 1);
    for (const QString& path : paths)
        QVERIFY(QFileInfo::exists(path));
    QCOMPARE(run.finished + run.aborted, 0);

    if (agree) {
        run.job->setFlags(run.job->flags() & ~quint32(VfsDeleteJob::FlagTrash));
        run.job->process(0);
        QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
        QCOMPARE(run.questions, 1); // asked once, then the rest went without the trash
        for (const QString& path : paths)
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
        QCOMPARE(*sent, (QStringList{a.path("r"), a.path("r"), a.path("q"), a.path("p")}));
    } else {
        run.job->abort();
        run.job->process(0);
        QTRY_COMPARE_WITH_TIMEOUT(run.aborted, 1, Slow);
        QCOMPARE(run.finished, 0);
        for (const QString& path : paths)
            QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QCOMPARE(sent->size(), 1);
    }
}

void TestVfsDeleteJob::firstFailureEndsTheJob()
{
    Machine a;
    QVERIFY(writeFile(a.path("first"), "1"));
    QVERIFY(writeFile(a.path("last"), "3"));
    // The middle one does not exist: the job ends there.
    DeleteRun run(&a.peer, 0, {a.path("first"), a.path("missing"), a.path("last")});
    run.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.aborted, 1, Slow);
    QCOMPARE(run.finished, 0);
    QVERIFY(!QFileInfo::exists(a.path("last")));
    QVERIFY(QFileInfo::exists(a.path("first")));
    QCOMPARE(run.job->remainingItems().size(), size_t(2));
}

void TestVfsDeleteJob::nothingToDoIsAnAbort()
{
    Machine a;
    DeleteRun empty(&a.peer, 0, {});
    empty.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(empty.aborted, 1, Slow);
    DeleteRun noPeer(nullptr, 0, {a.path("x")});
    noPeer.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(noPeer.aborted, 1, Slow);
}

void TestVfsDeleteJob::abortStopsBeforeTheNextItem()
{
    Machine a;
    QVERIFY(writeFile(a.path("one"), "1"));
    QVERIFY(writeFile(a.path("two"), "2"));
    Traffic traffic;
    traffic.attach(a.link);
    DeleteRun run(&a.peer, 0, {a.path("one"), a.path("two")});
    bool aborted = false;
    // Abort as soon as the first item is gone.
    QObject::connect(&a.client, &VfsClient::deleteFileUpdate, &run.context, [&] {
        if (!aborted) {
            aborted = true;
            run.job->abort();
        }
    });
    run.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.aborted, 1, Slow);
    QCOMPARE(run.finished, 0);
    QVERIFY(!QFileInfo::exists(a.path("two")));
    QVERIFY(QFileInfo::exists(a.path("one")));
    QCOMPARE(traffic.count(C::DeleteFile), 1);
}

// A cut is given what a copy verified. Files go one by one, then each
// directory, deepest first, only when it is empty: one that holds anything
// it was not given (a file that arrived during the copy, or just before the
// directory's turn) stays with every directory on its path, and is reported
// as kept. A plain delete still removes a whole tree.
void TestVfsDeleteJob::cutDeletesOnlyWhatItWasGiven_data()
{
    QTest::addColumn<bool>("cut");
    QTest::addColumn<QStringList>("files");   // created first, relative
    QTest::addColumn<QStringList>("items");   // handed to the job, relative
    QTest::addColumn<QString>("arriveAt");    // a file appears in it as its DELETE_FILE passes
    QTest::addColumn<QStringList>("survive");
    QTest::addColumn<QStringList>("kept");

    const QStringList nested{"d/top", "d/x/y/f"};
    const QStringList nestedItems{"d/x/y/f", "d/x/y", "d/x", "d/top", "d"};
    QTest::newRow("flat folder") << true << QStringList{"d/a", "d/b"}
                                 << QStringList{"d/a", "d/b", "d"} << QString()
                                 << QStringList{} << QStringList{};
    QTest::newRow("nested folder with a file that came during the copy")
        << true << (nested + QStringList{"d/x/y/late"}) << nestedItems << QString()
        << QStringList{"d", "d/x", "d/x/y", "d/x/y/late"} << QStringList{"d/x/y", "d/x", "d"};
    QTest::newRow("a file arrives after the directory was looked at")
        << true << nested << nestedItems << QString("d/x")
        << QStringList{"d", "d/x", "d/x/late"} << QStringList{"d/x", "d"};
    QTest::newRow("an item gone already") << true << QStringList{"d/a"}
                                          << QStringList{"d/a", "d/gone", "d"} << QString()
                                          << QStringList{} << QStringList{};
    QTest::newRow("plain delete of a folder: the whole tree")
        << false << (nested + QStringList{"d/x/y/late"}) << QStringList{"d"} << QString()
        << QStringList{} << QStringList{};
}

void TestVfsDeleteJob::cutDeletesOnlyWhatItWasGiven()
{
    QFETCH(bool, cut);
    QFETCH(QStringList, files);
    QFETCH(QStringList, items);
    QFETCH(QString, arriveAt);
    QFETCH(QStringList, survive);
    QFETCH(QStringList, kept);

    Machine a;
    for (const QString& file : files)
        QVERIFY(writeFile(a.path(file), file.toUtf8()));
    QStringList paths;
    std::vector<VfsDeleteItem> given;
    for (const QString& item : items) {
        VfsDeleteItem entry = deleteItem(a.path(item));
        if (item == "d" || item.endsWith("/x") || item.endsWith("/y"))
            entry.type = VfsCopyItem::TypeDirectory;
        given.push_back(entry);
    }
    Traffic traffic;
    traffic.attach(a.link);
    QList<quint32> directoryFlags;
    const QByteArray arrive = arriveAt.isEmpty() ? QByteArray() : a.path(arriveAt).toUtf8();
    traffic.hook = [&](const C& request) {
        if (request.command != C::DeleteFile)
            return false;
        if (QFileInfo(QString::fromUtf8(request.pathBytes())).isDir())
            directoryFlags << request.flags;
        if (!arrive.isEmpty() && request.pathBytes() == arrive)
            writeFile(QString::fromUtf8(arrive) + "/late", "late");
        return false;
    };

    DeleteRun run(&a.peer, 2, {});
    run.job->setItems(given);
    run.job->setCut(cut);
    QSignalSpy keptChanged(run.job.data(), &VfsDeleteJob::keptItemsChanged);
    run.job->start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.aborted, 0);

    QStringList everything = files + items;
    everything.removeDuplicates();
    for (const QString& path : everything) {
        if (survive.contains(path))
            QVERIFY2(QFileInfo::exists(a.path(path)), qPrintable(path));
        else
            QVERIFY2(!QFileInfo::exists(a.path(path)), qPrintable(path));
    }
    for (const QString& path : survive)
        QVERIFY2(QFileInfo::exists(a.path(path)), qPrintable(path));

    QStringList keptPaths;
    for (const VfsKeptItem& item : run.job->keptItems()) {
        keptPaths << QDir(a.dir.path()).relativeFilePath(item.path);
        QCOMPARE(item.reason, VfsDeleteJob::notEmptyReason());
    }
    QCOMPARE(keptPaths, kept);
    QCOMPARE(keptChanged.count(), kept.size());
    // A cut asks every directory to go only when empty; a plain delete never does.
    for (quint32 flags : directoryFlags)
        QCOMPARE(bool(flags & C::DeleteOnlyEmpty), cut);
}

// The job goes while its request is out, and the client goes before the
// answer comes back (the program's end): the record is freed with the
// client, neither leaked (the sanitizer build checks) nor freed twice.
void TestVfsDeleteJob::requestOutWhenJobAndClientGo()
{
    auto a = std::make_unique<Machine>();
    QVERIFY(writeFile(a->path("f.txt"), "f"));
    Traffic traffic;
    traffic.attach(a->link);
    traffic.hook = [](const C& request) { return request.command == C::DeleteFile; }; // unanswered
    auto run = std::make_unique<DeleteRun>(&a->peer, 2, QStringList{a->path("f.txt")});
    run->job->start();
    QTRY_VERIFY_WITH_TIMEOUT(traffic.count(C::DeleteFile) == 1, Slow);
    run.reset();
    a.reset();
    QCoreApplication::processEvents();
}

QTEST_GUILESS_MAIN(TestVfsDeleteJob)
#include "tst_vfsdeletejob.moc"
