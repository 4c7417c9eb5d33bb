// The copy job's walk through trees and its dealings with the user: times,
// questions, names, refusals, hostile sources, handles and aborts.

#include "copyjobtestutil.h"

#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"
#include "vfs/server/vfspathguard.h"

#include <QSignalSpy>
#include <QtTest>

#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace copytest;

namespace {

using C = VfsMirkCommand;
using E = VfsMirkListEntry;

constexpr qint64 Block = VfsCopyJob::BlockSize;

bool setModified(const QString& path, qint64 ms)
{
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(ms / 1000);
    times[0].tv_nsec = times[1].tv_nsec = long(ms % 1000) * 1000000;
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times,
                       AT_SYMLINK_NOFOLLOW) == 0;
}

qint64 modified(const QString& path)
{
    return QFileInfo(path).lastModified().toMSecsSinceEpoch();
}

// A client that hands every request to another one and adds entries to the
// listings of one directory: a source that names things it must not.
class ForgingClient : public RelayClient
{
public:
    ForgingClient(VfsClientVelm* inner, QString forgedIn, QStringList names)
        : RelayClient(inner), m_forgedIn(std::move(forgedIn)), m_names(std::move(names))
    {
        disconnect(inner, &VfsClient::listDirectoryUpdate, this, &VfsClient::listDirectoryUpdate);
        connect(inner, &VfsClient::listDirectoryUpdate, this, [this](VfsListDirectoryJob* job) {
            if (job->path == m_forgedIn) {
                QMutexLocker lock(&job->mutex);
                for (const QString& name : m_names) {
                    VfsDirectoryEntry entry;
                    entry.name = name;
                    entry.type = VfsDirectoryEntry::TypeFile;
                    entry.size = 3;
                    job->entries.push_back(entry);
                }
            }
            emit listDirectoryUpdate(job);
        });
    }

private:
    QString m_forgedIn;
    QStringList m_names;
};

// Answers a failed write for the n-th WRITE_FILE request a link carries.
VfsLoopbackLink::RequestHook failWrite(VfsLoopbackLink& link, int n, int* seen)
{
    return [&link, n, seen](const C& request) {
        if (request.command != C::WriteFile || ++*seen != n)
            return false;
        link.sendToClient(VfsMirkCommandWriter::writeFileReply(request.trId, FSO_STATUS_IO_ERROR,
                                                               0, request.offset, 0));
        return true;
    };
}

} // namespace

class TestVfsCopyJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void treeArrivesWithDirectoryTimesSetAfterChildren();
    void linksAndDrivesAreLeftOut();
    void overwriteFlagsDecideTheQuestions_data();
    void overwriteFlagsDecideTheQuestions();
    void replaceAllSurvivesARestart();
    void ownDestinationsAreNoQuestionAfterRestart();
    void skippedFileIsKeptAndNotVerified();
    void duplicateName_data();
    void duplicateName();
    void copiesBesideTheOriginalGetFreeNames();
    void copyNameStaysAcrossRestarts();
    void directoryCopiedIntoItsParentGetsAFreeName();
    void shareArrivesUnderItsName();
    void copyIntoOwnSubtreeIsRefused_data();
    void copyIntoOwnSubtreeIsRefused();
    void hostileListingOnTheWireWritesNothingOutside();
    void unusableNamesReachingTheJobEndIt_data();
    void unusableNamesReachingTheJobEndIt();
    void failedListingIsNeverASuccess_data();
    void failedListingIsNeverASuccess();
    void handlesAreClosedAfterFailures();
    void abortWaitsForRequestsInFlight();
    void ownerDeletingTheJobLeavesRequestsSafe();
    void remainingTimeText_data();
    void remainingTimeText();

private:
    IdTranslator m_english;
};

void TestVfsCopyJob::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
    QCOMPARE(qtTrId("file-copy-count", 1), QStringLiteral("(Copy)"));
    QCOMPARE(qtTrId("file-copy-count", 3), QStringLiteral("(3. Copy)"));
}

void TestVfsCopyJob::treeArrivesWithDirectoryTimesSetAfterChildren()
{
    Machine a, b;
    const QString top = a.path("top");
    QVERIFY(writeFile(top + "/big.bin", pattern(3 * Block + 17, 1)));
    QVERIFY(writeFile(top + "/sub/one.txt", "one"));
    QVERIFY(writeFile(top + "/sub/deeper/two.bin", pattern(Block, 2)));
    QVERIFY(writeFile(top + "/sub/deeper/empty.txt", QByteArray()));
    QVERIFY(QDir().mkpath(top + "/sub/void"));
    QVERIFY(QDir().mkpath(b.path("dest")));
    // Distinct times, set after the children were made.
    const QStringList dirs{"top/sub/deeper", "top/sub/void", "top/sub", "top"};
    const QStringList files{"top/big.bin", "top/sub/one.txt", "top/sub/deeper/two.bin",
                            "top/sub/deeper/empty.txt"};
    qint64 stamp = 1300000000000;
    for (const QString& path : files + dirs)
        QVERIFY(setModified(a.path(path), stamp += 86400000));

    CopyRun run(requestFor(a, b, {top}, b.path("dest")), &a.peer, &b.peer);
    QSignalSpy totals(run.job.data(), &VfsCopyJob::totalFileCountChanged);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.aborted, 0);
    QCOMPARE(run.retries, 0);

    QCOMPARE(treeOf(b.path("dest/top")), treeOf(top));
    for (const QString& path : files + dirs)
        QCOMPARE(modified(b.path("dest/" + path)), modified(a.path(path)));
    QCOMPARE(run.job->totalFileCount(), 4);
    QCOMPARE(run.job->bytesTotalCount(), quint64(3 * Block + 17 + 3 + Block));
    QCOMPARE(run.job->bytesCopiedCount(), run.job->bytesTotalCount());
    QCOMPARE(run.job->percentDone(), 100.0);
    QVERIFY(totals.size() >= 2); // counted directory by directory

    // Everything is verified, each directory after what it holds.
    const QStringList verified = run.verifiedPaths();
    QCOMPARE(verified.size(), files.size() + dirs.size());
    for (const QString& path : files + dirs)
        QVERIFY2(verified.contains(a.path(path)), qPrintable(path));
    auto at = [&](const QString& path) { return verified.indexOf(a.path(path)); };
    QVERIFY(at("top") == verified.size() - 1);
    QVERIFY(at("top/sub") > at("top/sub/deeper"));
    QVERIFY(at("top/sub") > at("top/sub/void"));
    QVERIFY(at("top/sub/deeper") > at("top/sub/deeper/two.bin"));
    QVERIFY(at("top/sub/deeper") > at("top/sub/deeper/empty.txt"));

    QTRY_VERIFY_WITH_TIMEOUT(run.destroyed, Slow); // deletes itself after finishing
    QCOMPARE(a.server.openFileCount(), 0);
    QCOMPARE(b.server.openFileCount(), 0);
}

void TestVfsCopyJob::linksAndDrivesAreLeftOut()
{
    Machine a, b;
    QVERIFY(writeFile(a.path("dir/file.txt"), "data"));
    QVERIFY(QFile::link(a.path("dir/file.txt"), a.path("dir/link")));
    QVERIFY(::mkfifo(QFile::encodeName(a.path("dir/fifo")).constData(), 0600) == 0);
    QVERIFY(QFile::link(a.path("dir/file.txt"), a.path("toplink")));
    QVERIFY(QDir().mkpath(b.path("dest")));
    VfsCopyDto request = requestFor(a, b, {a.path("dir"), a.path("toplink")}, b.path("dest"));
    VfsCopyItem drive;
    drive.path = QStringLiteral("/");
    drive.type = VfsCopyItem::TypeDrive;
    request.entries.push_back(drive);

    CopyRun run(request, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(treeOf(b.path("dest")), (QMap<QString, QByteArray>{{"dir", "/"}, {"dir/file.txt", "data"}}));
    // The file arrived whole; the directory did not, so a move keeps it.
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("dir/file.txt")});
}

void TestVfsCopyJob::overwriteFlagsDecideTheQuestions_data()
{
    QTest::addColumn<int>("overwrite");
    QTest::addColumn<int>("overwriteAll");
    QTest::addColumn<int>("questions");
    QTest::newRow("ask for each") << 0 << 0 << 3;
    QTest::newRow("the first replaced") << 1 << 0 << 2;
    QTest::newRow("all replaced") << 0 << 1 << 0;
}

void TestVfsCopyJob::overwriteFlagsDecideTheQuestions()
{
    QFETCH(int, overwrite);
    QFETCH(int, overwriteAll);
    QFETCH(int, questions);
    Machine a, b;
    QStringList sources;
    for (const char* name : {"x.bin", "y.bin", "z.bin"}) {
        QVERIFY(writeFile(a.path(QString("src/") + name), pattern(Block + 5, name[0])));
        QVERIFY(writeFile(b.path(QString("dest/") + name), "old"));
        sources << a.path(QString("src/") + name);
    }
    VfsCopyDto request = requestFor(a, b, sources, b.path("dest"));
    request.overwrite = quint8(overwrite);
    request.overwriteAll = quint8(overwriteAll);
    CopyRun run(request, &a.peer, &b.peer);
    QVERIFY(!run.job->userActionEnabled(VfsJob::UserActionSkip));
    run.start();
    for (int i = 0; i < questions; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(run.asking(), Slow);
        QVERIFY(run.job->userActionEnabled(VfsJob::UserActionOverwrite));
        QVERIFY(run.job->userActionEnabled(VfsJob::UserActionSkip));
        QVERIFY(run.job->userActionPrompt().contains(b.path("dest")));
        run.job->replaceCurrentItem();
        QVERIFY(run.job->userActionPrompt().isEmpty());
    }
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.questions, questions);
    QCOMPARE(treeOf(b.path("dest")), treeOf(a.path("src")));
}

void TestVfsCopyJob::replaceAllSurvivesARestart()
{
    Machine a, b;
    QStringList sources;
    for (const char* name : {"x.bin", "y.bin", "z.bin"}) {
        QVERIFY(writeFile(a.path(QString("src/") + name), pattern(3 * Block, name[0])));
        QVERIFY(writeFile(b.path(QString("dest/") + name), pattern(2 * Block, 7)));
        sources << a.path(QString("src/") + name);
    }
    Traffic traffic;
    traffic.attach(b.link);
    int writes = 0;
    CopyRun run(requestFor(a, b, sources, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.asking(), Slow);
    QCOMPARE(run.questions, 1);
    // The next copy fails once and the job starts over.
    traffic.hook = failWrite(b.link, 2, &writes);
    // The answer comes from the pane's thread.
    std::thread pane([job = run.job.data()] { job->replaceAllItems(); });
    pane.join();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.retries, 1);
    QCOMPARE(run.questions, 1);
    QCOMPARE(treeOf(b.path("dest")), treeOf(a.path("src")));
}

void TestVfsCopyJob::ownDestinationsAreNoQuestionAfterRestart()
{
    Machine a, b;
    QStringList sources;
    for (const char* name : {"x.bin", "y.bin"}) {
        QVERIFY(writeFile(a.path(QString("src/") + name), pattern(4 * Block + 1, name[0])));
        sources << a.path(QString("src/") + name);
    }
    QVERIFY(QDir().mkpath(b.path("dest")));
    Traffic traffic;
    traffic.attach(b.link);
    int writes = 0;
    traffic.hook = failWrite(b.link, 7, &writes); // in the second file
    CopyRun run(requestFor(a, b, sources, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(run.retries >= 1);
    QCOMPARE(run.questions, 0);
    QCOMPARE(treeOf(b.path("dest")), treeOf(a.path("src")));
}

void TestVfsCopyJob::skippedFileIsKeptAndNotVerified()
{
    Machine a, b;
    QVERIFY(writeFile(a.path("src/keep.bin"), pattern(2 * Block, 3)));
    QVERIFY(writeFile(a.path("src/new.bin"), pattern(Block / 2, 4)));
    QVERIFY(writeFile(b.path("dest/src/keep.bin"), "mine"));
    CopyRun run(requestFor(a, b, {a.path("src")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.asking(), Slow);
    run.job->skipCurrentItem();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/src/keep.bin")), QByteArray("mine"));
    QCOMPARE(readFile(b.path("dest/src/new.bin")), readFile(a.path("src/new.bin")));
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("src/new.bin")});
    // The source handle of the skipped file was closed.
    QCOMPARE(a.server.openFileCount(), 0);
    QCOMPARE(b.server.openFileCount(), 0);
}

void TestVfsCopyJob::duplicateName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("directory");
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("expected");
    QTest::newRow("file") << "a.txt" << false << QStringList{"a.txt"} << "a (Copy).txt";
    QTest::newRow("second copy") << "a.txt" << false << QStringList{"a.txt", "a (Copy).txt"}
                                 << "a (2. Copy).txt";
    QTest::newRow("copy of a copy") << "a (Copy).txt" << false
                                    << QStringList{"a.txt", "a (Copy).txt"} << "a (2. Copy).txt";
    QTest::newRow("copy of a numbered copy")
        << "a (2. Copy).txt" << false << QStringList{"a (Copy).txt", "a (2. Copy).txt"}
        << "a (3. Copy).txt";
    QTest::newRow("gap is filled") << "a.txt" << false << QStringList{"a (Copy).txt", "a (3. Copy).txt"}
                                   << "a (2. Copy).txt";
    QTest::newRow("directory keeps its dot") << "d.old" << true << QStringList{"d.old"}
                                             << "d.old (Copy)";
    QTest::newRow("directory") << "d" << true << QStringList{"d"} << "d (Copy)";
    QTest::newRow("hidden file") << ".profile" << false << QStringList{".profile"}
                                 << ".profile (Copy)";
    QTest::newRow("trailing dot") << "name." << false << QStringList{"name."} << "name. (Copy)";
    QTest::newRow("last extension") << "x.tar.gz" << false << QStringList{} << "x.tar (Copy).gz";
    QTest::newRow("nothing but the mark") << "(Copy).txt" << false << QStringList{"(Copy).txt"}
                                          << "(Copy) (Copy).txt";
    QStringList all;
    for (int n = 1; n <= 127; ++n)
        all << (n == 1 ? QStringLiteral("f (Copy)") : QStringLiteral("f (%1. Copy)").arg(n));
    QTest::newRow("none free") << "f" << false << all << QString();
}

void TestVfsCopyJob::duplicateName()
{
    QFETCH(QString, name);
    QFETCH(bool, directory);
    QFETCH(QStringList, taken);
    QFETCH(QString, expected);
    const QString got = VfsCopyJob::duplicateName(
        name, directory, [&taken](const QString& candidate) { return taken.contains(candidate); });
    QCOMPARE(got, expected);
}

void TestVfsCopyJob::copiesBesideTheOriginalGetFreeNames()
{
    Machine a;
    const QByteArray content = pattern(Block + 99, 5);
    QVERIFY(writeFile(a.path("dir/a.txt"), content));
    const QString dir = a.path("dir");
    auto copy = [&](const QString& path) {
        CopyRun run(requestFor(a, a, {path}, dir), &a.peer, &a.peer);
        run.start();
        return QTest::qWaitFor([&] { return run.finished == 1 || run.aborted > 0; }, Slow)
            && run.finished == 1;
    };
    QVERIFY(copy(a.path("dir/a.txt")));
    QVERIFY(copy(a.path("dir/a.txt")));
    QVERIFY(copy(a.path("dir/a (Copy).txt")));
    QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name),
             (QStringList{"a (2. Copy).txt", "a (3. Copy).txt", "a (Copy).txt", "a.txt"}));
    for (const QString& name : QDir(dir).entryList(QDir::Files))
        QCOMPARE(readFile(dir + "/" + name), content);
}

void TestVfsCopyJob::copyNameStaysAcrossRestarts()
{
    Machine a;
    QVERIFY(writeFile(a.path("dir/a.bin"), pattern(5 * Block, 6)));
    Traffic traffic;
    traffic.attach(a.link);
    int writes = 0;
    traffic.hook = failWrite(a.link, 3, &writes);
    CopyRun run(requestFor(a, a, {a.path("dir/a.bin")}, a.path("dir")), &a.peer, &a.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(run.retries >= 1);
    QCOMPARE(QDir(a.path("dir")).entryList(QDir::Files, QDir::Name),
             (QStringList{"a (Copy).bin", "a.bin"}));
    QCOMPARE(readFile(a.path("dir/a (Copy).bin")), readFile(a.path("dir/a.bin")));
}

void TestVfsCopyJob::directoryCopiedIntoItsParentGetsAFreeName()
{
    Machine a;
    QVERIFY(writeFile(a.path("p/d/inner/f.bin"), pattern(2 * Block + 3, 8)));
    QVERIFY(writeFile(a.path("p/d/g.txt"), "g"));
    QVERIFY(QDir().mkpath(a.path("p/d (Copy)"))); // taken already
    CopyRun run(requestFor(a, a, {a.path("p/d")}, a.path("p")), &a.peer, &a.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(treeOf(a.path("p/d (2. Copy)")), treeOf(a.path("p/d")));
    QVERIFY(QDir(a.path("p/d (Copy)")).isEmpty());
    QCOMPARE(QDir(a.path("p")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 3);
}

void TestVfsCopyJob::shareArrivesUnderItsName()
{
    // A peer sees a shared folder as "%shares/{uuid}"; the copy is named
    // as the share is.
    Machine a(VfsServerVelm::Restricted), b;
    QVERIFY(writeFile(a.path("photos/p1.jpg"), pattern(Block + 3, 15)));
    QVERIFY(writeFile(a.path("photos/trip/p2.jpg"), pattern(7, 16)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    PeerAclDto share;
    share.uuid = QUuid::createUuid().toString();
    share.name = QStringLiteral("Holiday Photos");
    share.selector = a.path("photos");
    share.flags = VfsPathGuard::ShareRead | VfsPathGuard::ShareDirectory;
    a.server.setShares({share});
    VfsCopyDto request = requestFor(a, b, {a.path("photos")}, b.path("dest"));
    request.entries.front().path = QStringLiteral("%shares/") + share.uuid;
    CopyRun run(request, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(treeOf(b.path("dest")).keys(),
             (QStringList{"Holiday Photos", "Holiday Photos/p1.jpg", "Holiday Photos/trip",
                          "Holiday Photos/trip/p2.jpg"}));
    QCOMPARE(treeOf(b.path("dest/Holiday Photos")), treeOf(a.path("photos")));
}

void TestVfsCopyJob::copyIntoOwnSubtreeIsRefused_data()
{
    QTest::addColumn<QString>("destination");
    QTest::newRow("itself") << "src";
    QTest::newRow("itself, spelled with a slash") << "src/";
    QTest::newRow("a child") << "src/sub";
    QTest::newRow("a grandchild, spelled roundabout") << "src/sub/../sub/deeper";
}

void TestVfsCopyJob::copyIntoOwnSubtreeIsRefused()
{
    QFETCH(QString, destination);
    Machine a;
    QVERIFY(writeFile(a.path("src/sub/deeper/f.txt"), "f"));
    const auto before = treeOf(a.path("."));
    CopyRun run(requestFor(a, a, {a.path("src")}, a.dir.path() + "/" + destination), &a.peer,
                &a.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.aborted, 1, Slow);
    QCOMPARE(run.finished, 0);
    QCOMPARE(run.job->state(), VfsJob::VfsJobStateAborted);
    QVERIFY2(run.prompt.contains(QStringLiteral("cannot be copied into itself")),
             qPrintable(run.prompt));
    QCOMPARE(treeOf(a.path(".")), before);
}

void TestVfsCopyJob::hostileListingOnTheWireWritesNothingOutside()
{
    Machine a, b;
    const QByteArray good = pattern(Block + 1, 9);
    QVERIFY(writeFile(a.path("src/evil/good.bin"), good));
    QVERIFY(QDir().mkpath(b.path("dest")));
    QVERIFY(writeFile(b.path("outside.txt"), "untouched"));
    const QString evil = a.path("src/evil");
    QSet<quint16> forged;
    Traffic traffic;
    traffic.attach(a.link);
    traffic.hook = [&](const C& request) {
        if (request.command == C::ListDirectory && QString::fromUtf8(request.pathBytes()) == evil) {
            forged.insert(request.trId);
            VfsMirkFieldMask fields;
            fields.set(0, E::FieldsAll);
            a.link.sendToClient(VfsMirkCommandWriter::listDirectoryReply(
                request.trId, FSO_STATUS_OK, request.flags & C::ListReplyFlags, fields, 0));
            return true;
        }
        if (request.command == C::QueryListDirectory && forged.contains(request.trId)) {
            VfsMirkListPageWriter page(request.trId, FSO_STATUS_COMPLETE, request.index,
                                       E::FieldsAll);
            for (const QByteArray& name : {QByteArray("../outside.txt"), QByteArray("a/b"),
                                           QByteArray(".."), QByteArray("good.bin")}) {
                E entry;
                entry.name = name;
                entry.type = name == ".." ? E::TypeDirectory : E::TypeFile;
                entry.size = quint64(good.size());
                entry.modificationTime = 1400000000000;
                entry.accessTime = 1400000000000;
                page.addEntry(entry);
            }
            a.link.sendToClient(page.finish());
            return true;
        }
        return false;
    };
    CopyRun run(requestFor(a, b, {a.path("src")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("outside.txt")), QByteArray("untouched"));
    QCOMPARE(treeOf(b.path(".")),
             (QMap<QString, QByteArray>{{"dest", "/"}, {"dest/src", "/"}, {"dest/src/evil", "/"},
                                        {"dest/src/evil/good.bin", good},
                                        {"outside.txt", "untouched"}}));
}

void TestVfsCopyJob::unusableNamesReachingTheJobEndIt_data()
{
    QTest::addColumn<QStringList>("forged");
    QTest::addColumn<QString>("requested");
    QTest::newRow("parent in a listing") << QStringList{"../outside.txt"} << "src";
    QTest::newRow("separator in a listing") << QStringList{"a/b"} << "src";
    QTest::newRow("dot-dot in a listing") << QStringList{".."} << "src";
    QTest::newRow("empty in a listing") << QStringList{""} << "src";
    QTest::newRow("dot-dot in the request") << QStringList{} << "src/sub/..";
}

void TestVfsCopyJob::unusableNamesReachingTheJobEndIt()
{
    QFETCH(QStringList, forged);
    QFETCH(QString, requested);
    Machine a, b;
    QVERIFY(writeFile(a.path("src/sub/file.txt"), "file"));
    QVERIFY(QDir().mkpath(b.path("dest/x")));
    QVERIFY(writeFile(b.path("outside.txt"), "untouched"));
    ForgingClient forger(&a.client, a.path("src/sub"), forged);
    a.peer.setClient(&forger);
    const auto before = treeOf(b.path("."));

    VfsCopyDto request = requestFor(a, b, {a.path("src")}, b.path("dest/x"));
    request.entries.front().path = a.dir.path() + "/" + requested;
    CopyRun run(request, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.aborted, 1, Slow);
    QCOMPARE(run.finished, 0);
    QVERIFY2(run.prompt.contains(QStringLiteral("cannot be used")), qPrintable(run.prompt));
    // Nothing outside the destination, nothing named by the source's fancy.
    QCOMPARE(readFile(b.path("outside.txt")), QByteArray("untouched"));
    const auto after = treeOf(b.path("."));
    for (auto it = after.begin(); it != after.end(); ++it)
        QVERIFY2(before.contains(it.key()) || it.key().startsWith("dest/x/src"),
                 qPrintable(it.key()));
    QVERIFY(!QFileInfo::exists(b.path("dest/outside.txt")));
    QTRY_COMPARE_WITH_TIMEOUT(a.client.pendingJobs() + b.client.pendingJobs(), 0, Slow);
}

void TestVfsCopyJob::failedListingIsNeverASuccess_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("finishes");
    QTest::newRow("refused") << int(FSO_STATUS_NOT_PERMITTED) << 1000 << false;
    QTest::newRow("failed once") << int(FSO_STATUS_IO_ERROR) << 1 << true;
    QTest::newRow("failed in the copy pass") << int(FSO_STATUS_NOT_FOUND) << -2 << true;
}

void TestVfsCopyJob::failedListingIsNeverASuccess()
{
    QFETCH(int, status);
    QFETCH(int, times);
    QFETCH(bool, finishes);
    Machine a, b;
    QVERIFY(writeFile(a.path("src/sub/inner.bin"), pattern(Block, 10)));
    QVERIFY(writeFile(a.path("src/top.txt"), "top"));
    QVERIFY(QDir().mkpath(b.path("dest")));
    // times > 0: the first listings of sub fail; -n: only the n-th one does.
    int listings = 0;
    Traffic traffic;
    traffic.attach(a.link);
    traffic.hook = [&](const C& request) {
        if (request.command != C::ListDirectory
            || QString::fromUtf8(request.pathBytes()) != a.path("src/sub"))
            return false;
        ++listings;
        if (times > 0 ? listings > times : listings != -times)
            return false;
        VfsMirkFieldMask fields;
        a.link.sendToClient(VfsMirkCommandWriter::listDirectoryReply(
            request.trId, quint8(status), request.flags & C::ListReplyFlags, fields, 0));
        return true;
    };
    CopyRun run(requestFor(a, b, {a.path("src")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.finished + run.aborted > 0, Slow);
    if (finishes) {
        QCOMPARE(run.finished, 1);
        QVERIFY(run.retries >= 1);
        QCOMPARE(treeOf(b.path("dest/src")), treeOf(a.path("src")));
    } else {
        QCOMPARE(run.aborted, 1);
        QVERIFY2(run.prompt.contains(a.path("src/sub")), qPrintable(run.prompt));
        QCOMPARE(run.job->state(), VfsJob::VfsJobStateAborted);
    }
}

void TestVfsCopyJob::handlesAreClosedAfterFailures()
{
    Machine a, b;
    for (int i = 0; i < 3; ++i)
        QVERIFY(writeFile(a.path(QStringLiteral("src/f%1.bin").arg(i)), pattern(3 * Block, i)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    Traffic traffic;
    traffic.attach(b.link);
    // Every file fails once, at one of its writes.
    int writes = 0;
    traffic.hook = [&](const C& request) {
        if (request.command != C::WriteFile || ++writes % 4 != 2)
            return false;
        b.link.sendToClient(VfsMirkCommandWriter::writeFileReply(request.trId, FSO_STATUS_IO_ERROR,
                                                                 0, request.offset, 0));
        return true;
    };
    CopyRun run(requestFor(a, b, {a.path("src")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.retries >= 2, Slow);
    traffic.hook = nullptr;
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(treeOf(b.path("dest/src")), treeOf(a.path("src")));
    QTRY_VERIFY_WITH_TIMEOUT(run.destroyed, Slow);
    QCOMPARE(a.server.openFileCount(), 0);
    QCOMPARE(b.server.openFileCount(), 0);
}

void TestVfsCopyJob::abortWaitsForRequestsInFlight()
{
    Machine a, b;
    QVERIFY(writeFile(a.path("big.bin"), pattern(40 * Block, 11)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    a.client.setTimeouts(VfsClientVelm::RequestTimeout, 3000);
    Traffic traffic;
    traffic.attach(a.link);
    traffic.hook = [](const C& request) { return request.command == C::ReadFile; }; // never answered
    CopyRun run(requestFor(a, b, {a.path("big.bin")}, b.path("dest")), &a.peer, &b.peer);
    int pendingWhenDestroyed = -1;
    QObject::connect(run.job.data(), &QObject::destroyed, &run.context,
                     [&] { pendingWhenDestroyed = a.client.pendingJobs(); });
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(traffic.reads.size() >= 3, Slow);
    QVERIFY(a.client.pendingJobs() > 0);
    run.job->abort();
    QTRY_COMPARE_WITH_TIMEOUT(run.aborted, 1, Slow);
    QCOMPARE(run.job->state(), VfsJob::VfsJobStateAborted);
    // Gone only once every request of it came back.
    QTRY_VERIFY_WITH_TIMEOUT(run.destroyed, Slow);
    QCOMPARE(pendingWhenDestroyed, 0);
    QCOMPARE(run.finished, 0);
    QTRY_COMPARE_WITH_TIMEOUT(a.server.openFileCount() + b.server.openFileCount(), 0, Slow);
}

void TestVfsCopyJob::ownerDeletingTheJobLeavesRequestsSafe()
{
    Machine a, b;
    QVERIFY(writeFile(a.path("big.bin"), pattern(40 * Block, 12)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    a.client.setTimeouts(VfsClientVelm::RequestTimeout, 1000);
    Traffic traffic;
    traffic.attach(a.link);
    traffic.hook = [](const C& request) { return request.command == C::ReadFile; };
    {
        CopyRun run(requestFor(a, b, {a.path("big.bin")}, b.path("dest")), &a.peer, &b.peer);
        run.start();
        QTRY_VERIFY_WITH_TIMEOUT(traffic.reads.size() >= 3, Slow);
    } // the job goes with its reads still out
    // The client times them out and writes into their records.
    QTRY_COMPARE_WITH_TIMEOUT(a.client.pendingJobs(), 0, Slow);
    QTest::qWait(20);
}

void TestVfsCopyJob::remainingTimeText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("hours") << qint64(5400) << "About 1 h left";
    QTest::newRow("an hour") << qint64(3600) << "About 1 h left";
    QTest::newRow("just under an hour") << qint64(3599) << "About 59 min left";
    QTest::newRow("minutes") << qint64(90) << "About 1 min left";
    QTest::newRow("a minute") << qint64(60) << "Less than a minute left";
    QTest::newRow("under a minute") << qint64(45) << "Less than a minute left";
    QTest::newRow("seconds") << qint64(9) << "A few seconds left";
    QTest::newRow("a second") << qint64(1) << "A few seconds left";
    QTest::newRow("no estimate") << qint64(0) << "";
    QTest::newRow("negative") << qint64(-3) << "";
}

void TestVfsCopyJob::remainingTimeText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(VfsCopyJob::remainingTimeText(seconds), text);
}

QTEST_GUILESS_MAIN(TestVfsCopyJob)
#include "tst_vfscopyjob.moc"
