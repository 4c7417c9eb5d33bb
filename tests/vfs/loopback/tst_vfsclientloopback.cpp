#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"
#include "vfs/server/vfsservervelm.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include <sys/stat.h>

namespace {

using C = VfsMirkCommand;
using E = VfsMirkListEntry;

constexpr int Slow = 30000; // ms, generous for sanitizer builds

// A client and the own machine's server, joined by the in-process link.
struct Loop
{
    Loop() : server(VfsServerVelm::Unrestricted), link(&client, &server) {}
    ~Loop() { QThreadPool::globalInstance()->waitForDone(); }

    QString path(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    VfsServerVelm server;
    VfsClientVelm client;
    VfsLoopbackLink link;
};

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList names(const VfsListDirectoryJob& job)
{
    QStringList out;
    for (const VfsDirectoryEntry& e : job.entries)
        out << e.name;
    return out;
}

QByteArray page(quint16 trId, quint8 status, quint32 index, const std::vector<QByteArray>& names)
{
    VfsMirkListPageWriter writer(trId, status, index, E::FieldsAll);
    for (const QByteArray& name : names) {
        E e;
        e.name = name;
        e.type = E::TypeFile;
        if (writer.addEntry(e) != VfsMirkListPageWriter::Added)
            return QByteArray();
    }
    return writer.finish();
}

// Reads a whole file with a number of reads in flight and puts the chunks
// together at the offsets they were asked for.
class Reader : public QObject
{
public:
    Reader(VfsClientVelm* client, quint16 handle, qint64 size, int inFlight)
        : m_client(client), m_handle(handle), m_size(size)
    {
        m_data.resize(int(size));
        for (int i = 0; i < inFlight; ++i)
            m_jobs.emplace_back(new VfsReadFileJob());
        connect(client, &VfsClient::readFileUpdate, this, &Reader::onUpdate);
    }

    void start()
    {
        for (auto& job : m_jobs)
            next(job.get());
    }

    bool done() const { return m_busy == 0; }
    bool failed() const { return m_failed; }
    QByteArray data() const { return m_data; }

private:
    void next(VfsReadFileJob* job)
    {
        if (m_failed || m_offset >= m_size)
            return;
        job->handle = m_handle;
        job->offset = quint64(m_offset);
        job->size = VfsReadFileJob::MaxData;
        m_offset += VfsReadFileJob::MaxData;
        ++m_busy;
        m_client->readFile(job);
    }

    void onUpdate(VfsReadFileJob* job)
    {
        --m_busy;
        const bool ok = job->jobStatus == VfsClientJob::JobFinished
            && (job->status == FSO_STATUS_OK || job->status == FSO_STATUS_END_OF_FILE)
            && job->offset + job->length <= quint64(m_size);
        if (!ok) {
            m_failed = true;
            return;
        }
        std::memcpy(m_data.data() + job->offset, job->data, job->length);
        next(job);
    }

    VfsClientVelm* m_client;
    quint16 m_handle;
    qint64 m_size;
    qint64 m_offset = 0;
    int m_busy = 0;
    bool m_failed = false;
    QByteArray m_data;
    std::vector<std::unique_ptr<VfsReadFileJob>> m_jobs;
};

} // namespace

class TestVfsClientLoopback : public QObject
{
    Q_OBJECT

private slots:
    void largeListingArrivesOnceAndComplete();
    void failureOnSecondPageKeepsFirstPage();
    void hostileListingYieldsOnlyGoodEntries();
    void openFilePerProtocolVersion_data();
    void openFilePerProtocolVersion();
    void writeOfBadSizeFailsAtOnce_data();
    void writeOfBadSizeFailsAtOnce();
    void silentServerTimesOut();
    void transactionIdsWrap();
    void fileReadWithReadsInFlight();
};

void TestVfsClientLoopback::largeListingArrivesOnceAndComplete()
{
    Loop loop;
    QVERIFY(loop.dir.isValid());
    QDir().mkdir(loop.path("list"));
    std::set<QString> expected;
    for (int i = 0; i < 3000; ++i) {
        const QString name = QStringLiteral("entry-with-a-longer-name-%1.txt").arg(i, 4, 10,
                                                                                QChar('0'));
        QVERIFY(writeFile(loop.path("list/" + name), QByteArray::number(i)));
        expected.insert(name);
    }
    loop.link.setDelay(1);
    QSignalSpy done(&loop.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = loop.path("list");
    loop.client.listDirectory(&job);
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, Slow);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(job.status, quint8(FSO_STATUS_COMPLETE));
    QCOMPARE(job.entries.size(), size_t(3000));
    const QStringList got = names(job);
    QCOMPARE(std::set<QString>(got.begin(), got.end()), expected);
    QVERIFY(loop.link.requestCount() > 3); // LIST_DIRECTORY and several pages
    QCOMPARE(job.entries.front().type, quint8(VfsDirectoryEntry::TypeFile));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(job.path).constData(), &st), 0);
    QCOMPARE(job.fileId, quint64(st.st_ino));
    QCOMPARE(job.separator, QChar('/'));

    // Handed back once: nothing is left to hand back again.
    QCOMPARE(loop.client.pendingJobs(), 0);
    QTest::qWait(50);
    QCOMPARE(done.size(), 1);
}

void TestVfsClientLoopback::failureOnSecondPageKeepsFirstPage()
{
    Loop loop;
    QDir().mkdir(loop.path("list"));
    for (int i = 0; i < 3000; ++i)
        QVERIFY(writeFile(loop.path(QStringLiteral("list/file-number-%1").arg(i)), "x"));
    // The second page is refused, as a server refuses a path outside the
    // shares.
    quint32 refusedAt = 0;
    loop.link.setRequestHook([&](const C& request) {
        if (request.command != C::QueryListDirectory || request.index == 0)
            return false;
        refusedAt = request.index;
        loop.link.sendToClient(page(request.trId, FSO_STATUS_NOT_PERMITTED, request.index, {}));
        return true;
    });
    QSignalSpy done(&loop.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = loop.path("list");
    loop.client.listDirectory(&job);
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, Slow);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(job.status, quint8(FSO_STATUS_NOT_PERMITTED));
    QVERIFY(refusedAt > 0 && refusedAt < 3000);
    QCOMPARE(job.entries.size(), size_t(refusedAt));
}

void TestVfsClientLoopback::hostileListingYieldsOnlyGoodEntries()
{
    Loop loop;
    loop.link.setDelay(1);
    // A peer that answers the listing itself, with names no file system of
    // its own would give.
    loop.link.setRequestHook([&](const C& request) {
        if (request.command == C::ListDirectory) {
            VfsMirkFieldMask fields;
            fields.set(0, E::FieldsAll);
            loop.link.sendToClient(VfsMirkCommandWriter::listDirectoryReply(
                request.trId, FSO_STATUS_OK, request.flags & C::ListReplyFlags, fields, 0));
        } else if (request.command == C::QueryListDirectory) {
            loop.link.sendToClient(page(request.trId, FSO_STATUS_COMPLETE, request.index,
                                        {"..", "good", "a/b", QByteArray("evil\0name", 9), ".",
                                         "", "..\\..\\windows", "also good"}));
        }
        return true;
    });
    QSignalSpy done(&loop.client, &VfsClient::listDirectoryUpdate);
    VfsListDirectoryJob job;
    job.path = "/home/user/incoming";
    loop.client.listDirectory(&job);
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, Slow);
    QCOMPARE(job.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(names(job), (QStringList{"good", "also good"}));
}

void TestVfsClientLoopback::openFilePerProtocolVersion_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<quint32>("wireFlags");
    QTest::addColumn<int>("mask");
    QTest::addColumn<quint32>("timeSet");
    QTest::addColumn<bool>("timesApplied");
    QTest::addColumn<qint64>("sizeAfter");
    QTest::newRow("version 1") << 1 << 0x07u << 0 << 0u << false << qint64(1000);
    QTest::newRow("version 2") << 2 << 0x17u << 1 << 0x28u << true << qint64(1000);
    QTest::newRow("version 3") << 3 << 0x17u << 1 << 0x2Au << true << qint64(10);
}

void TestVfsClientLoopback::openFilePerProtocolVersion()
{
    QFETCH(int, version);
    QFETCH(quint32, wireFlags);
    QFETCH(int, mask);
    QFETCH(quint32, timeSet);
    QFETCH(bool, timesApplied);
    QFETCH(qint64, sizeAfter);

    Loop loop;
    loop.link.setProtocolVersion(quint16(version));
    QCOMPARE(loop.server.peerVersion(), quint16(version));
    const QString file = loop.path("target.bin");
    QVERIFY(writeFile(file, QByteArray(1000, 'z')));
    const qint64 before = QFileInfo(file).lastModified().toMSecsSinceEpoch();

    struct Seen
    {
        quint32 flags = 0;
        int mask = -1;
        quint32 timeSet = 0;
        qint64 atime = 0, btime = 0, mtime = 0;
        quint64 size = 0;
    } seen;
    loop.link.setRequestHook([&](const C& request) {
        if (request.command == C::OpenFile) {
            seen.flags = request.flags;
            seen.mask = request.fields.mask;
            seen.timeSet = request.fields.value(0);
            seen.atime = request.accessTime;
            seen.btime = request.birthTime;
            seen.mtime = request.modificationTime;
            seen.size = request.fileSize;
        }
        return false;
    });

    const qint64 atime = 1500000000000; // 2017
    const qint64 mtime = 1600000000000; // 2020
    QSignalSpy opened(&loop.client, &VfsClient::openFileUpdate);
    VfsOpenFileJob open;
    open.flags = C::OpenRead | C::OpenWrite | C::OpenTruncate;
    open.accessTime = atime;
    open.birthTime = 1400000000000;
    open.modificationTime = mtime;
    open.size = 10;
    open.path = file;
    loop.client.openFile(&open);
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, Slow);
    QCOMPARE(open.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(open.status, quint8(FSO_STATUS_OK));
    QVERIFY(open.handle != 0);

    QCOMPARE(seen.flags, wireFlags);
    QCOMPARE(seen.mask, mask);
    QCOMPARE(seen.timeSet, timeSet);
    if (mask) {
        QCOMPARE(seen.atime, atime);
        QCOMPARE(seen.mtime, mtime);
    }
    QCOMPARE(seen.btime, 0ll);
    QCOMPARE(seen.size, (timeSet & C::TimeSize) ? 10ull : 0ull);

    QSignalSpy closed(&loop.client, &VfsClient::closeFileUpdate);
    VfsCloseFileJob close;
    close.handle = open.handle;
    loop.client.closeFile(&close);
    QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, Slow);
    QCOMPARE(close.jobStatus, quint32(VfsClientJob::JobFinished));
    QCOMPARE(close.status, quint8(FSO_STATUS_OK));

    const QFileInfo info(file);
    QCOMPARE(info.size(), sizeAfter);
    if (timesApplied)
        QCOMPARE(info.lastModified().toMSecsSinceEpoch(), mtime);
    else
        QVERIFY(info.lastModified().toMSecsSinceEpoch() >= before);
}

void TestVfsClientLoopback::writeOfBadSizeFailsAtOnce_data()
{
    QTest::addColumn<quint32>("size");
    QTest::newRow("0 bytes") << 0u;
    QTest::newRow("64401 bytes") << 64401u;
}

void TestVfsClientLoopback::writeOfBadSizeFailsAtOnce()
{
    QFETCH(quint32, size);
    Loop loop;
    const QString file = loop.path("w.bin");
    QSignalSpy opened(&loop.client, &VfsClient::openFileUpdate);
    VfsOpenFileJob open;
    open.flags = C::OpenWrite;
    open.path = file;
    loop.client.openFile(&open);
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, Slow);
    QCOMPARE(open.status, quint8(FSO_STATUS_OK));

    const int requests = loop.link.requestCount();
    QSignalSpy written(&loop.client, &VfsClient::writeFileUpdate);
    std::unique_ptr<VfsWriteFileJob> write(new VfsWriteFileJob());
    write->handle = open.handle;
    write->size = size;
    loop.client.writeFile(write.get());
    QTRY_COMPARE_WITH_TIMEOUT(written.size(), 1, Slow);
    QCOMPARE(write->jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(loop.link.requestCount(), requests); // nothing reached the server
    QCOMPARE(QFileInfo(file).size(), 0);
}

void TestVfsClientLoopback::silentServerTimesOut()
{
    VfsClientVelm client;
    VfsLoopbackLink link(&client, nullptr); // a peer that never answers
    client.setTimeouts(40, 80);
    QSignalSpy lists(&client, &VfsClient::listDirectoryUpdate);
    QSignalSpy opens(&client, &VfsClient::openFileUpdate);
    QSignalSpy reads(&client, &VfsClient::readFileUpdate);
    VfsListDirectoryJob list;
    list.path = "/";
    VfsOpenFileJob open;
    open.flags = C::OpenRead;
    open.path = "/etc/hostname";
    std::unique_ptr<VfsReadFileJob> read(new VfsReadFileJob());
    read->size = 100;
    client.listDirectory(&list);
    client.openFile(&open);
    client.readFile(read.get());
    QTRY_COMPARE_WITH_TIMEOUT(lists.size(), 1, Slow);
    QTRY_COMPARE_WITH_TIMEOUT(opens.size(), 1, Slow);
    QTRY_COMPARE_WITH_TIMEOUT(reads.size(), 1, Slow);
    QCOMPARE(link.requestCount(), 3);
    for (const VfsClientJob* job : {static_cast<VfsClientJob*>(&list),
                                    static_cast<VfsClientJob*>(&open),
                                    static_cast<VfsClientJob*>(read.get())}) {
        QCOMPARE(job->jobStatus, quint32(VfsClientJob::JobFailed));
        QCOMPARE(job->status, quint8(FSO_STATUS_TIMEOUT));
    }
    QCOMPARE(client.pendingJobs(), 0);
}

void TestVfsClientLoopback::transactionIdsWrap()
{
    Loop loop;
    loop.client.setNextTrId(65534);
    QList<quint16> ids;
    loop.link.setRequestHook([&](const C& request) {
        ids << request.trId;
        return false;
    });
    QSignalSpy made(&loop.client, &VfsClient::makeDirectoryUpdate);
    VfsMakeDirectoryJob jobs[3];
    const char* names[3] = {"first", "second", "third"};
    for (int i = 0; i < 3; ++i) {
        jobs[i].path = loop.path(names[i]);
        loop.client.makeDirectory(&jobs[i]);
    }
    QTRY_COMPARE_WITH_TIMEOUT(made.size(), 3, Slow);
    QCOMPARE(ids, (QList<quint16>{65534, 65535, 0}));
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(jobs[i].jobStatus, quint32(VfsClientJob::JobFinished));
        QCOMPARE(jobs[i].status, quint8(FSO_STATUS_OK));
        QVERIFY(QFileInfo(loop.path(names[i])).isDir());
    }
}

void TestVfsClientLoopback::fileReadWithReadsInFlight()
{
    Loop loop;
    loop.link.setDelay(1);
    QByteArray content(1000 * 1000 + 17, '\0');
    QRandomGenerator rng(42);
    for (char& c : content)
        c = char(rng.generate());
    const QString file = loop.path("data.bin");
    QVERIFY(writeFile(file, content));

    QSignalSpy opened(&loop.client, &VfsClient::openFileUpdate);
    VfsOpenFileJob open;
    open.flags = C::OpenRead;
    open.path = file;
    loop.client.openFile(&open);
    QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, Slow);
    QCOMPARE(open.status, quint8(FSO_STATUS_OK));

    Reader reader(&loop.client, open.handle, content.size(), 12);
    reader.start();
    QTRY_VERIFY_WITH_TIMEOUT(reader.done(), Slow);
    QVERIFY(!reader.failed());
    QVERIFY(reader.data() == content);
}

QTEST_GUILESS_MAIN(TestVfsClientLoopback)
#include "tst_vfsclientloopback.moc"
