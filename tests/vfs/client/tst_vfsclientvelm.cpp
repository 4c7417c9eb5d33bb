#include "vfs/client/vfsclientvelm.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsentryname.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using C = VfsMirkCommand;
using W = VfsMirkCommandWriter;
using E = VfsMirkListEntry;

// A client whose request frames are caught and decoded, and which is fed
// hand-built replies as the peer object would feed it.
class Harness
{
public:
    Harness() : sent(&client, &VfsClientVelm::fsoTransmit) {}

    // The i-th request frame, decoded as the server would decode it.
    const C& request(int i)
    {
        requestRecord.reset(new C());
        const QByteArray frame = sent.at(i).at(0).toByteArray();
        decoded = parser.processCommand(frame, requestRecord.get(), client.protocolVersion());
        return *requestRecord;
    }

    bool reply(const QByteArray& frame)
    {
        if (frame.isNull() || !parser.processCommand(frame, replyRecord.get(),
                                                     client.protocolVersion()))
            return false;
        client.processIncomingCommand(replyRecord.get());
        return true;
    }

    VfsClientVelm client;
    QSignalSpy sent;
    VfsMirkCommandParser parser;
    std::unique_ptr<C> requestRecord;
    std::unique_ptr<C> replyRecord{new C()};
    bool decoded = false;
};

E entry(const QByteArray& name, quint8 type = E::TypeFile)
{
    E e;
    e.name = name;
    e.type = type;
    return e;
}

QByteArray page(quint16 trId, quint8 status, quint32 index, const std::vector<E>& entries,
                quint32 fieldSet = E::FieldsAll)
{
    VfsMirkListPageWriter writer(trId, status, index, fieldSet);
    for (const E& e : entries) {
        if (writer.addEntry(e) != VfsMirkListPageWriter::Added)
            return QByteArray();
    }
    return writer.finish();
}

VfsMirkFieldMask fieldSet(quint32 value)
{
    VfsMirkFieldMask fields;
    fields.set(0, value);
    return fields;
}

QByteArray listingAccepted(quint16 trId, quint32 flags = C::ListHidden | C::ListWantFileId,
                           quint64 fileId = 0)
{
    return W::listDirectoryReply(trId, FSO_STATUS_OK, flags, fieldSet(E::FieldsAll), fileId);
}

QStringList names(const VfsListDirectoryJob& job)
{
    QStringList out;
    for (const VfsDirectoryEntry& e : job.entries)
        out << e.name;
    return out;
}

} // namespace

class TestVfsClientVelm : public QObject
{
    Q_OBJECT

private slots:
    void transactionIdsCountOverAllKindsAndWrap();
    void transmitFollowsEachBatch();
    void listDirectoryRequest_data();
    void listDirectoryRequest();
    void listingIsHandedBackOnceWhenComplete();
    void listingFailure_data();
    void listingFailure();
    void entryTypeMapping_data();
    void entryTypeMapping();
    void entryFieldsArrive();
    void unusableEntryNamesAreDropped();
    void entryNameCheck_data();
    void entryNameCheck();
    void repeatedPageIsIgnored();
    void endlessListingIsCutOff();
    void openFileRequest_data();
    void openFileRequest();
    void openFileReplyAndEmptyPath();
    void writeSizeLimits_data();
    void writeSizeLimits();
    void readReplyChecks_data();
    void readReplyChecks();
    void hashReplyChecks_data();
    void hashReplyChecks();
    void silentServerTimesOut();
    void linkDownFailsPendingAtOnce();
    void listDrivesReply();
    void deleteMakeDirectoryAndChangeNotice();
    void finishedJobsComeBackOnePerRun();
    void fileRepliesComeBackOnTheirOwnPass();
    void releaseWithdrawsListing();
    void requestsFromAnotherThread();
    void threadFinishedDropsQueuedJobs();
    void unmatchedRepliesAreIgnored();
};

// transmit() comes once after the frames of a pass, never before them and
// never for a pass that sent nothing.
void TestVfsClientVelm::transmitFollowsEachBatch()
{
    Harness h;
    QVector<int> framesAtFlush;
    QObject::connect(&h.client, &VfsClientVelm::transmit, &h.client,
                     [&] { framesAtFlush << h.sent.size(); });
    VfsDeleteFileJob del;
    del.path = "/x";
    VfsMakeDirectoryJob mkdir;
    mkdir.path = "/y";
    h.client.deleteFile(&del);
    h.client.makeDirectory(&mkdir);
    QTRY_COMPARE(h.sent.size(), 2);
    QTRY_VERIFY(!framesAtFlush.isEmpty() && framesAtFlush.last() == 2);
    for (int i = 1; i < framesAtFlush.size(); ++i)
        QVERIFY(framesAtFlush[i] > framesAtFlush[i - 1]);
}

void TestVfsClientVelm::transactionIdsCountOverAllKindsAndWrap()
{
    Harness h;
    const quint16 start = h.client.nextTrId();
    QVERIFY(start <= 65534);
    VfsMoveJob first;
    first.sourcePath = "/a";
    first.destinationPath = "/b";
    h.client.move(&first);
    QTRY_COMPARE(h.sent.size(), 1);
    QCOMPARE(h.request(0).trId, start);

    h.client.setNextTrId(65534);
    VfsDeleteFileJob del;
    del.path = "/x";
    VfsMakeDirectoryJob mkdir;
    mkdir.path = "/y";
    VfsReadFileJob read;
    read.size = 10;
    h.client.deleteFile(&del);
    h.client.makeDirectory(&mkdir);
    h.client.readFile(&read);
    QTRY_COMPARE(h.sent.size(), 4);
    QVector<quint16> ids;
    QVector<quint8> commands;
    for (int i = 1; i < 4; ++i) {
        ids << h.request(i).trId;
        commands << h.request(i).command;
    }
    // The read goes out at once; the others on the next run of the tables.
    QCOMPARE(commands, (QVector<quint8>{C::ReadFile, C::DeleteFile, C::MakeDirectory}));
    QCOMPARE(ids, (QVector<quint16>{0, 65534, 65535}));

    // Replies are matched across the wrap.
    QSignalSpy reads(&h.client, &VfsClient::readFileUpdate);
    QSignalSpy dirs(&h.client, &VfsClient::makeDirectoryUpdate);
    const char bytes[10] = {};
    QVERIFY(h.reply(W::readFileReply(0, FSO_STATUS_END_OF_FILE, 0, 0, bytes, 10)));
    QVERIFY(h.reply(W::makeDirectoryReply(65535, FSO_STATUS_OK, 0)));
    QTRY_COMPARE(reads.size(), 1);
    QTRY_COMPARE(dirs.size(), 1);
    QCOMPARE(read.length, 10u);
    QCOMPARE(mkdir.jobStatus, quint32(VfsClientJob::JobFinished));
}

void TestVfsClientVelm::listDirectoryRequest_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("watch");
    QTest::addColumn<quint32>("flags");
    QTest::newRow("watch root") << "/" << 1 << 0x19u;
    QTest::newRow("watch other") << "/home" << 1 << 0x1Du;
    QTest::newRow("no watch") << "/home" << 0 << 0x19u;
    QTest::newRow("shares, watched") << "%shares" << 1 << 0x1Du;
}

void TestVfsClientVelm::listDirectoryRequest()
{
    QFETCH(QString, path);
    QFETCH(int, watch);
    QFETCH(quint32, flags);
    Harness h;
    VfsListDirectoryJob job;
    job.path = path;
    job.watch = quint8(watch);
    h.client.listDirectory(&job);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobQueued));
    QTRY_COMPARE(h.sent.size(), 1);
    const C& req = h.request(0);
    QVERIFY(h.decoded);
    QCOMPARE(req.command, quint8(C::ListDirectory));
    QCOMPARE(req.magic, quint8(C::MagicRequest));
    QCOMPARE(req.flags, flags);
    QCOMPARE(req.fields.mask, quint16(1));
    QCOMPARE(req.fields.value(0), 0x7FBu);
    QCOMPARE(QString::fromUtf8(req.pathBytes()), path);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobRunning));
}

void TestVfsClientVelm::listingIsHandedBackOnceWhenComplete()
{
    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/data";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;

    // The server reports '\' separators and the directory's file id.
    QVERIFY(h.reply(listingAccepted(trId, C::ListHidden | C::ListClientBit | C::ListWantFileId,
                                    4242)));
    QTRY_COMPARE(h.sent.size(), 2);
    QCOMPARE(h.request(1).command, quint8(C::QueryListDirectory));
    QCOMPARE(h.request(1).trId, trId);
    QCOMPARE(h.request(1).index, 0u);

    QVERIFY(h.reply(page(trId, FSO_STATUS_OK, 0, {entry("a"), entry("b")})));
    QTRY_COMPARE(h.sent.size(), 3);
    QCOMPARE(h.request(2).index, 2u);
    QVERIFY(h.reply(page(trId, FSO_STATUS_OK, 2, {entry("c"), entry("d"), entry("e")})));
    QTRY_COMPARE(h.sent.size(), 4);
    QCOMPARE(h.request(3).index, 5u);
    QCOMPARE(done.size(), 0);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobRunning));

    QVERIFY(h.reply(page(trId, FSO_STATUS_COMPLETE, 5, {entry("f")})));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).value<VfsListDirectoryJob*>(), &job);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(job.status, quint8(FSO_STATUS_COMPLETE));
    QCOMPARE(names(job), (QStringList{"a", "b", "c", "d", "e", "f"}));
    QCOMPARE(job.separator, QChar('\\'));
    QCOMPARE(job.fileId, 4242u);
    QCOMPARE(h.client.pendingJobs(), 0);
    QCOMPARE(h.sent.size(), 4);
}

void TestVfsClientVelm::listingFailure_data()
{
    QTest::addColumn<int>("firstStatus");     // LIST_DIRECTORY reply
    QTest::addColumn<quint32>("firstIndex");  // index of the first page
    QTest::addColumn<int>("firstCount");      // entries of the first page
    QTest::addColumn<int>("secondStatus");    // -1: no second page
    QTest::addColumn<quint32>("jobStatus");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("entries");

    const quint32 failed = VfsClientJob::JobFailed;
    QTest::newRow("directory not found") << int(FSO_STATUS_NOT_FOUND) << 0u << 0 << -1 << failed
                                         << int(FSO_STATUS_NOT_FOUND) << 0;
    QTest::newRow("second page refused") << 0 << 0u << 3 << int(FSO_STATUS_NOT_PERMITTED)
                                         << failed << int(FSO_STATUS_NOT_PERMITTED) << 3;
    QTest::newRow("page for another index") << 0 << 7u << 3 << -1 << failed
                                            << int(FSO_STATUS_IO_ERROR) << 0;
    QTest::newRow("more follows but nothing came")
        << 0 << 0u << 0 << -1 << failed << int(FSO_STATUS_IO_ERROR) << 0;
}

void TestVfsClientVelm::listingFailure()
{
    QFETCH(int, firstStatus);
    QFETCH(quint32, firstIndex);
    QFETCH(int, firstCount);
    QFETCH(int, secondStatus);
    QFETCH(quint32, jobStatus);
    QFETCH(int, status);
    QFETCH(int, entries);

    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/data";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(W::listDirectoryReply(trId, quint8(firstStatus), C::ListWantFileId,
                                          fieldSet(E::FieldsAll), 0)));
    if (firstStatus == FSO_STATUS_OK) {
        QTRY_COMPARE(h.sent.size(), 2);
        std::vector<E> items;
        for (int i = 0; i < firstCount; ++i)
            items.push_back(entry("f" + QByteArray::number(i)));
        QVERIFY(h.reply(page(trId, FSO_STATUS_OK, firstIndex, items)));
        if (secondStatus >= 0) {
            QTRY_COMPARE(h.sent.size(), 3);
            QVERIFY(h.reply(page(trId, quint8(secondStatus), quint32(firstCount), {})));
        }
    }
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(job.jobStatus, jobStatus);
    QCOMPARE(int(job.status), status);
    QCOMPARE(int(job.entries.size()), entries);
    QCOMPARE(h.client.pendingJobs(), 0);
    if (firstStatus != FSO_STATUS_OK)
        QCOMPARE(h.sent.size(), 1); // no page asked for
}

void TestVfsClientVelm::entryTypeMapping_data()
{
    QTest::addColumn<int>("wireType");
    QTest::addColumn<QByteArray>("reference");
    QTest::addColumn<int>("wireTarget");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("hidden");
    QTest::addColumn<QString>("ref");
    QTest::addColumn<int>("targetType");

    using D = VfsDirectoryEntry;
    QTest::newRow("directory") << 1 << QByteArray() << 0 << int(D::TypeDirectory) << 0
                               << QString() << 0;
    QTest::newRow("file") << 2 << QByteArray() << 0 << int(D::TypeFile) << 0 << QString() << 0;
    QTest::newRow("hidden file") << 0x82 << QByteArray() << 0 << int(D::TypeFile) << 1
                                 << QString() << 0;
    QTest::newRow("hidden directory") << 0x81 << QByteArray() << 0 << int(D::TypeDirectory) << 1
                                      << QString() << 0;
    QTest::newRow("link to directory") << 3 << QByteArray("/srv/x") << 1
                                       << int(D::TypeSymbolicLink) << 0 << "/srv/x"
                                       << int(D::TypeDirectory);
    QTest::newRow("link to file") << 3 << QByteArray("t") << 2 << int(D::TypeSymbolicLink) << 0
                                  << "t" << int(D::TypeFile);
    QTest::newRow("link to link") << 3 << QByteArray("l") << 3 << int(D::TypeSymbolicLink) << 0
                                  << "l" << 3;
    QTest::newRow("link, target type 8") << 3 << QByteArray("l") << 8
                                         << int(D::TypeSymbolicLink) << 0 << "l" << 0;
    QTest::newRow("link without target") << 3 << QByteArray() << 2 << int(D::TypeSymbolicLink)
                                         << 0 << QString() << int(D::TypeFile);
    QTest::newRow("share") << 8 << QByteArray("{7d1c5e6a-0000-4000-8000-000000000001}") << 1
                           << int(D::TypeShare) << 0
                           << "{7d1c5e6a-0000-4000-8000-000000000001}" << int(D::TypeDirectory);
    QTest::newRow("type 5 passes") << 5 << QByteArray() << 0 << 5 << 0 << QString() << 0;
    QTest::newRow("type 9 unknown") << 9 << QByteArray() << 0 << 0 << 0 << QString() << 0;
    QTest::newRow("type 0 unknown") << 0 << QByteArray() << 0 << 0 << 0 << QString() << 0;
}

void TestVfsClientVelm::entryTypeMapping()
{
    QFETCH(int, wireType);
    QFETCH(QByteArray, reference);
    QFETCH(int, wireTarget);
    QFETCH(int, type);
    QFETCH(int, hidden);
    QFETCH(QString, ref);
    QFETCH(int, targetType);

    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(listingAccepted(trId)));
    QTRY_COMPARE(h.sent.size(), 2);
    E e = entry("item", quint8(wireType));
    e.reference = reference;
    e.targetType = quint8(wireTarget);
    QVERIFY(h.reply(page(trId, FSO_STATUS_COMPLETE, 0, {e})));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(job.entries.size(), size_t(1));
    const VfsDirectoryEntry& got = job.entries.front();
    QCOMPARE(int(got.type), type);
    QCOMPARE(int(got.hidden), hidden);
    QCOMPARE(got.ref, ref);
    QCOMPARE(int(got.targetType), targetType);
}

void TestVfsClientVelm::entryFieldsArrive()
{
    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(listingAccepted(trId)));
    QTRY_COMPARE(h.sent.size(), 2);
    E e = entry("photo.jpg");
    e.size = 5000000000ull;
    e.accessTime = 1700000000123;
    e.birthTime = 1600000000456;
    e.modificationTime = 1650000000789;
    e.access = 0x6644;
    e.inode = 0x123456789ull;
    e.linkCount = 3;
    QVERIFY(h.reply(page(trId, FSO_STATUS_COMPLETE, 0, {e, entry("name only")})));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(job.entries.size(), size_t(2));
    const VfsDirectoryEntry& got = job.entries.front();
    QCOMPARE(got.name, QString("photo.jpg"));
    QCOMPARE(got.size, 5000000000ull);
    QCOMPARE(got.atime, 1700000000123ll);
    QCOMPARE(got.ctime, 1600000000456ll);
    QCOMPARE(got.mtime, 1650000000789ll);
    QCOMPARE(got.mode, quint16(0x6644));
    QCOMPARE(got.inode, 0x123456789ull);
    QCOMPARE(got.nlinks, 3u);
    QCOMPARE(job.entries.back().name, QString("name only"));
}

void TestVfsClientVelm::unusableEntryNamesAreDropped()
{
    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/incoming";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(listingAccepted(trId)));
    QTRY_COMPARE(h.sent.size(), 2);
    const std::vector<E> hostile = {
        entry("good"), entry(".."), entry("."), entry(""), entry("a/b"),
        entry("a\\b"), entry(QByteArray("x\0y", 3)), entry("/"), entry("fine"),
        entry("..", E::TypeDirectory),
    };
    QVERIFY(h.reply(page(trId, FSO_STATUS_OK, 0, hostile)));
    // The listing goes on from where the server's count says, dropped
    // entries included.
    QTRY_COMPARE(h.sent.size(), 3);
    QCOMPARE(h.request(2).index, quint32(hostile.size()));
    QVERIFY(h.reply(page(trId, FSO_STATUS_COMPLETE, quint32(hostile.size()),
                         {entry("..."), entry("last")})));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(names(job), (QStringList{"good", "fine", "...", "last"}));
}

void TestVfsClientVelm::entryNameCheck_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << QByteArray("report.pdf") << true;
    QTest::newRow("dot file") << QByteArray(".bashrc") << true;
    QTest::newRow("three dots") << QByteArray("...") << true;
    QTest::newRow("dot dot prefix") << QByteArray("..x") << true;
    QTest::newRow("utf-8") << QByteArray("Bücher") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("dot") << QByteArray(".") << false;
    QTest::newRow("dot dot") << QByteArray("..") << false;
    QTest::newRow("slash") << QByteArray("a/b") << false;
    QTest::newRow("leading slash") << QByteArray("/etc") << false;
    QTest::newRow("backslash") << QByteArray("..\\x") << false;
    QTest::newRow("nul") << QByteArray("ok\0", 3) << false;
}

void TestVfsClientVelm::entryNameCheck()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, safe);
    QCOMPARE(isSafeEntryName(name), safe);
}

void TestVfsClientVelm::repeatedPageIsIgnored()
{
    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/d";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(listingAccepted(trId)));
    QVERIFY(h.reply(listingAccepted(trId))); // repeated: nothing happens
    QTRY_COMPARE(h.sent.size(), 2);
    const QByteArray first = page(trId, FSO_STATUS_OK, 0, {entry("a"), entry("b")});
    QVERIFY(h.reply(first));
    QVERIFY(h.reply(first)); // before the next page was asked for
    QTRY_COMPARE(h.sent.size(), 3);
    QCOMPARE(h.request(2).index, 2u);
    QVERIFY(h.reply(page(trId, FSO_STATUS_COMPLETE, 2, {entry("c")})));
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(names(job), (QStringList{"a", "b", "c"}));
}

void TestVfsClientVelm::endlessListingIsCutOff()
{
    // A server that answers every page with "more entries follow" must not
    // make the client collect entries without end.
    Harness h;
    const qint64 limit = 1 << 20;
    h.client.setListingLimit(limit);
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/endless";
    h.client.listDirectory(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(listingAccepted(trId)));

    const QByteArray longName(E::MaxNameBytes, 'n');
    quint32 index = 0;
    for (int round = 0; round < 2000; ++round) {
        // The next page is asked for, or the listing was handed back.
        QTRY_VERIFY(h.sent.size() == round + 2 || !done.isEmpty());
        if (!done.isEmpty())
            break;
        QCOMPARE(h.request(round + 1).index, index);
        std::vector<E> items;
        for (int i = 0; i < 40; ++i)
            items.push_back(entry(longName.left(E::MaxNameBytes - 8) + QByteArray::number(index + i)));
        QVERIFY(h.reply(page(trId, FSO_STATUS_OK, index, items)));
        index += quint32(items.size());
    }
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(job.status, quint8(FSO_STATUS_IO_ERROR));
    // What was kept stays within the limit.
    qint64 kept = 0;
    for (const VfsDirectoryEntry& e : job.entries)
        kept += qint64(sizeof(VfsDirectoryEntry)) + 2 * (e.name.size() + e.ref.size());
    QVERIFY(kept <= limit);
    QVERIFY(!job.entries.empty());
    QCOMPARE(h.client.pendingJobs(), 0);
}

void TestVfsClientVelm::openFileRequest_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<qint64>("atime");
    QTest::addColumn<qint64>("mtime");
    QTest::addColumn<quint32>("wireFlags");
    QTest::addColumn<int>("mask");       // mask bits on the wire
    QTest::addColumn<quint32>("timeSet"); // value of mask bit 0
    QTest::addColumn<bool>("sizeSent");

    const qint64 a = 1700000000000;
    const qint64 m = 1700000005000;
    QTest::newRow("v1 read") << 1 << 0x01u << a << m << 0x01u << 0 << 0u << false;
    QTest::newRow("v1 write, cut, times") << 1 << 0x06u << a << m << 0x06u << 0 << 0u << false;
    QTest::newRow("v2 flags 7, both times") << 2 << 0x07u << a << m << 0x17u << 1 << 0x28u
                                            << false;
    QTest::newRow("v3 flags 7, both times") << 3 << 0x07u << a << m << 0x17u << 1 << 0x2Au
                                            << true;
    QTest::newRow("v3 write, modification time") << 3 << 0x02u << 0ll << m << 0x12u << 1
                                                  << 0x20u << false;
    QTest::newRow("v3 write, access time") << 3 << 0x02u << a << -5ll << 0x12u << 1 << 0x08u
                                           << false;
    QTest::newRow("v3 read, times not sent") << 3 << 0x01u << a << m << 0x01u << 0 << 0u
                                             << false;
    QTest::newRow("v3 write, cut, no times") << 3 << 0x06u << 0ll << 0ll << 0x06u << 0 << 0u
                                             << false;
    QTest::newRow("v3 times only") << 3 << 0x10u << 0ll << m << 0x10u << 1 << 0x20u << false;
    QTest::newRow("v2 times only") << 2 << 0x10u << a << 0ll << 0x10u << 1 << 0x08u << false;
    QTest::newRow("v3 exclusive write") << 3 << 0x22u << 0ll << m << 0x32u << 1 << 0x20u
                                        << false;
}

void TestVfsClientVelm::openFileRequest()
{
    QFETCH(int, version);
    QFETCH(quint32, flags);
    QFETCH(qint64, atime);
    QFETCH(qint64, mtime);
    QFETCH(quint32, wireFlags);
    QFETCH(int, mask);
    QFETCH(quint32, timeSet);
    QFETCH(bool, sizeSent);

    Harness h;
    h.client.setProtocolVersion(quint16(version));
    VfsOpenFileJob job;
    job.flags = flags;
    job.accessTime = atime;
    job.birthTime = 1500000000000; // never sent
    job.modificationTime = mtime;
    job.size = 777;
    job.path = "/data/file.bin";
    h.client.openFile(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const C& req = h.request(0);
    QVERIFY(h.decoded);
    QCOMPARE(req.command, quint8(C::OpenFile));
    QCOMPARE(req.flags, wireFlags);
    QCOMPARE(int(req.fields.mask), mask);
    QCOMPARE(req.fields.value(0), timeSet);
    if (version >= 2 && mask) {
        QCOMPARE(req.accessTime, (timeSet & C::TimeAccess) ? atime : 0);
        QCOMPARE(req.modificationTime, (timeSet & C::TimeModification) ? mtime : 0);
        QCOMPARE(req.birthTime, 0ll);
    }
    QCOMPARE(req.fileSize, sizeSent ? 777ull : 0ull);
    QCOMPARE(QString::fromUtf8(req.pathBytes()), job.path);
    // The record keeps the caller's flags.
    QCOMPARE(job.flags, flags);
}

void TestVfsClientVelm::openFileReplyAndEmptyPath()
{
    Harness h;
    QSignalSpy opened(&h.client, &VfsClient::openFileUpdate);
    VfsOpenFileJob job;
    job.flags = C::OpenRead;
    job.path = "/f";
    h.client.openFile(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    QVERIFY(h.reply(W::openFileReply(h.request(0).trId, FSO_STATUS_OK, 7)));
    QTRY_COMPARE(opened.size(), 1);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(job.status, quint8(FSO_STATUS_OK));
    QCOMPARE(job.handle, quint16(7));

    VfsOpenFileJob nameless;
    nameless.flags = C::OpenRead;
    h.client.openFile(&nameless);
    QTRY_COMPARE(opened.size(), 2);
    QCOMPARE(nameless.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(nameless.status, quint8(FSO_STATUS_IO_ERROR));
    QCOMPARE(h.sent.size(), 1);
}

void TestVfsClientVelm::writeSizeLimits_data()
{
    QTest::addColumn<quint32>("size");
    QTest::addColumn<bool>("sent");
    QTest::newRow("nothing") << 0u << false;
    QTest::newRow("one byte") << 1u << true;
    QTest::newRow("largest chunk") << 64400u << true;
    QTest::newRow("one byte too many") << 64401u << false;
    QTest::newRow("far too many") << 0xFFFFFFFFu << false;
}

void TestVfsClientVelm::writeSizeLimits()
{
    QFETCH(quint32, size);
    QFETCH(bool, sent);
    Harness h;
    QSignalSpy written(&h.client, &VfsClient::writeFileUpdate);
    std::unique_ptr<VfsWriteFileJob> job(new VfsWriteFileJob());
    job->handle = 3;
    job->offset = 100;
    job->size = size;
    for (int i = 0; i < VfsWriteFileJob::MaxData; ++i)
        job->data[i] = quint8(i * 7);
    h.client.writeFile(job.get());
    if (!sent) {
        QTRY_COMPARE(written.size(), 1);
        QCOMPARE(job->jobStatus, quint32(VfsClientJob::JobFailed));
        QCOMPARE(h.sent.size(), 0);
        return;
    }
    // Written from the calling operation itself, not on a later run.
    QCOMPARE(h.sent.size(), 1);
    const C& req = h.request(0);
    QVERIFY(h.decoded);
    QCOMPARE(req.dataLength, size);
    QCOMPARE(req.offset, 100ull);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(req.data), int(size)),
             QByteArray(reinterpret_cast<const char*>(job->data), int(size)));
    QVERIFY(h.reply(W::writeFileReply(req.trId, FSO_STATUS_OK, 0, 100, size)));
    QTRY_COMPARE(written.size(), 1);
    QCOMPARE(job->jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(job->written, size);
}

void TestVfsClientVelm::readReplyChecks_data()
{
    QTest::addColumn<quint64>("replyOffset");
    QTest::addColumn<int>("replyLength");
    QTest::addColumn<int>("replyStatus");
    QTest::addColumn<quint32>("jobStatus");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("length");

    const quint32 ok = VfsClientJob::JobFinished;
    const quint32 failed = VfsClientJob::JobFailed;
    QTest::newRow("as asked") << 4096ull << 100 << 0 << ok << 0 << 100;
    QTest::newRow("end of file") << 4096ull << 40 << int(FSO_STATUS_END_OF_FILE) << ok
                                 << int(FSO_STATUS_END_OF_FILE) << 40;
    QTest::newRow("server error") << 4096ull << 0 << int(FSO_STATUS_INVALID_OFFSET) << ok
                                  << int(FSO_STATUS_INVALID_OFFSET) << 0;
    QTest::newRow("another offset") << 0ull << 100 << 0 << failed << int(FSO_STATUS_IO_ERROR)
                                    << 0;
    QTest::newRow("offset one beyond") << 4097ull << 10 << 0 << failed
                                       << int(FSO_STATUS_IO_ERROR) << 0;
    QTest::newRow("more than asked") << 4096ull << 101 << 0 << failed
                                     << int(FSO_STATUS_IO_ERROR) << 0;
    QTest::newRow("full chunk for a small read") << 4096ull << 64400 << 7 << failed
                                                 << int(FSO_STATUS_IO_ERROR) << 0;
    QTest::newRow("success without data") << 4096ull << 0 << 0 << failed
                                          << int(FSO_STATUS_IO_ERROR) << 0;
}

void TestVfsClientVelm::readReplyChecks()
{
    QFETCH(quint64, replyOffset);
    QFETCH(int, replyLength);
    QFETCH(int, replyStatus);
    QFETCH(quint32, jobStatus);
    QFETCH(int, status);
    QFETCH(int, length);

    Harness h;
    QSignalSpy reads(&h.client, &VfsClient::readFileUpdate);
    std::unique_ptr<VfsReadFileJob> job(new VfsReadFileJob());
    job->handle = 9;
    job->offset = 4096;
    job->size = 100;
    std::memset(job->data, 0xEE, sizeof job->data);
    h.client.readFile(job.get());
    QCOMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QCOMPARE(h.request(0).size, 100u);
    QByteArray bytes(replyLength, '\0');
    for (int i = 0; i < replyLength; ++i)
        bytes[i] = char(i + 1);
    QVERIFY(h.reply(W::readFileReply(trId, quint8(replyStatus), 0, replyOffset,
                                     bytes.constData(), replyLength)));
    // Later replies for the same request change nothing.
    QVERIFY(h.reply(W::readFileReply(trId, 0, 0, 4096, "zz", 2)));
    QTRY_COMPARE(reads.size(), 1);
    QCOMPARE(job->jobStatus, jobStatus);
    QCOMPARE(int(job->status), status);
    QCOMPARE(int(job->length), length);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(job->data), length), bytes.left(length));
    if (length == 0)
        QCOMPARE(job->data[0], quint8(0xEE)); // nothing copied from a refused reply
}

void TestVfsClientVelm::hashReplyChecks_data()
{
    QTest::addColumn<int>("digests");
    QTest::addColumn<quint32>("jobStatus");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("received");
    QTest::newRow("as asked") << 4 << quint32(VfsClientJob::JobFinished) << 0 << 4;
    QTest::newRow("fewer, end of file") << 1 << quint32(VfsClientJob::JobFinished) << 7 << 1;
    QTest::newRow("none") << 0 << quint32(VfsClientJob::JobFinished) << 7 << 0;
    QTest::newRow("more than asked") << 5 << quint32(VfsClientJob::JobFailed)
                                     << int(FSO_STATUS_IO_ERROR) << 0;
}

void TestVfsClientVelm::hashReplyChecks()
{
    QFETCH(int, digests);
    QFETCH(quint32, jobStatus);
    QFETCH(int, status);
    QFETCH(int, received);

    Harness h;
    QSignalSpy hashes(&h.client, &VfsClient::hashFileUpdate);
    std::unique_ptr<VfsHashFileJob> job(new VfsHashFileJob());
    job->flags = 1;
    job->handle = 2;
    job->count = 4;
    job->blockSize = 1 << 20;
    h.client.hashFile(job.get());
    QCOMPARE(h.sent.size(), 1);
    const C& req = h.request(0);
    QCOMPARE(req.count, quint16(4));
    QCOMPARE(req.blockSize, 1u << 20);
    QByteArray blob(digests * 20, 'd');
    const quint8 replyStatus = digests == 4 ? 0 : (digests > 4 ? 0 : 7);
    QVERIFY(h.reply(W::hashFileReply(req.trId, replyStatus, 1, quint16(digests),
                                     blob.constData(), blob.size())));
    QTRY_COMPARE(hashes.size(), 1);
    QCOMPARE(job->jobStatus, jobStatus);
    QCOMPARE(int(job->status), status);
    QCOMPARE(int(job->digestsReceived), received);
    QCOMPARE(int(job->digestBytes), received * 20);
}

void TestVfsClientVelm::silentServerTimesOut()
{
    Harness h;
    // Nothing times out until the listing's page request is out, however
    // slowly the machine gets there.
    h.client.setTimeouts(3600000, 3600000);
    QSignalSpy moves(&h.client, &VfsClient::moveUpdate);
    QSignalSpy reads(&h.client, &VfsClient::readFileUpdate);
    QSignalSpy lists(&h.client, &VfsClient::listDirectoryUpdate);
    VfsMoveJob move;
    move.sourcePath = "/a";
    move.destinationPath = "/b";
    std::unique_ptr<VfsReadFileJob> read(new VfsReadFileJob());
    read->size = 10;
    VfsListDirectoryJob list;
    list.path = "/";
    h.client.move(&move);
    h.client.readFile(read.get());
    h.client.listDirectory(&list);
    QTRY_COMPARE(h.sent.size(), 3);

    // The listing's first page is answered; the page request is not.
    quint16 listTrId = 0;
    for (int i = 0; i < 3; ++i) {
        if (h.request(i).command == C::ListDirectory)
            listTrId = h.request(i).trId;
    }
    QVERIFY(h.reply(listingAccepted(listTrId)));
    QTRY_COMPARE(h.sent.size(), 4);

    // From now on a request without a reply fails after 30 ms.
    h.client.setTimeouts(30, 3600000);
    QTRY_COMPARE(moves.size(), 1);
    QTRY_COMPARE(lists.size(), 1);
    QCOMPARE(move.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(move.status, quint8(FSO_STATUS_TIMEOUT));
    QCOMPARE(list.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(list.status, quint8(FSO_STATUS_TIMEOUT));
    QCOMPARE(h.request(3).command, quint8(C::QueryListDirectory));
    // Reads wait longer than other requests.
    QCOMPARE(reads.size(), 0);
    QCOMPARE(h.client.pendingJobs(), 1);

    h.client.setTimeouts(30, 30);
    QTRY_COMPARE(reads.size(), 1);
    QCOMPARE(read->jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(read->status, quint8(FSO_STATUS_TIMEOUT));
    QCOMPARE(h.client.pendingJobs(), 0);
}

// When the link goes, every record queued or in flight comes back at once,
// failed, exactly once, however long its time-out; replies that still come
// for them change nothing, and the client serves new requests as before.
void TestVfsClientVelm::linkDownFailsPendingAtOnce()
{
    Harness h;
    h.client.setTimeouts(3600000, 3600000);
    QSignalSpy moves(&h.client, &VfsClient::moveUpdate);
    QSignalSpy reads(&h.client, &VfsClient::readFileUpdate);
    QSignalSpy lists(&h.client, &VfsClient::listDirectoryUpdate);
    QSignalSpy opens(&h.client, &VfsClient::openFileUpdate);
    QSignalSpy deletes(&h.client, &VfsClient::deleteFileUpdate);
    QSignalSpy mkdirs(&h.client, &VfsClient::makeDirectoryUpdate);
    VfsMoveJob move;
    move.sourcePath = "/a";
    move.destinationPath = "/b";
    std::unique_ptr<VfsReadFileJob> read(new VfsReadFileJob());
    read->size = 10;
    VfsListDirectoryJob list;
    list.path = "/";
    VfsOpenFileJob open;
    open.flags = C::OpenRead;
    open.path = "/a";
    VfsDeleteFileJob gone;
    gone.path = "/a";
    h.client.move(&move);
    h.client.readFile(read.get());
    h.client.listDirectory(&list);
    h.client.openFile(&open);
    h.client.deleteFile(&gone);
    QTRY_COMPARE(h.sent.size(), 5);
    QHash<quint8, quint16> trIds;
    for (int i = 0; i < 5; ++i) {
        const C& request = h.request(i);
        trIds.insert(request.command, request.trId);
    }
    // The listing is between its pages when the link goes.
    QVERIFY(h.reply(listingAccepted(trIds.value(C::ListDirectory))));
    // Queued, not sent yet.
    VfsMakeDirectoryJob mkdir;
    mkdir.path = "/new";
    h.client.makeDirectory(&mkdir);

    h.client.failPending();
    QTRY_COMPARE(h.client.pendingJobs(), 0);
    QCOMPARE(moves.size(), 1);
    QCOMPARE(reads.size(), 1);
    QCOMPARE(lists.size(), 1);
    QCOMPARE(opens.size(), 1);
    QCOMPARE(deletes.size(), 1);
    QCOMPARE(mkdirs.size(), 1);
    const std::vector<const VfsClientJob*> records{ &move, read.get(), &list, &open, &gone,
                                                    &mkdir };
    for (const VfsClientJob* job : records) {
        QCOMPARE(job->jobStatus, quint32(VfsClientJob::JobFailed));
        QCOMPARE(job->status, quint8(FSO_STATUS_TIMEOUT));
    }

    // Late replies find no record.
    const QByteArray data("0123456789");
    QVERIFY(h.reply(W::moveReply(trIds.value(C::Move), FSO_STATUS_OK)));
    QVERIFY(h.reply(W::readFileReply(trIds.value(C::ReadFile), FSO_STATUS_END_OF_FILE, 0, 0,
                                     data.constData(), data.size())));
    QVERIFY(h.reply(page(trIds.value(C::ListDirectory), FSO_STATUS_COMPLETE, 0,
                         { entry("late") })));
    QVERIFY(h.reply(W::openFileReply(trIds.value(C::OpenFile), FSO_STATUS_OK, 7)));
    QVERIFY(h.reply(W::deleteFileReply(trIds.value(C::DeleteFile), FSO_STATUS_OK, "/a")));
    h.client.jobTimerFired();
    QCoreApplication::processEvents();
    QCOMPARE(moves.size() + reads.size() + lists.size() + opens.size() + deletes.size()
                 + mkdirs.size(),
             6);
    QCOMPARE(move.status, quint8(FSO_STATUS_TIMEOUT));
    QCOMPARE(open.handle, quint16(0));
    QCOMPARE(read->length, 0u);
    QVERIFY(list.entries.empty());

    // The same record, queued again, is served as usual.
    const int sentBefore = h.sent.size();
    h.client.move(&move);
    QTRY_COMPARE(h.sent.size(), sentBefore + 1);
    QVERIFY(h.reply(W::moveReply(h.request(sentBefore).trId, FSO_STATUS_OK)));
    QTRY_COMPARE(moves.size(), 2);
    QCOMPARE(move.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(move.status, quint8(FSO_STATUS_OK));
}

void TestVfsClientVelm::listDrivesReply()
{
    Harness h;
    QSignalSpy drives(&h.client, &VfsClient::listDrivesUpdate);
    VfsListDrivesJob job;
    job.label = "test";
    job.drives.resize(3); // stale content is dropped
    h.client.listDrives(&job);
    QTRY_COMPARE(h.sent.size(), 1);
    const C& req = h.request(0);
    QCOMPARE(req.command, quint8(C::ListDrives));
    QCOMPARE(req.flags, 16u);
    QCOMPARE(req.driveStart, quint16(0));

    DriveCache root;
    root.type = DriveCache::FixedDisk;
    root.bytesTotal = 500000000000ull;
    root.bytesAvailable = 123000000000ull;
    root.name = "System";
    root.rootPath = "/";
    DriveCache stick;
    stick.type = DriveCache::HotPluggable;
    stick.plugType = DriveCache::PlugUsb3;
    stick.state = 2;
    stick.readOnly = 1;
    stick.name = "USB-Stick";
    stick.rootPath = "E:\\";
    QVERIFY(h.reply(W::listDrivesReply(req.trId, 0, {root, stick})));
    QTRY_COMPARE(drives.size(), 1);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(job.status, quint8(0));
    QCOMPARE(job.drives.size(), size_t(2));
    QCOMPARE(job.drives[0].path, QString("/"));
    QCOMPARE(job.drives[0].name, QString("System"));
    QCOMPARE(job.drives[0].bytesTotal, 500000000000ull);
    QCOMPARE(job.drives[0].bytesAvailable, 123000000000ull);
    QCOMPARE(job.drives[0].trId, req.trId);
    QCOMPARE(job.drives[1].path, QString("E:"));
    QCOMPARE(job.drives[1].type, quint8(DriveCache::HotPluggable));
    QCOMPARE(job.drives[1].plugType, quint8(DriveCache::PlugUsb3));
    QCOMPARE(job.drives[1].state, quint8(2));
}

void TestVfsClientVelm::deleteMakeDirectoryAndChangeNotice()
{
    Harness h;
    QSignalSpy deletes(&h.client, &VfsClient::deleteFileUpdate);
    QSignalSpy mkdirs(&h.client, &VfsClient::makeDirectoryUpdate);
    QSignalSpy changes(&h.client, &VfsClient::directoryChanged);
    VfsDeleteFileJob gone;
    gone.path = "/tmp/gone";
    VfsDeleteFileJob removed;
    removed.path = "/tmp/removed";
    removed.failedPath = "stale";
    VfsMakeDirectoryJob mkdir;
    mkdir.path = "/tmp/new";
    h.client.deleteFile(&gone);
    h.client.deleteFile(&removed);
    h.client.makeDirectory(&mkdir);
    QTRY_COMPARE(h.sent.size(), 3);
    QCOMPARE(h.request(2).fields.mask, quint16(0));
    QVERIFY(h.reply(W::deleteFileReply(h.request(0).trId, FSO_STATUS_NOT_FOUND, "/tmp/gone")));
    QVERIFY(h.reply(W::deleteFileReply(h.request(1).trId, FSO_STATUS_OK, "/tmp/removed")));
    QVERIFY(h.reply(W::makeDirectoryReply(h.request(2).trId, FSO_STATUS_OK, 4)));
    QVERIFY(h.reply(W::directoryChangedNotice(17, "/tmp/Bücher")));
    QTRY_COMPARE(deletes.size(), 2);
    QTRY_COMPARE(mkdirs.size(), 1);
    QCOMPARE(gone.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(gone.status, quint8(FSO_STATUS_NOT_FOUND));
    QCOMPARE(gone.failedPath, QString("/tmp/gone"));
    QCOMPARE(removed.status, quint8(FSO_STATUS_OK));
    QCOMPARE(removed.failedPath, QString());
    QCOMPARE(mkdir.existing, 4u);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.at(0).at(0).toString(), QString("/tmp/Bücher"));
}

void TestVfsClientVelm::finishedJobsComeBackOnePerRun()
{
    Harness h;
    QSignalSpy moves(&h.client, &VfsClient::moveUpdate);
    VfsMoveJob first;
    first.sourcePath = "/a";
    first.destinationPath = "/b";
    VfsMoveJob second;
    second.sourcePath = "/c";
    second.destinationPath = "/d";
    VfsMoveJob third;
    third.sourcePath = "/e";
    third.destinationPath = "/f";
    h.client.move(&first);
    h.client.move(&second);
    h.client.move(&third);
    QTRY_COMPARE(h.sent.size(), 3);
    // A move's reply hands its record back on the reply's own pass, not
    // on a later tick of the job timer.
    QVERIFY(h.reply(W::moveReply(h.request(2).trId, FSO_STATUS_EXISTS)));
    QCOMPARE(moves.size(), 1);
    QCOMPARE(moves.at(0).at(0).value<VfsMoveJob*>(), &third);
    QCOMPARE(third.status, quint8(FSO_STATUS_EXISTS));
    QCOMPARE(third.jobStatus, quint32(VfsClientJob::JobFinished));
    // Records done together (the link went down) come back one per run
    // of the tables, in table order, without the event loop in between.
    h.client.failPending();
    h.client.jobTimerFired();
    QCOMPARE(moves.size(), 2);
    QCOMPARE(moves.at(1).at(0).value<VfsMoveJob*>(), &first);
    h.client.jobTimerFired();
    QCOMPARE(moves.size(), 3);
    QCOMPARE(moves.at(2).at(0).value<VfsMoveJob*>(), &second);
    QCOMPARE(first.status, quint8(FSO_STATUS_TIMEOUT));
    QCOMPARE(second.status, quint8(FSO_STATUS_TIMEOUT));
}

void TestVfsClientVelm::fileRepliesComeBackOnTheirOwnPass()
{
    // Many opens and closes answered at once: each record goes back as its
    // reply is processed, in reply order, without waiting for runs of the
    // job timer (one record per table and run).
    Harness h;
    QSignalSpy opened(&h.client, &VfsClient::openFileUpdate);
    QSignalSpy closed(&h.client, &VfsClient::closeFileUpdate);
    constexpr int Count = 20;
    VfsOpenFileJob opens[Count];
    VfsCloseFileJob closes[Count];
    for (int i = 0; i < Count; ++i) {
        opens[i].flags = C::OpenRead;
        opens[i].path = QStringLiteral("/f%1").arg(i);
        h.client.openFile(&opens[i]);
        closes[i].handle = quint16(i + 1);
        h.client.closeFile(&closes[i]);
    }
    QTRY_COMPARE(h.sent.size(), 2 * Count);
    QHash<QString, quint16> openTrIds;
    QHash<quint16, quint16> closeTrIds;
    for (int i = 0; i < 2 * Count; ++i) {
        const C& request = h.request(i);
        if (request.command == C::OpenFile)
            openTrIds.insert(QString::fromUtf8(request.pathBytes()), request.trId);
        else
            closeTrIds.insert(request.handle, request.trId);
    }
    for (int i = Count - 1; i >= 0; --i) {
        QVERIFY(h.reply(W::openFileReply(openTrIds.value(opens[i].path), FSO_STATUS_OK,
                                         quint16(100 + i))));
        QCOMPARE(opened.size(), Count - i);
        QCOMPARE(opened.last().at(0).value<VfsOpenFileJob*>(), &opens[i]);
        QCOMPARE(opens[i].handle, quint16(100 + i));
        QVERIFY(h.reply(W::closeFileReply(closeTrIds.value(quint16(i + 1)), FSO_STATUS_OK,
                                          quint16(i + 1))));
        QCOMPARE(closed.size(), Count - i);
        QCOMPARE(closed.last().at(0).value<VfsCloseFileJob*>(), &closes[i]);
        QCOMPARE(closes[i].jobStatus, quint32(VfsClientJob::JobFinished));
    }
}

void TestVfsClientVelm::releaseWithdrawsListing()
{
    Harness h;
    QSignalSpy done(&h.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob early;
    early.path = "/early";
    h.client.listDirectory(&early);
    QVERIFY(early.release);
    early.release(&early);
    VfsListDirectoryJob late;
    late.path = "/late";
    h.client.listDirectory(&late);
    QTRY_COMPARE(h.sent.size(), 1);
    QCOMPARE(QString::fromUtf8(h.request(0).pathBytes()), QString("/late"));
    const quint16 trId = h.request(0).trId;
    late.release(&late);
    QCOMPARE(h.client.pendingJobs(), 0);
    QVERIFY(h.reply(listingAccepted(trId)));
    QVERIFY(h.reply(page(trId, FSO_STATUS_COMPLETE, 0, {entry("x")})));
    // A run of the tables is where a listing would be handed back.
    h.client.jobTimerFired();
    QTest::qWait(20);
    QCOMPARE(done.size(), 0);
    QCOMPARE(h.sent.size(), 1);
    QVERIFY(late.entries.empty());
}

void TestVfsClientVelm::requestsFromAnotherThread()
{
    Harness h;
    QSignalSpy moves(&h.client, &VfsClient::moveUpdate);
    QSignalSpy reads(&h.client, &VfsClient::readFileUpdate);
    VfsMoveJob move;
    move.sourcePath = "/a";
    move.destinationPath = "/b";
    std::unique_ptr<VfsReadFileJob> read(new VfsReadFileJob());
    read->size = 1;
    std::unique_ptr<QThread> caller(QThread::create([&] {
        h.client.move(&move);
        h.client.readFile(read.get());
    }));
    caller->start();
    QVERIFY(caller->wait(10000));
    // The frames leave on the client's own thread.
    QTRY_COMPARE(h.sent.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const C& req = h.request(i);
        if (req.command == C::Move)
            QVERIFY(h.reply(W::moveReply(req.trId, FSO_STATUS_OK)));
        else
            QVERIFY(h.reply(W::readFileReply(req.trId, FSO_STATUS_END_OF_FILE, 0, 0, "r", 1)));
    }
    QTRY_COMPARE(moves.size(), 1);
    QTRY_COMPARE(reads.size(), 1);
    QCOMPARE(read->length, 1u);
}

void TestVfsClientVelm::threadFinishedDropsQueuedJobs()
{
    Harness h;
    QSignalSpy lists(&h.client, &VfsClient::listDirectoryUpdate);
    QSignalSpy moves(&h.client, &VfsClient::moveUpdate);
    VfsListDirectoryJob list;
    list.path = "/";
    VfsOpenFileJob open;
    open.path = "/f";
    open.flags = C::OpenRead;
    VfsMoveJob move; // not dropped: left with an empty source
    h.client.listDirectory(&list);
    h.client.openFile(&open);
    h.client.move(&move);
    h.client.onThreadFinished();
    QCOMPARE(h.client.pendingJobs(), 1);
    QTRY_COMPARE(moves.size(), 1);
    QCOMPARE(move.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(lists.size(), 0);
    QCOMPARE(h.sent.size(), 0);
}

void TestVfsClientVelm::unmatchedRepliesAreIgnored()
{
    Harness h;
    QSignalSpy processed(&h.client, &VfsClientVelm::processedCommand);
    QSignalSpy moves(&h.client, &VfsClient::moveUpdate);
    VfsMoveJob move;
    move.sourcePath = "/a";
    move.destinationPath = "/b";
    h.client.move(&move);
    QTRY_COMPARE(h.sent.size(), 1);
    const quint16 trId = h.request(0).trId;
    QVERIFY(h.reply(W::moveReply(quint16(trId + 1), FSO_STATUS_OK)));
    QVERIFY(h.reply(W::openFileReply(trId, FSO_STATUS_OK, 1))); // another kind
    QVERIFY(h.reply(W::moveRequest(trId, 0, "/x", "/y")));      // not a reply at all
    QCOMPARE(processed.size(), 3);
    // A run of the tables is where the move would be handed back.
    h.client.jobTimerFired();
    QTest::qWait(20);
    QCOMPARE(moves.size(), 0);
    QCOMPARE(move.jobStatus, quint32(VfsClientJob::JobRunning));
    QVERIFY(h.reply(W::moveReply(trId, FSO_STATUS_OK)));
    QTRY_COMPARE(moves.size(), 1);
}

QTEST_GUILESS_MAIN(TestVfsClientVelm)
#include "tst_vfsclientvelm.moc"
