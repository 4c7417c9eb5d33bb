// What a copy never does: report a file finished that matches no version of
// its source, leave a partial file under the final name or with the source's
// times, count past its total, or stall without saying why.

#include "copyjobtestutil.h"

#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"

#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace copytest;

namespace {

using C = VfsMirkCommand;

constexpr qint64 B = VfsCopyJob::BlockSize;
constexpr qint64 Size = 40 * B + 321;
constexpr qint64 Later = 3600000; // ms: a modification time that differs from the first

bool setModified(const QString& path, qint64 ms)
{
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(ms / 1000);
    times[0].tv_nsec = times[1].tv_nsec = long(ms % 1000) * 1000000;
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

qint64 modified(const QString& path)
{
    return QFileInfo(path).lastModified().toMSecsSinceEpoch();
}

// A file written again as an editor would: new content, a new time.
bool rewrite(const QString& path, const QByteArray& content, qint64 mtime)
{
    return writeFile(path, content) && QFile::resize(path, content.size())
        && setModified(path, mtime);
}

// Answers writes to one destination file with "no space left" while full.
class FullDiskClient : public RelayClient
{
public:
    FullDiskClient(VfsClient* inner, QString path) : RelayClient(inner), m_path(std::move(path))
    {
        connect(inner, &VfsClient::openFileUpdate, this, [this](VfsOpenFileJob* job) {
            if (job->path == m_path && job->status == FSO_STATUS_OK)
                m_handle = job->handle;
        });
    }

    void writeFile(VfsWriteFileJob* job) override
    {
        if (!full || !m_handle || job->handle != m_handle) {
            m_inner->writeFile(job);
            return;
        }
        ++refused;
        job->jobStatus = VfsClientJob::JobFinished;
        job->status = FSO_STATUS_NO_SPACE;
        job->written = 0;
        QMetaObject::invokeMethod(this, [this, job] { emit writeFileUpdate(job); },
                                  Qt::QueuedConnection);
    }

    bool full = true;
    int refused = 0;

private:
    QString m_path;
    quint16 m_handle = 0;
};

// Fails every write on a link while set: a receiver that is gone.
VfsLoopbackLink::RequestHook failWrites(VfsLoopbackLink& link, const bool* failing)
{
    return [&link, failing](const C& request) {
        if (request.command != C::WriteFile || !*failing)
            return false;
        link.sendToClient(VfsMirkCommandWriter::writeFileReply(request.trId, FSO_STATUS_IO_ERROR,
                                                               0, request.offset, 0));
        return true;
    };
}

// Progress after every step, so that tests can act at a chosen offset.
void signalEveryStep(VfsCopyJob* job)
{
    auto clock = std::make_shared<qint64>(0);
    job->setClock([clock] { return *clock += VfsCopyJob::ProgressInterval; });
}

} // namespace

class TestVfsCopySafety : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void changingSource_data();
    void changingSource();
    void interruptedNewFileNeverLooksFinished();
    void interruptedUpdateKeepsItsOwnTimes();
    void leftOverPartFileIsReused();
    void fullDiskIsToldAndFreedSpaceFinishes();
    void returningLinkRestartsAtOnce();
    void linkBackBeforeTheLostRequestsFail();
    void partNameFitsOneName();

private:
    IdTranslator m_english;
};

void TestVfsCopySafety::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestVfsCopySafety::changingSource_data()
{
    QTest::addColumn<double>("at");       // share of the bytes copied when the source changes
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("exists");     // the destination holds an older copy
    QTest::addColumn<bool>("givesUp");

    QTest::newRow("overwrite at the start after most is copied") << 0.75 << QString("start") << false << false;
    QTest::newRow("overwrite ahead of the copy front") << 0.1 << QString("end") << false << false;
    QTest::newRow("both at once") << 0.5 << QString("both") << false << false;
    QTest::newRow("append") << 0.5 << QString("append") << false << false;
    QTest::newRow("shrink") << 0.5 << QString("shrink") << false << false;
    QTest::newRow("replace by rename") << 0.5 << QString("rename") << false << false;
    QTest::newRow("both, over an older copy") << 0.5 << QString("both") << true << false;
    QTest::newRow("keeps changing") << 0.3 << QString("always") << false << true;
}

void TestVfsCopySafety::changingSource()
{
    QFETCH(double, at);
    QFETCH(QString, change);
    QFETCH(bool, exists);
    QFETCH(bool, givesUp);
    Machine a, b;
    const QString source = a.path("f.bin");
    const QString target = b.path("dest/f.bin");
    const QByteArray first = pattern(Size, 1);
    const qint64 firstTime = 1400000000000;
    QVERIFY(writeFile(source, first) && setModified(source, firstTime));
    QVERIFY(QDir().mkpath(b.path("dest")));
    const QByteArray older = pattern(Size, 9);
    if (exists)
        QVERIFY(writeFile(target, older) && setModified(target, firstTime - Later));

    VfsCopyDto request = requestFor(a, b, {source}, b.path("dest"));
    request.overwriteAll = 1;
    // Each copy of the file opens the source once (the destination may be
    // opened a second time, to cut it to the source's size).
    int tries = 0;
    Traffic traffic;
    traffic.attach(a.link);
    traffic.hook = [&tries](const C& request) {
        tries += request.command == C::OpenFile && (request.flags & C::OpenRead)
                && !(request.flags & C::OpenWrite)
            ? 1
            : 0;
        return false;
    };
    CopyRun run(request, &a.peer, &b.peer);
    signalEveryStep(run.job.data());
    int changes = 0;
    bool overTotal = false;
    auto check = [&] { overTotal |= run.job->bytesCopiedCount() > run.job->bytesTotalCount(); };
    QObject::connect(run.job.data(), &VfsCopyJob::bytesTotalChanged, &run.context, check);
    QObject::connect(run.job.data(), &VfsCopyJob::bytesCopiedChanged, &run.context, [&] {
        check();
        const quint64 copied = run.job->bytesCopiedCount();
        // Once, or once in every copy of the file.
        if (copied < quint64(at * double(Size)) || changes >= (change == "always" ? tries : 1))
            return;
        ++changes;
        QByteArray now = readFile(source);
        const qint64 time = firstTime + changes * Later;
        if (change == "start" || change == "both")
            now.replace(0, 1000, pattern(1000, 100 + changes));
        if (change == "end" || change == "both")
            now.replace(int(Size - 2000), 1000, pattern(1000, 200 + changes));
        if (change == "append" || change == "always")
            now.append(pattern(777 + changes, 300 + changes));
        if (change == "shrink")
            now.truncate(int(Size * 6 / 10));
        if (change == "rename") {
            const QString beside = a.path("f.bin.new");
            QVERIFY(writeFile(beside, pattern(Size, 400)) && setModified(beside, time));
            QVERIFY(::rename(QFile::encodeName(beside).constData(),
                             QFile::encodeName(source).constData()) == 0);
            return;
        }
        QVERIFY(rewrite(source, now, time));
    });
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(changes >= 1);
    QVERIFY(!overTotal);
    QCOMPARE(run.aborted, 0);
    const std::vector<VfsCopyFailedItem> failed = run.job->failedItems();
    if (givesUp) {
        // Never reported copied: no file under its name, and the reason.
        // At least one change per copy the job counted; a change that lands
        // at the very end of a copy can make it open the file once more
        // within the same copy, which the hook counts as another.
        QVERIFY(changes >= VfsCopyJob::MaxChangedTries);
        QVERIFY(run.verified.empty());
        QCOMPARE(int(failed.size()), 1);
        QCOMPARE(failed.front().path, source);
        QCOMPARE(failed.front().reason, QStringLiteral("Changed while copied: “%1”.").arg(source));
        QVERIFY(!QFile::exists(target));
        return;
    }
    // Copied exactly as the source is now, with its times.
    QVERIFY(failed.empty());
    QCOMPARE(run.verifiedPaths(), QStringList{source});
    QCOMPARE(readFile(target), readFile(source));
    QCOMPARE(modified(target) / 1000, modified(source) / 1000);
    QCOMPARE(treeOf(b.path("dest")).keys(), QStringList{"f.bin"}); // no temporary file left
    QCOMPARE(run.job->bytesCopiedCount(), run.job->bytesTotalCount());
}

void TestVfsCopySafety::interruptedNewFileNeverLooksFinished()
{
    Machine a, b;
    const QByteArray content = pattern(Size, 2);
    QVERIFY(writeFile(a.path("f.bin"), content) && setModified(a.path("f.bin"), 1400000000000));
    QVERIFY(QDir().mkpath(b.path("dest")));
    const QString part = b.path("dest/" + VfsCopyJob::partName("f.bin"));
    Traffic target;
    target.attach(b.link);
    bool failing = false;
    bool armed = true;
    // The receiver goes away when half the blocks were sent to it (however
    // many of them were answered by then).
    target.hook = [&target, &failing, &armed, refuse = failWrites(b.link, &failing)](
                      const C& request) {
        if (armed && target.writes.size() > size_t(Size / B / 2)) {
            armed = false;
            failing = true;
        }
        return refuse(request);
    };
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer, 600000);
    signalEveryStep(run.job.data());
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.job->nextRetryAt().isValid(), Slow); // waits to start over
    // Nothing under the final name; the part file is hidden and does not
    // have the source's times.
    QVERIFY(!QFile::exists(b.path("dest/f.bin")));
    QVERIFY(QFile::exists(part));
    QVERIFY(QFileInfo(part).isHidden());
    QVERIFY(modified(part) / 1000 != modified(a.path("f.bin")) / 1000);
    QVERIFY(run.verified.empty());
    QVERIFY(QFileInfo(part).size() > 0);

    // The receiver is back: the part file is resumed, not written again.
    failing = false;
    const size_t writesBefore = target.writes.size();
    // Its link was down and is up again: the job starts over at once.
    b.peer.setLinkState(IPeer::LinkDown);
    b.peer.setLinkState(IPeer::LinkUp);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
    QVERIFY(!QFile::exists(part));
    QCOMPARE(modified(b.path("dest/f.bin")) / 1000, modified(a.path("f.bin")) / 1000);
    QVERIFY(target.writes.size() - writesBefore < size_t(Size / B)); // resumed
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
}

void TestVfsCopySafety::interruptedUpdateKeepsItsOwnTimes()
{
    Machine a, b;
    const QByteArray content = pattern(Size, 3);
    const qint64 sourceTime = 1400000000000, ownTime = sourceTime - 10 * Later;
    QVERIFY(writeFile(a.path("f.bin"), content) && setModified(a.path("f.bin"), sourceTime));
    QVERIFY(writeFile(b.path("dest/f.bin"), pattern(Size, 4)));
    QVERIFY(setModified(b.path("dest/f.bin"), ownTime));
    Traffic target;
    target.attach(b.link);
    bool failing = false;
    bool armed = true;
    // The receiver goes away when a third of the blocks were sent to it.
    target.hook = [&target, &failing, &armed, refuse = failWrites(b.link, &failing)](
                      const C& request) {
        if (armed && target.writes.size() > size_t(Size / B / 3)) {
            armed = false;
            failing = true;
        }
        return refuse(request);
    };
    VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
    request.overwriteAll = 1;
    CopyRun run(request, &a.peer, &b.peer, 600000);
    signalEveryStep(run.job.data());
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.job->nextRetryAt().isValid(), Slow); // waits to start over
    QVERIFY(readFile(b.path("dest/f.bin")) != content);
    QVERIFY(modified(b.path("dest/f.bin")) / 1000 != sourceTime / 1000);
    QVERIFY(QDir(b.path("dest")).entryList(QDir::Files | QDir::Hidden) == QStringList{"f.bin"});

    failing = false;
    // Its link was down and is up again: the job starts over at once.
    b.peer.setLinkState(IPeer::LinkDown);
    b.peer.setLinkState(IPeer::LinkUp);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
    QCOMPARE(modified(b.path("dest/f.bin")) / 1000, sourceTime / 1000);
}

void TestVfsCopySafety::leftOverPartFileIsReused()
{
    Machine a, b;
    const QByteArray content = pattern(Size, 5);
    QVERIFY(writeFile(a.path("f.bin"), content));
    // A crash left the first half behind, and a longer tail of rubbish.
    const QString part = b.path("dest/" + VfsCopyJob::partName("f.bin"));
    QVERIFY(writeFile(part, content.left(int(20 * B)) + pattern(30 * B, 6)));
    Traffic target;
    target.attach(b.link);
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.questions, 0);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
    QVERIFY(!QFile::exists(part));
    QCOMPARE(*std::min_element(target.writes.begin(), target.writes.end()), quint64(20 * B));
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
}

void TestVfsCopySafety::fullDiskIsToldAndFreedSpaceFinishes()
{
    Machine a, b;
    b.peer.setName(QStringLiteral("backup box"));
    const QByteArray content = pattern(Size, 7);
    QVERIFY(writeFile(a.path("f.bin"), content));
    QVERIFY(QDir().mkpath(b.path("dest")));
    const QString part = b.path("dest/" + VfsCopyJob::partName("f.bin"));
    FullDiskClient disk(&b.client, part);
    b.peer.setClient(&disk);
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    // What the job says after its first try, before it starts over.
    int reason = -1, retriesThen = -1;
    QString text, peer, path;
    QDateTime next;
    QObject::connect(run.job.data(), &VfsCopyJob::nextRetryAtChanged, &run.context, [&] {
        if (reason >= 0 || !run.job->nextRetryAt().isValid())
            return;
        reason = run.job->lastFailureReason();
        retriesThen = run.job->retryCount();
        text = run.job->lastFailure();
        peer = run.job->lastFailurePeer();
        path = run.job->lastFailurePath();
        next = run.job->nextRetryAt();
    });
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(reason >= 0, Slow);
    QCOMPARE(retriesThen, 1);
    QVERIFY(disk.refused > 0);
    QCOMPARE(reason, int(VfsCopyJob::FailureNoSpace));
    QCOMPARE(peer, QStringLiteral("backup box"));
    QCOMPARE(path, part);
    QVERIFY(text.startsWith(QStringLiteral("No space left on backup box")));
    QVERIFY(!QFile::exists(b.path("dest/f.bin")));

    // Space is freed; a later try finishes and the failure is cleared.
    QTRY_VERIFY_WITH_TIMEOUT(run.retries >= 2, Slow);
    disk.full = false;
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
    QVERIFY(run.job->lastFailure().isEmpty());
    QCOMPARE(run.job->lastFailureReason(), int(VfsCopyJob::FailureNone));
    QVERIFY(!run.job->nextRetryAt().isValid());
}

void TestVfsCopySafety::returningLinkRestartsAtOnce()
{
    Machine a, b;
    a.peer.setName(QStringLiteral("laptop"));
    QVERIFY(writeFile(a.path("f.bin"), pattern(3 * B, 8)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    a.peer.setLinkState(IPeer::LinkDown);
    // The delay is far longer than the test may take.
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer, 3600000);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.job->nextRetryAt().isValid(), Slow); // waits to start over
    QCOMPARE(run.job->lastFailureReason(), int(VfsCopyJob::FailurePeerUnreachable));
    QCOMPARE(run.job->lastFailure(), QStringLiteral("laptop cannot be reached."));
    QVERIFY(run.job->nextRetryAt().isValid());
    a.peer.setLinkState(IPeer::LinkUp);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), readFile(a.path("f.bin")));
}

// The sending machine restarts: its link drops and is up again before the
// requests lost with it come back failed. The job says the peer was
// unreachable and starts over at once, not after its delay.
void TestVfsCopySafety::linkBackBeforeTheLostRequestsFail()
{
    Machine a, b;
    a.peer.setName(QStringLiteral("laptop"));
    const QByteArray content = pattern(Size, 9);
    QVERIFY(writeFile(a.path("f.bin"), content));
    QVERIFY(QDir().mkpath(b.path("dest")));
    Traffic source;
    source.attach(a.link);
    bool lost = false;
    int swallowed = 0;
    source.hook = [&](const C&) {
        swallowed += lost ? 1 : 0;
        return lost; // no answer: gone with the machine
    };
    // The delay is far longer than the test may take.
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer, 3600000);
    signalEveryStep(run.job.data());
    // Once: progress of the first try may still be reported after the
    // machine is back.
    bool gone = false;
    QObject::connect(run.job.data(), &VfsCopyJob::bytesCopiedChanged, &run.context, [&] {
        if (!gone && run.job->bytesCopiedCount() >= quint64(Size / 2))
            gone = lost = true;
    });
    int reason = -1;
    QObject::connect(run.job.data(), &VfsCopyJob::nextRetryAtChanged, &run.context, [&] {
        if (reason < 0 && run.job->nextRetryAt().isValid())
            reason = run.job->lastFailureReason();
    });
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(swallowed > 0, Slow);
    // Down and up again in one go, as a restarted peer's new handshake
    // replaces its old session; then the client fails what was in flight.
    a.peer.setLinkState(IPeer::LinkDown);
    a.peer.setLinkState(IPeer::LinkUp);
    lost = false;
    a.client.failPending();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(reason, int(VfsCopyJob::FailurePeerUnreachable));
    QCOMPARE(run.retries, 1);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
}

void TestVfsCopySafety::partNameFitsOneName()
{
    QCOMPARE(VfsCopyJob::partName(QStringLiteral("a.txt")), QStringLiteral(".a.txt.velm-part"));
    const QString longName(250, QLatin1Char('x'));
    const QString part = VfsCopyJob::partName(longName);
    QVERIFY(part.toUtf8().size() <= 255);
    QVERIFY(part.startsWith(QLatin1Char('.')) && part.endsWith(QStringLiteral(".velm-part")));
    QCOMPARE(VfsCopyJob::partName(longName), part); // found again by a later try
    QVERIFY(VfsCopyJob::partName(QString(250, QLatin1Char('y'))) != part);
}

QTEST_GUILESS_MAIN(TestVfsCopySafety)
#include "tst_vfscopysafety.moc"
