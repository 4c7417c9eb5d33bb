// Many small files: several are copied side by side, yet each one is still
// verified before it counts, no half-written file ever carries its final
// name, the verified files come out in the order of a copy one file at a
// time, and failures, changes and an abort on the way are caught.

#include "copyjobtestutil.h"

#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"

#include <QtTest>

using namespace copytest;

namespace {

using C = VfsMirkCommand;

constexpr int B = int(VfsCopyJob::BlockSize);

// Sizes around the one-block bound, empty files included.
const int Sizes[] = {0, 1, 4096, B - 1, B, B + 1, 3 * B + 7, 100, 0, 17};

struct Tree
{
    QStringList sources; // every file, relative to "in"
    QList<QByteArray> contents;
};

Tree makeTree(Machine& a, int files)
{
    Tree tree;
    QDir().mkpath(a.path("in/sub"));
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("%1f%2.bin").arg(i % 7 == 3 ? "sub/" : "").arg(i);
        tree.sources << name;
        tree.contents << pattern(Sizes[i % int(std::size(Sizes))], 40 + i);
        writeFile(a.path("in/" + name), tree.contents.last());
    }
    return tree;
}

void checkCopied(Machine& b, const Tree& tree)
{
    for (int i = 0; i < tree.sources.size(); ++i)
        QCOMPARE(readFile(b.path("dest/in/" + tree.sources.at(i))), tree.contents.at(i));
    QCOMPARE(QDir(b.path("dest/in")).entryList(QDir::Files | QDir::Hidden).size(),
             int(std::count_if(tree.sources.begin(), tree.sources.end(),
                               [](const QString& s) { return !s.startsWith("sub/"); })));
}

QStringList copyInOrder(bool oneAtATime, int* mostOpen)
{
    Machine a, b;
    const Tree tree = makeTree(a, 40);
    QDir().mkpath(b.path("dest"));
    Traffic source;
    source.attach(a.link);
    int open = 0;
    *mostOpen = 0;
    source.hook = [&](const C& request) {
        if (request.command == C::OpenFile)
            *mostOpen = std::max(*mostOpen, ++open);
        if (request.command == C::CloseFile)
            --open;
        return false;
    };
    CopyRun run(requestFor(a, b, {a.path("in")}, b.path("dest")), &a.peer, &b.peer);
    if (oneAtATime)
        run.job->setInFlight(VfsCopyJob::oneAtATime());
    run.start();
    if (!QTest::qWaitFor([&] { return run.finished == 1; }, Slow))
        return {QStringLiteral("not finished")};
    [&] {
        QCOMPARE(run.retries, 0);
        checkCopied(b, tree);
    }();
    // Relative to the source's root, which differs from run to run.
    QStringList paths = run.verifiedPaths();
    const QString root = a.path(QStringLiteral("in"));
    for (QString& path : paths)
        path = path.mid(root.size());
    return paths;
}

} // namespace

class TestVfsCopyFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
        QCoreApplication::installTranslator(&m_english);
    }
    void severalInFlightKeepTheOrderOfOneAtATime();
    void faultOnTheWay_data();
    void faultOnTheWay();
    void abortWithFilesInFlightLeavesNoFalseFile();

private:
    IdTranslator m_english;
};

void TestVfsCopyFiles::severalInFlightKeepTheOrderOfOneAtATime()
{
    int mostOpenTogether = 0, mostOpenAlone = 0;
    const QStringList together = copyInOrder(false, &mostOpenTogether);
    const QStringList alone = copyInOrder(true, &mostOpenAlone);
    QCOMPARE(together.size(), 40 + 2); // the files, "in" and "in/sub"
    QCOMPARE(together, alone);
    // The source had several files open at a time, and only one without.
    QVERIFY2(mostOpenTogether > 2, qPrintable(QString::number(mostOpenTogether)));
    QCOMPARE(mostOpenAlone, 1);
}

void TestVfsCopyFiles::faultOnTheWay_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<bool>("restarts");
    // A written file whose digest is not the source's is copied again at
    // once; a reply that does not add up or a refused request fails the try,
    // and the next one finds the verified files in place.
    QTest::newRow("write claimed, nothing landed") << 0 << false;
    QTest::newRow("source changed as it was read") << 1 << false;
    QTest::newRow("write reply short by a byte") << 2 << true;
    QTest::newRow("destination open refused") << 3 << true;
    QTest::newRow("source digest refused") << 4 << true;
}

void TestVfsCopyFiles::faultOnTheWay()
{
    QFETCH(int, fault);
    QFETCH(bool, restarts);
    Machine a, b;
    Tree tree = makeTree(a, 24);
    QDir().mkpath(b.path("dest"));
    Traffic source, target;
    source.attach(a.link);
    target.attach(b.link);
    int seen = 0;
    bool done = false;
    // The fifth request of its kind meets the fault.
    auto fifth = [&](bool kind) { return kind && !done && ++seen == 5 && (done = true); };
    // The small files' one write: a larger file's verified runs have
    // tests of their own.
    auto smallWrite = [](const C& request) {
        return request.command == C::WriteFile && request.offset == 0
            && request.dataLength < quint32(B);
    };
    target.hook = [&](const C& request) {
        if (fault == 0 && fifth(smallWrite(request))) {
            b.link.sendToClient(VfsMirkCommandWriter::writeFileReply(
                request.trId, FSO_STATUS_OK, 0, request.offset, request.dataLength));
            return true;
        }
        if (fault == 2 && fifth(smallWrite(request))) {
            b.link.sendToClient(VfsMirkCommandWriter::writeFileReply(
                request.trId, FSO_STATUS_OK, 0, request.offset, request.dataLength - 1));
            return true;
        }
        if (fault == 3 && fifth(request.command == C::OpenFile && (request.flags & C::OpenWrite))) {
            b.link.sendToClient(
                VfsMirkCommandWriter::openFileReply(request.trId, FSO_STATUS_IO_ERROR, 0));
            return true;
        }
        return false;
    };
    source.hook = [&](const C& request) {
        if (fault == 1 && fifth(request.command == C::ReadFile)) {
            // Changed between its digest and its read, keeping its size.
            for (int i = 0; i < tree.sources.size(); ++i) {
                const QString path = a.path("in/" + tree.sources.at(i));
                if (readFile(path).size() == 4096) {
                    tree.contents[i] = pattern(4096, 99);
                    writeFile(path, tree.contents.at(i));
                }
            }
        }
        if (fault == 4 && fifth(request.command == C::HashFile)) {
            a.link.sendToClient(VfsMirkCommandWriter::hashFileReply(
                request.trId, FSO_STATUS_IO_ERROR, 0, 0, nullptr, 0));
            return true;
        }
        return false;
    };
    CopyRun run(requestFor(a, b, {a.path("in")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(done);
    QCOMPARE(run.retries > 0, restarts);
    QCOMPARE(run.questions, 0);
    checkCopied(b, tree);
    QCOMPARE(run.verifiedPaths().size(), 24 + 2);
}

void TestVfsCopyFiles::abortWithFilesInFlightLeavesNoFalseFile()
{
    Machine a, b;
    const Tree tree = makeTree(a, 60);
    QDir().mkpath(b.path("dest"));
    Traffic target;
    target.attach(b.link);
    std::unique_ptr<CopyRun> run;
    int writes = 0;
    target.hook = [&](const C& request) {
        if (request.command == C::WriteFile && ++writes == 10)
            QMetaObject::invokeMethod(
                run->job.data(), [&] { run->job->abort(); }, Qt::QueuedConnection);
        return false;
    };
    run.reset(new CopyRun(requestFor(a, b, {a.path("in")}, b.path("dest")), &a.peer, &b.peer));
    run->start();
    QTRY_COMPARE_WITH_TIMEOUT(run->aborted, 1, Slow);
    QTRY_VERIFY_WITH_TIMEOUT(run->destroyed, Slow);
    // Whatever carries a final name is whole; the rest is hidden.
    int whole = 0;
    for (int i = 0; i < tree.sources.size(); ++i) {
        const QString path = b.path("dest/in/" + tree.sources.at(i));
        if (QFile::exists(path)) {
            QCOMPARE(readFile(path), tree.contents.at(i));
            ++whole;
        }
    }
    QVERIFY(whole < tree.sources.size());
}

QTEST_GUILESS_MAIN(TestVfsCopyFiles)
#include "tst_vfscopyfiles.moc"
