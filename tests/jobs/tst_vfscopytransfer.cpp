// The copy job's block transfer: only differing blocks move, every byte ends
// up verified in place with the source's size, failures on the way are
// caught and mended by a restart, and progress is told at most once a second.

#include "copyjobtestutil.h"

#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <set>

using namespace copytest;

namespace {

using C = VfsMirkCommand;
using Offsets = QList<quint64>;

constexpr quint64 B = VfsCopyJob::BlockSize;
constexpr quint64 P = VfsCopyJob::PieceSize;

// Reads as offset, size, offset, size, ...
using Ranges = QList<quint64>;

Ranges sortedRanges(std::vector<std::pair<quint64, quint64>> ranges)
{
    std::sort(ranges.begin(), ranges.end());
    Ranges out;
    for (const auto& range : ranges)
        out << range.first << range.second;
    return out;
}

// A HASH_FILE answer as a server that hashes blocks one after another gives
// it: a digest per block read, the end of the file at a short block.
QByteArray digestsOf(const QByteArray& content, quint64 offset, int count, quint32 blockSize,
                     quint8* status)
{
    QByteArray digests;
    *status = FSO_STATUS_OK;
    for (int i = 0; i < count; ++i) {
        const qint64 at = qint64(offset) + qint64(i) * blockSize;
        const QByteArray block = at < content.size() ? content.mid(int(at), int(blockSize)) : QByteArray();
        if (block.isEmpty()) {
            *status = FSO_STATUS_END_OF_FILE;
            break;
        }
        digests += QCryptographicHash::hash(block, QCryptographicHash::Sha1);
        if (block.size() < int(blockSize)) {
            *status = FSO_STATUS_END_OF_FILE;
            break;
        }
    }
    return digests;
}

Offsets sortedUnique(const std::vector<quint64>& offsets)
{
    const std::set<quint64> unique(offsets.begin(), offsets.end());
    Offsets out;
    for (quint64 offset : unique)
        out << offset;
    return out;
}

QByteArray changedAt(QByteArray data, const QList<qint64>& positions)
{
    for (qint64 at : positions)
        data[int(at)] = char(~data.at(int(at)));
    return data;
}

bool isOpenForReading(const C& request)
{
    return request.command == C::OpenFile && (request.flags & C::OpenRead)
        && !(request.flags & C::OpenWrite);
}

bool isOpenForWriting(const C& request)
{
    return request.command == C::OpenFile && (request.flags & C::OpenWrite);
}

} // namespace

class TestVfsCopyTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void identicalDestinationMovesNoData();
    void onlyDifferingBlocksMove_data();
    void onlyDifferingBlocksMove();
    void differingPiecesMoveAlone_data();
    void differingPiecesMoveAlone();
    void pieceAnswersAreCheckedNotTrusted_data();
    void pieceAnswersAreCheckedNotTrusted();
    void oneAtATimeMovesDifferingBlocksWhole();
    void sourceChangingBeforeTheCopyIsCopiedAsItIsThen_data();
    void sourceChangingBeforeTheCopyIsCopiedAsItIsThen();
    void shortReadLeavesNoHole();
    void writeThatDidNotLandIsCaught_data();
    void writeThatDidNotLandIsCaught();
    void refusedCloseFailsTheTry_data();
    void refusedCloseFailsTheTry();
    void sourceGoneAtItsOpenLeavesNothing_data();
    void sourceGoneAtItsOpenLeavesNothing();
    void droppedLinkResumesWithoutRereadingConfirmedBlocks();
    void linkDownAtStartWaitsForTheLink();
    void progressWithAStoppedClockIsToldOnceAtTheEnd();
    void progressFollowsTheClock();

private:
    IdTranslator m_english;
};

void TestVfsCopyTransfer::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestVfsCopyTransfer::identicalDestinationMovesNoData()
{
    Machine a, b;
    const QByteArray content = pattern(70 * B + 4321, 1); // two digest batches and a bit
    QVERIFY(writeFile(a.path("f.bin"), content));
    QVERIFY(writeFile(b.path("dest/f.bin"), content));
    Traffic source, destination;
    source.attach(a.link);
    destination.attach(b.link);
    VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
    request.overwriteAll = 1;
    CopyRun run(request, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(source.count(C::ReadFile) + source.count(C::WriteFile), 0);
    QCOMPARE(destination.count(C::ReadFile) + destination.count(C::WriteFile), 0);
    QCOMPARE(source.count(C::HashFile), 2);
    QCOMPARE(destination.count(C::HashFile), 2); // nothing left to verify
    QCOMPARE(run.job->bytesCopiedCount(), quint64(content.size()));
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
    // The server sets times to the second.
    QCOMPARE(QFileInfo(b.path("dest/f.bin")).lastModified().toSecsSinceEpoch(),
             QFileInfo(a.path("f.bin")).lastModified().toSecsSinceEpoch());
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
}

void TestVfsCopyTransfer::onlyDifferingBlocksMove_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("destination");
    QTest::addColumn<Offsets>("moved");

    const QByteArray ten = pattern(10 * B + 1000, 2);
    QTest::newRow("destination lacks blocks") << ten << true << ten.left(int(4 * B))
                                              << Offsets{4 * B, 5 * B, 6 * B, 7 * B, 8 * B, 9 * B, 10 * B};
    QTest::newRow("destination lacks part of the last block")
        << ten << true << ten.left(int(10 * B + 300)) << Offsets{10 * B};
    QTest::newRow("destination lacks half a block")
        << ten << true << ten.left(int(3 * B + B / 2)) << Offsets{3 * B, 4 * B, 5 * B, 6 * B, 7 * B, 8 * B, 9 * B, 10 * B};
    const QByteArray twenty = pattern(20 * B + 77, 3);
    QTest::newRow("scattered changes")
        << twenty << true << changedAt(twenty, {2 * B + 10, 7 * B + 4000, 7 * B + 4001, 20 * B + 5})
        << Offsets{2 * B, 7 * B, 20 * B};
    QTest::newRow("last byte differs") << twenty << true << changedAt(twenty, {20 * B + 76})
                                       << Offsets{20 * B};
    const QByteArray three = pattern(3 * B + 10, 4);
    QTest::newRow("destination longer") << three << true << three + pattern(100000, 5) << Offsets{};
    QTest::newRow("destination longer and different")
        << three << true << changedAt(three + pattern(B, 6), {0}) << Offsets{0};
    const QByteArray whole = pattern(3 * B, 7);
    QTest::newRow("whole blocks, destination longer") << whole << true << whole + "xyz" << Offsets{};
    // Digest batches of 64 blocks, several asked at once and compared in order.
    const QByteArray batches = pattern(3 * 64 * B + 500, 9);
    QTest::newRow("changes in every batch")
        << batches << true
        << changedAt(batches, {5 * B, 70 * B + 3, 150 * B + 9, 192 * B + 1})
        << Offsets{5 * B, 70 * B, 150 * B, 192 * B};
    const QByteArray batch = pattern(64 * B, 10);
    QTest::newRow("source ends with a batch, destination longer")
        << batch << true << batch + "xyz" << Offsets{};
    QTest::newRow("source ends with a batch, destination shorter")
        << batch << true << batch.left(int(63 * B)) << Offsets{63 * B};
    const QByteArray shortEnd = batch.left(int(64 * B - 100));
    QTest::newRow("short last block ends a batch, destination longer")
        << shortEnd << true << batch << Offsets{};
    QTest::newRow("short last block ends a batch, destination differs there")
        << shortEnd << true << changedAt(batch, {63 * B + 7}) << Offsets{63 * B};
    QTest::newRow("empty source") << QByteArray() << true << pattern(5000, 8) << Offsets{};
    QTest::newRow("empty both") << QByteArray() << true << QByteArray() << Offsets{};
    QTest::newRow("no destination") << three << false << QByteArray() << Offsets{0, B, 2 * B, 3 * B};
    QTest::newRow("empty destination") << three << true << QByteArray() << Offsets{0, B, 2 * B, 3 * B};
}

void TestVfsCopyTransfer::onlyDifferingBlocksMove()
{
    QFETCH(QByteArray, source);
    QFETCH(bool, exists);
    QFETCH(QByteArray, destination);
    QFETCH(Offsets, moved);
    Machine a, b;
    QVERIFY(writeFile(a.path("f.bin"), source));
    QVERIFY(QDir().mkpath(b.path("dest")));
    if (exists)
        QVERIFY(writeFile(b.path("dest/f.bin"), destination));
    Traffic reads, writes;
    reads.attach(a.link);
    writes.attach(b.link);
    VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
    request.overwriteAll = 1;
    CopyRun run(request, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.retries, 0);
    QCOMPARE(readFile(b.path("dest/f.bin")), source);
    QCOMPARE(sortedUnique(reads.reads), moved);
    QCOMPARE(sortedUnique(writes.writes), moved);
    QCOMPARE(int(reads.reads.size()), moved.size()); // each block once
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
    QCOMPARE(run.job->bytesCopiedCount(), quint64(source.size()));
}

void TestVfsCopyTransfer::differingPiecesMoveAlone_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QByteArray>("destination");
    QTest::addColumn<Ranges>("read");
    QTest::addColumn<int>("pieceAsks"); // at most, of the source

    const QByteArray six = pattern(6 * B + 100, 21);
    QTest::newRow("a spot inside a piece") << six << changedAt(six, {2 * B + 10, 2 * B + 4000})
                                           << Ranges{2 * B, P} << 1;
    QTest::newRow("a spot across two pieces")
        << six << changedAt(six, {B + 3 * P - 1, B + 3 * P}) << Ranges{B + 2 * P, 2 * P} << 1;
    QTest::newRow("a spot across two blocks")
        << six << changedAt(six, {3 * B - 1, 3 * B}) << Ranges{2 * B + 15 * P, P, 3 * B, P} << 2;
    QTest::newRow("two spots in one block")
        << six << changedAt(six, {B + 10, B + 10 * P + 5}) << Ranges{B, P, B + 10 * P, P} << 1;
    QTest::newRow("first and last byte of the first block")
        << six << changedAt(six, {0, B - 1}) << Ranges{0, P, 15 * P, P} << 1;
    QByteArray replaced = six;
    replaced.replace(int(4 * B), int(B), pattern(B, 22));
    QTest::newRow("a block differing throughout") << six << replaced << Ranges{4 * B, B} << 1;
    QTest::newRow("a spot in the last block") << six << changedAt(six, {6 * B + 50})
                                              << Ranges{6 * B, B} << 0;
    QTest::newRow("a spot and a grown source")
        << six << changedAt(six.left(int(3 * B)), {B + 7})
        << Ranges{B, P, 3 * B, B, 4 * B, B, 5 * B, B, 6 * B, B} << 4;
    QTest::newRow("a spot and a shrunk source")
        << six.left(int(3 * B + 10)) << changedAt(six, {B + 7}) << Ranges{B, P} << 1;
    const QByteArray whole = pattern(4 * B, 23);
    QTest::newRow("a spot before a whole last block")
        << whole << changedAt(whole, {2 * B + 8 * P}) << Ranges{2 * B + 8 * P, P} << 1;
    // Pieces that keep differing throughout stop being asked for.
    const QByteArray rewritten = pattern(40 * B + 100, 24);
    Ranges everyBlock;
    for (quint64 i = 0; i <= 40; ++i)
        everyBlock << i * B << B;
    QTest::newRow("a file rewritten throughout")
        << rewritten << pattern(40 * B + 100, 25) << everyBlock
        << VfsCopyJob::PiecesInVain + VfsCopyJob::PieceSlots;
}

void TestVfsCopyTransfer::differingPiecesMoveAlone()
{
    QFETCH(QByteArray, source);
    QFETCH(QByteArray, destination);
    QFETCH(Ranges, read);
    QFETCH(int, pieceAsks);
    Machine a, b;
    QVERIFY(writeFile(a.path("f.bin"), source));
    QVERIFY(writeFile(b.path("dest/f.bin"), destination));
    Traffic reads;
    reads.attach(a.link);
    std::vector<std::pair<quint64, quint64>> asked;
    int pieceRequests = 0;
    reads.hook = [&](const C& request) {
        if (request.command == C::ReadFile)
            asked.emplace_back(request.offset, request.size);
        if (request.command == C::HashFile && request.blockSize == P)
            ++pieceRequests;
        return false;
    };
    VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
    request.overwriteAll = 1;
    CopyRun run(request, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.retries, 0);
    QCOMPARE(readFile(b.path("dest/f.bin")), source);
    QCOMPARE(sortedRanges(asked), read);
    QVERIFY2(pieceRequests <= pieceAsks, qPrintable(QString::number(pieceRequests)));
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
    QCOMPARE(run.job->bytesCopiedCount(), quint64(source.size()));
}

// The source's pieces come from a stand-in: as a server hashing blocks
// answers, or cut short, failed or false. A short or failed answer moves the
// block whole; a false one is caught when the block is verified, and a file
// that never verifies is never counted copied.
void TestVfsCopyTransfer::pieceAnswersAreCheckedNotTrusted_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<Ranges>("read"); // empty: the file is given up

    QTest::newRow("as a server hashes") << "server" << Ranges{2 * B + 5 * P, P};
    QTest::newRow("one digest short") << "short" << Ranges{2 * B, B};
    QTest::newRow("one digest more") << "long" << Ranges{2 * B, B};
    QTest::newRow("failed") << "failed" << Ranges{2 * B, B};
    QTest::newRow("hides the change") << "false" << Ranges{};
}

void TestVfsCopyTransfer::pieceAnswersAreCheckedNotTrusted()
{
    QFETCH(QString, answer);
    QFETCH(Ranges, read);
    Machine a, b;
    const QByteArray source = pattern(5 * B + 300, 31);
    const QByteArray destination = changedAt(source, {2 * B + 5 * P + 9});
    QVERIFY(writeFile(a.path("f.bin"), source));
    QVERIFY(writeFile(b.path("dest/f.bin"), destination));
    Traffic reads;
    reads.attach(a.link);
    std::vector<std::pair<quint64, quint64>> asked;
    int answered = 0;
    reads.hook = [&](const C& request) {
        if (request.command == C::ReadFile)
            asked.emplace_back(request.offset, request.size);
        if (request.command != C::HashFile || request.blockSize != P)
            return false;
        ++answered;
        quint8 status = FSO_STATUS_OK;
        QByteArray digests = digestsOf(answer == "false" ? destination : source, request.offset,
                                       request.count, request.blockSize, &status);
        if (answer == "false")
            digests[0] = char(~digests.at(0)); // says the change lies in the first piece
        if (answer == "short")
            digests.chop(20);
        if (answer == "long")
            digests += digests.left(20);
        if (answer == "failed") {
            status = FSO_STATUS_IO_ERROR;
            digests.clear();
        }
        a.link.sendToClient(VfsMirkCommandWriter::hashFileReply(
            request.trId, status, digests.isEmpty() ? 0 : 1, quint16(digests.size() / 20),
            digests.constData(), digests.size()));
        return true;
    };
    VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
    request.overwriteAll = 1;
    CopyRun run(request, &a.peer, &b.peer, 1);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.aborted, 0);
    QVERIFY(answered >= 1);
    if (read.isEmpty()) {
        QCOMPARE(answered, VfsCopyJob::MaxChangedTries);
        QVERIFY(run.verified.empty());
        QCOMPARE(int(run.job->failedItems().size()), 1);
        return;
    }
    QCOMPARE(answered, 1);
    QCOMPARE(sortedRanges(asked), read);
    QCOMPARE(readFile(b.path("dest/f.bin")), source);
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
    QCOMPARE(run.job->bytesCopiedCount(), quint64(source.size()));
}

void TestVfsCopyTransfer::sourceChangingBeforeTheCopyIsCopiedAsItIsThen_data()
{
    QTest::addColumn<QByteArray>("listed");      // the source when it was listed
    QTest::addColumn<QByteArray>("opened");      // the source when it is opened
    QTest::addColumn<QByteArray>("destination"); // null: none
    QTest::addColumn<int>("cuts");               // opens that only cut the destination

    const QByteArray eight = pattern(8 * B + 100, 9);
    QTest::newRow("grows") << eight.left(int(3 * B + 100)) << eight << QByteArray() << 0;
    QTest::newRow("grows over an old copy") << eight.left(int(3 * B + 100)) << eight
                                            << eight.left(int(3 * B + 100)) << 0;
    QTest::newRow("shrinks below a longer destination")
        << eight << eight.left(int(2 * B + 50)) << pattern(9 * B, 10) << 1;
    QTest::newRow("shrinks below its old copy") << eight << eight.left(int(5 * B + 1)) << eight << 1;
    QTest::newRow("shrinks to a block boundary") << eight << eight.left(int(4 * B)) << eight << 1;
    QTest::newRow("shrinks to nothing") << eight << QByteArray("") << eight << 1;
    // Batches asked ahead of the compare: beyond the listed size only once
    // the ones before came back, and those beyond a shrunk end let go.
    const QByteArray many = pattern(4 * 64 * B + 10, 11);
    QTest::newRow("grows by batches") << many.left(int(B)) << many << many.left(int(B)) << 0;
    QTest::newRow("shrinks by batches")
        << many << many.left(int(64 * B + 3)) << many << 1;
}

void TestVfsCopyTransfer::sourceChangingBeforeTheCopyIsCopiedAsItIsThen()
{
    QFETCH(QByteArray, listed);
    QFETCH(QByteArray, opened);
    QFETCH(QByteArray, destination);
    QFETCH(int, cuts);
    Machine a, b;
    QVERIFY(writeFile(a.path("f.bin"), listed));
    QVERIFY(QDir().mkpath(b.path("dest")));
    if (!destination.isNull())
        QVERIFY(writeFile(b.path("dest/f.bin"), destination));
    const VfsCopyDto listing = [&] {
        VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
        request.overwriteAll = 1;
        return request;
    }();
    bool changed = false;
    Traffic source, target;
    source.attach(a.link);
    target.attach(b.link);
    source.hook = [&](const C& request) {
        if (!changed && isOpenForReading(request)) {
            changed = true;
            writeFile(a.path("f.bin"), opened);
        }
        return false;
    };
    int writeOpens = 0;
    target.hook = [&](const C& request) {
        writeOpens += isOpenForWriting(request) ? 1 : 0;
        return false;
    };
    CopyRun run(listing, &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(run.retries, 0);
    QCOMPARE(readFile(b.path("dest/f.bin")), opened);
    // The change came after the job looked at the source just before the
    // open, so the file is copied a second time, without a restart; that
    // copy finds every block in place.
    QCOMPARE(writeOpens, 2 + cuts);
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
}

void TestVfsCopyTransfer::shortReadLeavesNoHole()
{
    Machine a, b;
    const QByteArray content = pattern(6 * B + 999, 11);
    QVERIFY(writeFile(a.path("f.bin"), content));
    QVERIFY(QDir().mkpath(b.path("dest")));
    Traffic source;
    source.attach(a.link);
    quint64 shortAt = 0;
    source.hook = [&](const C& request) {
        if (request.command != C::ReadFile || shortAt || request.offset != 2 * B)
            return false;
        // A server that gives less than it was asked for, without an end.
        shortAt = request.offset;
        const QByteArray half = content.mid(int(request.offset), int(B / 2));
        a.link.sendToClient(VfsMirkCommandWriter::readFileReply(
            request.trId, FSO_STATUS_OK, quint8(request.flags), request.offset, half.constData(),
            half.size()));
        return true;
    };
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(shortAt, 2 * B);
    QCOMPARE(run.retries, 0);
    QVERIFY(std::count(source.reads.begin(), source.reads.end(), 2 * B + B / 2) == 1);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
}

void TestVfsCopyTransfer::writeThatDidNotLandIsCaught_data()
{
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<bool>("claimsAll");
    // A written block that reads back other than the source's digest is
    // taken for a source that changed under the copy: the file is copied
    // again at once. A reply that does not add up fails the try.
    QTest::newRow("fewer bytes reported than sent") << 2 * B << false;
    QTest::newRow("a middle block lost") << 2 * B << true;
    QTest::newRow("the first block lost") << quint64(0) << true;
    QTest::newRow("the last block lost") << 6 * B << true;
}

void TestVfsCopyTransfer::writeThatDidNotLandIsCaught()
{
    QFETCH(quint64, offset);
    QFETCH(bool, claimsAll);
    Machine a, b;
    const QByteArray content = pattern(6 * B + 100, 12);
    QVERIFY(writeFile(a.path("f.bin"), content));
    QVERIFY(QDir().mkpath(b.path("dest")));
    Traffic target;
    target.attach(b.link);
    bool lied = false;
    int writeOpens = 0;
    target.hook = [&](const C& request) {
        writeOpens += isOpenForWriting(request) ? 1 : 0;
        if (request.command != C::WriteFile || lied || request.offset != offset)
            return false;
        lied = true;
        if (!claimsAll) {
            // Every byte lands, but the reply says one is missing: a reply
            // that does not add up is not taken on trust.
            QFile file(b.path("dest/" + VfsCopyJob::partName("f.bin")));
            if (!file.open(QIODevice::ReadWrite) || !file.seek(qint64(request.offset))
                || file.write(reinterpret_cast<const char*>(request.data), request.dataLength)
                    != qint64(request.dataLength))
                return false;
        }
        const quint32 written = claimsAll ? request.dataLength : request.dataLength - 1;
        b.link.sendToClient(VfsMirkCommandWriter::writeFileReply(request.trId, FSO_STATUS_OK, 0,
                                                                 request.offset, written));
        return true;
    };
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(lied);
    // Noticed, and mended by the next attempt.
    if (claimsAll) {
        QCOMPARE(run.retries, 0);
        QCOMPARE(writeOpens, 2);
    } else {
        QVERIFY(run.retries >= 1);
    }
    QCOMPARE(run.questions, 0);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
}

void TestVfsCopyTransfer::refusedCloseFailsTheTry_data()
{
    QTest::addColumn<bool>("sourceSide");
    QTest::addColumn<int>("which"); // the close refused, counted from 1 on that side
    // A verified file's handles are closed while the next file is copied;
    // a close that fails still fails the try, and the next try finds the
    // files verified where they were written.
    QTest::newRow("source, first file") << true << 1;
    QTest::newRow("destination, first file") << false << 1;
    QTest::newRow("destination, a middle file") << false << 3;
    QTest::newRow("destination, last file") << false << 5;
}

void TestVfsCopyTransfer::refusedCloseFailsTheTry()
{
    QFETCH(bool, sourceSide);
    QFETCH(int, which);
    Machine a, b;
    QStringList sources;
    QList<QByteArray> contents;
    QVERIFY(QDir().mkpath(a.path("in")));
    for (int i = 0; i < 5; ++i) {
        contents << pattern(i * 3000 + 17, 20 + i);
        sources << a.path(QStringLiteral("in/f%1.bin").arg(i));
        QVERIFY(writeFile(sources.last(), contents.last()));
    }
    QVERIFY(QDir().mkpath(b.path("dest")));
    Traffic traffic;
    traffic.attach(sourceSide ? a.link : b.link);
    Machine& refusing = sourceSide ? a : b;
    int closes = 0;
    traffic.hook = [&](const C& request) {
        if (request.command != C::CloseFile || ++closes != which)
            return false;
        refusing.link.sendToClient(
            VfsMirkCommandWriter::closeFileReply(request.trId, FSO_STATUS_IO_ERROR, request.handle));
        return true;
    };
    CopyRun run(requestFor(a, b, {a.path("in")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(closes >= which);
    QVERIFY(run.retries >= 1);
    QCOMPARE(run.questions, 0);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(readFile(b.path(QStringLiteral("dest/in/f%1.bin").arg(i))), contents.at(i));
    QStringList verified = run.verifiedPaths();
    verified.sort();
    QStringList expected = sources;
    expected << a.path("in"); // the folder, once its children are in place
    expected.sort();
    QCOMPARE(verified, expected);
    QCOMPARE(QDir(b.path("dest/in")).entryList(QDir::Files | QDir::Hidden).size(), 5);
}

// One request at a time stands in for a peer that copies as the job began:
// it never asks for pieces, and a differing block moves whole.
void TestVfsCopyTransfer::oneAtATimeMovesDifferingBlocksWhole()
{
    Machine a, b;
    const QByteArray source = pattern(5 * B + 300, 37);
    QVERIFY(writeFile(a.path("f.bin"), source));
    QVERIFY(writeFile(b.path("dest/f.bin"), changedAt(source, {2 * B + 5 * P + 9})));
    Traffic reads;
    reads.attach(a.link);
    std::vector<std::pair<quint64, quint64>> asked;
    int pieceRequests = 0;
    reads.hook = [&](const C& request) {
        if (request.command == C::ReadFile)
            asked.emplace_back(request.offset, request.size);
        if (request.command == C::HashFile && request.blockSize != B)
            ++pieceRequests;
        return false;
    };
    VfsCopyDto request = requestFor(a, b, {a.path("f.bin")}, b.path("dest"));
    request.overwriteAll = 1;
    CopyRun run(request, &a.peer, &b.peer);
    run.job->setInFlight(VfsCopyJob::oneAtATime());
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), source);
    QCOMPARE(pieceRequests, 0);
    QCOMPARE(sortedRanges(asked), (Ranges{2 * B, B}));
    QCOMPARE(run.verifiedPaths(), QStringList{a.path("f.bin")});
}

void TestVfsCopyTransfer::sourceGoneAtItsOpenLeavesNothing_data()
{
    QTest::addColumn<int>("gone"); // the file removed as its open reaches the source
    QTest::addColumn<bool>("oneAtATime");
    // The destination is opened beside the source when the names of its
    // folder are known: for every file but the first. A source that is gone
    // by then leaves no file behind on the destination.
    QTest::newRow("first file") << 0 << false;
    QTest::newRow("middle file") << 2 << false;
    QTest::newRow("last file") << 4 << false;
    QTest::newRow("middle file, one request at a time") << 2 << true;
}

void TestVfsCopyTransfer::sourceGoneAtItsOpenLeavesNothing()
{
    QFETCH(int, gone);
    QFETCH(bool, oneAtATime);
    Machine a, b;
    QVERIFY(QDir().mkpath(a.path("in")));
    for (int i = 0; i < 5; ++i)
        QVERIFY(writeFile(a.path(QStringLiteral("in/f%1.bin").arg(i)), pattern(5000 + i, 30 + i)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    const QString victim = a.path(QStringLiteral("in/f%1.bin").arg(gone));
    Traffic traffic;
    traffic.attach(a.link);
    bool removed = false;
    traffic.hook = [&](const C& request) {
        if (!removed && isOpenForReading(request)
            && QString::fromUtf8(request.pathBytes()) == victim) {
            removed = QFile::remove(victim);
        }
        return false;
    };
    CopyRun run(requestFor(a, b, {a.path("in")}, b.path("dest")), &a.peer, &b.peer);
    if (oneAtATime)
        run.job->setInFlight(VfsCopyJob::oneAtATime());
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(removed);
    QStringList expected;
    for (int i = 0; i < 5; ++i) {
        if (i != gone)
            expected << QStringLiteral("f%1.bin").arg(i);
    }
    QTRY_COMPARE_WITH_TIMEOUT(QDir(b.path("dest/in")).entryList(QDir::Files | QDir::Hidden),
                              expected, Slow);
}

void TestVfsCopyTransfer::droppedLinkResumesWithoutRereadingConfirmedBlocks()
{
    Machine a, b;
    const QByteArray content = pattern(60 * B + 123, 13);
    QVERIFY(writeFile(a.path("f.bin"), content));
    QVERIFY(QDir().mkpath(b.path("dest")));
    a.client.setTimeouts(3000, 3000);
    b.client.setTimeouts(3000, 3000);
    // The link drops after 20 writes reached the destination: from then on
    // nothing gets through until it is back.
    bool dropped = false;
    bool restored = false;
    std::set<quint64> landed;
    std::vector<quint64> readAfter;
    Traffic source, target;
    source.attach(a.link);
    target.attach(b.link);
    source.hook = [&](const C& request) {
        if (dropped)
            return true;
        if (restored && request.command == C::ReadFile)
            readAfter.push_back(request.offset);
        return false;
    };
    target.hook = [&](const C& request) {
        if (dropped)
            return true;
        if (request.command == C::WriteFile && !restored) {
            if (landed.size() == 20) {
                dropped = true;
                a.peer.setLinkState(IPeer::LinkDown);
                b.peer.setLinkState(IPeer::LinkDown);
                return true;
            }
            landed.insert(request.offset);
        }
        return false;
    };
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(dropped, Slow);
    QTRY_VERIFY_WITH_TIMEOUT(run.pauses >= 1, Slow);
    QVERIFY(run.finished == 0);
    restored = true;
    dropped = false;
    a.peer.setLinkState(IPeer::LinkUp);
    b.peer.setLinkState(IPeer::LinkUp);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), content);
    QCOMPARE(int(landed.size()), 20);
    QVERIFY(!readAfter.empty());
    for (quint64 offset : readAfter)
        QVERIFY2(!landed.count(offset), qPrintable(QString::number(offset / B)));
    QCOMPARE(run.job.isNull(), false);
    QCOMPARE(run.job->bytesCopiedCount(), quint64(content.size()));
}

void TestVfsCopyTransfer::linkDownAtStartWaitsForTheLink()
{
    Machine a, b;
    QVERIFY(writeFile(a.path("f.bin"), pattern(B + 1, 14)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    b.peer.setLinkState(IPeer::LinkDown);
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    QCOMPARE(run.job->restartDelay(), 20);
    run.start();
    QTRY_VERIFY_WITH_TIMEOUT(run.retries >= 3, Slow);
    QCOMPARE(run.job->state(), VfsJob::VfsJobStatePaused);
    QVERIFY(QDir(b.path("dest")).isEmpty());
    b.peer.setLinkState(IPeer::LinkUp);
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(readFile(b.path("dest/f.bin")), readFile(a.path("f.bin")));

    VfsCopyJob fresh{VfsCopyDto()};
    QCOMPARE(fresh.restartDelay(), 15000);
    QCOMPARE(fresh.type(), QStringLiteral("copy"));
    QCOMPARE(fresh.state(), VfsJob::VfsJobStateInit);
}

void TestVfsCopyTransfer::progressWithAStoppedClockIsToldOnceAtTheEnd()
{
    Machine a, b;
    QStringList sources;
    for (int i = 0; i < 3; ++i) {
        QVERIFY(writeFile(a.path(QStringLiteral("src/%1.bin").arg(i)), pattern(8 * B, 20 + i)));
        sources << a.path(QStringLiteral("src/%1.bin").arg(i));
    }
    QVERIFY(QDir().mkpath(b.path("dest")));
    CopyRun run(requestFor(a, b, sources, b.path("dest")), &a.peer, &b.peer);
    run.job->setClock([] { return qint64(5000); });
    QSignalSpy copied(run.job.data(), &VfsCopyJob::bytesCopiedChanged);
    QSignalSpy percent(run.job.data(), &VfsCopyJob::percentDoneChanged);
    QSignalSpy speed(run.job.data(), &VfsCopyJob::writeSpeedChanged);
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QCOMPARE(copied.size(), 1);
    QCOMPARE(percent.size(), 1);
    QCOMPARE(speed.size(), 0);
    QCOMPARE(run.job->bytesCopied(), QLocale().formattedDataSize(qint64(24 * B), 0,
                                                                  QLocale::DataSizeSIFormat));
    QCOMPARE(run.job->percentDone(), 100.0);
}

void TestVfsCopyTransfer::progressFollowsTheClock()
{
    Machine a, b;
    QVERIFY(writeFile(a.path("f.bin"), pattern(30 * B, 30)));
    QVERIFY(QDir().mkpath(b.path("dest")));
    qint64 now = 5000;
    Traffic target;
    target.attach(b.link);
    // Every write takes a little over a second.
    target.hook = [&now](const C& request) {
        if (request.command == C::WriteFile)
            now += 1001;
        return false;
    };
    CopyRun run(requestFor(a, b, {a.path("f.bin")}, b.path("dest")), &a.peer, &b.peer);
    run.job->setClock([&now] { return now; });
    QSignalSpy copied(run.job.data(), &VfsCopyJob::bytesCopiedChanged);
    QSignalSpy speed(run.job.data(), &VfsCopyJob::writeSpeedChanged);
    QStringList estimates;
    QObject::connect(run.job.data(), &VfsCopyJob::remainingTimeChanged, &run.context,
                     [&] { estimates << run.job->remainingTime(); });
    run.start();
    QTRY_COMPARE_WITH_TIMEOUT(run.finished, 1, Slow);
    QVERIFY(copied.size() >= 2);
    QVERIFY(copied.size() <= int(target.writes.size()) + 1);
    QVERIFY(speed.size() >= 1);
    QVERIFY(run.job->writeSpeed().endsWith(QStringLiteral("/s")));
    QVERIFY(run.job->writeSpeed() != QLocale().formattedDataSize(0, 2, QLocale::DataSizeSIFormat) + "/s");
    QVERIFY(!estimates.isEmpty());
    QVERIFY(std::any_of(estimates.begin(), estimates.end(),
                        [](const QString& text) { return text.endsWith(QStringLiteral("left")); }));
}

QTEST_GUILESS_MAIN(TestVfsCopyTransfer)
#include "tst_vfscopytransfer.moc"
