#include "vfs/server/vfsservertestutil.h"

#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkframewriter.h"
#include "vfs/server/vfspathguard.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace vfsservertest;

namespace {

constexpr quint32 kRead = VfsMirkCommand::OpenRead;
constexpr quint32 kWrite = VfsMirkCommand::OpenWrite;
constexpr quint32 kTruncate = VfsMirkCommand::OpenTruncate;
constexpr quint32 kTimes = VfsMirkCommand::OpenTimes;
constexpr quint32 kExclusive = VfsMirkCommand::OpenExclusive;

// Times given by the tests, in milliseconds: 2001-09-09 and 2009-02-13.
constexpr qint64 kAccessTime = 1000000000000LL;
constexpr qint64 kModificationTime = 1234567890000LL;
// What a file's times are set to before a test, in seconds.
constexpr time_t kEarlierTime = 900000000;

QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + i / 251) & 0xFF);
    return bytes;
}

struct Times
{
    qint64 access = 0; // seconds
    qint64 modification = 0;
};

Times timesOf(const QByteArray& path)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return {};
    return { qint64(st.st_atim.tv_sec), qint64(st.st_mtim.tv_sec) };
}

bool setEarlierTimes(const QByteArray& path)
{
    const timespec times[2] = { { kEarlierTime, 0 }, { kEarlierTime, 0 } };
    return ::utimensat(AT_FDCWD, path.constData(), times, 0) == 0;
}

VfsMirkFieldMask timeFields(quint32 t)
{
    VfsMirkFieldMask mask;
    mask.set(0, t);
    return mask;
}

} // namespace

class TestVfsServerFiles : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void openFile_data();
    void openFile();
    void openFileTableHolds256();
    void readFile_data();
    void readFile();
    void readFlagsCloseTheHandle_data();
    void readFlagsCloseTheHandle();
    void pipelinedReadsAndClose();
    void closeAfterUseSparesAReusedHandle_data();
    void closeAfterUseSparesAReusedHandle();
    void writeFile_data();
    void writeFile();
    void writeBlobBounds_data();
    void writeBlobBounds();
    void hashFile_data();
    void hashFile();
    void closeFile();
    void timesAppliedAtClose_data();
    void timesAppliedAtClose();
    void timesOnly_data();
    void timesOnly();
    void cutToSizeOnOpen();
    void idleCloseLeavesTimesAlone();
    void destroyedWithWorkInFlight();

private:
    QByteArray path(const char* name) const { return m_root + '/' + name; }
    QString qpath(const char* name) const { return QFile::decodeName(path(name)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_root;
};

void TestVfsServerFiles::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_root = QFile::encodeName(QFileInfo(m_dir->path()).canonicalFilePath());
    QVERIFY(vfsservertest::writeFile(qpath("data"), pattern(1000)));
    QVERIFY(vfsservertest::writeFile(qpath("empty"), QByteArray()));
    QVERIFY(QDir().mkpath(qpath("dir")));
    QCOMPARE(::mkfifo(path("fifo").constData(), 0600), 0);
}

void TestVfsServerFiles::openFile_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<int>("sizeAfter"); // of the file, -1: does not exist

    QTest::newRow("read") << QByteArray("data") << kRead << quint8(0) << 1000;
    QTest::newRow("read missing") << QByteArray("none") << kRead << quint8(3) << -1;
    QTest::newRow("write new") << QByteArray("new") << kWrite << quint8(0) << 0;
    QTest::newRow("write truncates") << QByteArray("data") << kWrite << quint8(0) << 0;
    QTest::newRow("read-write keeps") << QByteArray("data") << (kRead | kWrite) << quint8(0)
                                      << 1000;
    QTest::newRow("read-write new") << QByteArray("new") << (kRead | kWrite) << quint8(0) << 0;
    QTest::newRow("exclusive, exists") << QByteArray("data") << (kWrite | kExclusive)
                                       << quint8(FSO_STATUS_EXISTS) << 1000;
    QTest::newRow("exclusive read-write, exists") << QByteArray("data")
                                                  << (kRead | kWrite | kExclusive)
                                                  << quint8(FSO_STATUS_EXISTS) << 1000;
    QTest::newRow("exclusive, new") << QByteArray("new") << (kWrite | kExclusive) << quint8(0)
                                    << 0;
    QTest::newRow("no mode") << QByteArray("data") << 0u << quint8(2) << 1000;
    QTest::newRow("cut only") << QByteArray("data") << kTruncate << quint8(2) << 1000;
    QTest::newRow("directory") << QByteArray("dir") << kRead << quint8(1) << 4096;
    QTest::newRow("pipe") << QByteArray("fifo") << kRead << quint8(1) << 0;
    QTest::newRow("pipe for writing") << QByteArray("fifo") << kWrite << quint8(1) << 0;
}

void TestVfsServerFiles::openFile()
{
    QFETCH(QByteArray, name);
    QFETCH(quint32, flags);
    QFETCH(quint8, status);
    QFETCH(int, sizeAfter);
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path(name.constData()), flags, &handle), status);
    QCOMPARE(h.server.openFileCount(), status == 0 ? 1 : 0);
    QCOMPARE(handle != 0, status == 0);
    const QFileInfo info(qpath(name.constData()));
    QCOMPARE(info.exists(), sizeAfter >= 0);
    if (sizeAfter >= 0 && !info.isDir())
        QCOMPARE(int(info.size()), sizeAfter);
}

void TestVfsServerFiles::openFileTableHolds256()
{
    ServerHarness h(VfsServerVelm::Unrestricted);
    QSet<quint16> handles;
    for (int i = 0; i < 256; ++i) {
        quint16 handle = 0;
        QCOMPARE(h.open(path("data"), kRead, &handle), quint8(0));
        handles.insert(handle);
    }
    QCOMPARE(handles.size(), 256);
    QVERIFY(!handles.contains(0));
    QCOMPARE(h.open(path("data"), kRead), quint8(FSO_STATUS_IO_ERROR));
    QCOMPARE(h.server.openFileCount(), 256);
    QCOMPARE(h.close(*handles.begin()), quint8(0));
    quint16 again = 0;
    QCOMPARE(h.open(path("data"), kRead, &again), quint8(0));
    QCOMPARE(again, quint16(257)); // numbers keep counting up
}

void TestVfsServerFiles::readFile_data()
{
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<quint32>("wanted");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<int>("length");

    const quint64 max64 = std::numeric_limits<quint64>::max();
    QTest::newRow("empty file") << 0 << quint64(0) << 100u << quint8(11) << 0;
    QTest::newRow("start") << 1000 << quint64(0) << 10u << quint8(0) << 10;
    QTest::newRow("last 100 bytes") << 1000 << quint64(900) << 64400u << quint8(7) << 100;
    QTest::newRow("exactly to the end") << 1000 << quint64(990) << 10u << quint8(7) << 10;
    QTest::newRow("at the end") << 1000 << quint64(1000) << 10u << quint8(11) << 0;
    QTest::newRow("nothing wanted") << 1000 << quint64(1) << 0u << quint8(1) << 0;
    QTest::newRow("offset 2^63") << 1000 << (quint64(1) << 63) << 10u << quint8(11) << 0;
    QTest::newRow("offset 2^64-1") << 1000 << max64 << 10u << quint8(11) << 0;
    QTest::newRow("more than one chunk wanted") << 200000 << quint64(1000) << 100000u << quint8(0)
                                                << 64400;
}

void TestVfsServerFiles::readFile()
{
    QFETCH(int, fileSize);
    QFETCH(quint64, offset);
    QFETCH(quint32, wanted);
    QFETCH(quint8, status);
    QFETCH(int, length);
    const QByteArray content = pattern(fileSize, 3);
    QVERIFY(vfsservertest::writeFile(qpath("file"), content));
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("file"), kRead, &handle), quint8(0));
    QCOMPARE(h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0x02, handle, offset,
                                                           wanted)),
             status);
    QCOMPARE(h.reply->flags, 0x02u);
    QCOMPARE(h.reply->offset, offset);
    QCOMPARE(int(h.reply->dataLength), length);
    if (length > 0)
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(h.reply->data), length),
                 content.mid(int(offset), length));
    QCOMPARE(h.server.openFileCount(), 1);
}

void TestVfsServerFiles::readFlagsCloseTheHandle_data()
{
    QTest::addColumn<quint8>("flags");
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<bool>("closed");

    QTest::newRow("close after this read") << quint8(0x01) << quint64(0) << true;
    QTest::newRow("close at the end, not reached") << quint8(0x04) << quint64(0) << false;
    QTest::newRow("close at the end, reached") << quint8(0x04) << quint64(990) << true;
    QTest::newRow("no close") << quint8(0x00) << quint64(990) << false;
}

void TestVfsServerFiles::readFlagsCloseTheHandle()
{
    QFETCH(quint8, flags);
    QFETCH(quint64, offset);
    QFETCH(bool, closed);
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("data"), kRead, &handle), quint8(0));
    const quint8 status =
        h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), flags, handle, offset, 100));
    QVERIFY(status == 0 || status == 7);
    QCOMPARE(h.server.openFileCount(), closed ? 0 : 1);
    QCOMPARE(h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0, handle, 0, 10)),
             quint8(closed ? FSO_STATUS_INVALID_HANDLE : FSO_STATUS_OK));
}

void TestVfsServerFiles::pipelinedReadsAndClose()
{
    const QByteArray content = pattern(50 * 1000, 5);
    QVERIFY(vfsservertest::writeFile(qpath("file"), content));
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("file"), kRead, &handle), quint8(0));
    // Fifty reads in flight at once, then a close behind them.
    QList<quint16> ids;
    for (int i = 0; i < 50; ++i) {
        ids.append(h.nextTrId());
        QVERIFY(h.feed(VfsMirkCommandWriter::readFileRequest(ids.last(), 0, handle,
                                                              quint64(i) * 1000, 1000)));
    }
    QCOMPARE(h.close(handle), quint8(0));
    int served = 0;
    for (int i = 0; i < ids.size(); ++i) {
        QVERIFY(h.awaitReply(VfsMirkCommand::ReadFile, ids.at(i)));
        const quint8 status = h.reply->status;
        if (status == FSO_STATUS_IO_ERROR) // closed before its turn
            continue;
        QVERIFY(status == 0 || status == 7);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(h.reply->data), 1000),
                 content.mid(i * 1000, 1000));
        ++served;
    }
    QVERIFY(served <= 50);
    QCOMPARE(h.server.openFileCount(), 0);
}

void TestVfsServerFiles::closeAfterUseSparesAReusedHandle_data()
{
    QTest::addColumn<quint8>("command");
    QTest::newRow("read, close after it") << quint8(VfsMirkCommand::ReadFile);
    QTest::newRow("write, close after it") << quint8(VfsMirkCommand::WriteFile);
}

void TestVfsServerFiles::closeAfterUseSparesAReusedHandle()
{
    // A read or write that asked to close its handle finishes after the
    // handle was closed and its number given to another file: that other
    // file stays open.
    QFETCH(quint8, command);
    QVERIFY(vfsservertest::writeFile(qpath("other"), pattern(100, 4)));
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("data"), kRead | kWrite, &handle), quint8(0));
    const quint16 id = h.nextTrId();
    const QByteArray data = pattern(10);
    QVERIFY(h.feed(command == VfsMirkCommand::ReadFile
                       ? VfsMirkCommandWriter::readFileRequest(id, 0x01, handle, 0, 10)
                       : VfsMirkCommandWriter::writeFileRequest(id, 0x01, handle, 0,
                                                                data.constData(), data.size())));
    // No event is handled until the worker's reply is awaited below.
    QCOMPARE(h.close(handle), quint8(0));
    for (int i = 0; i < 0xFFFE; ++i) {
        quint16 passing = 0;
        QCOMPARE(h.open(path("other"), kRead, &passing), quint8(0));
        QCOMPARE(h.close(passing), quint8(0));
    }
    quint16 again = 0;
    QCOMPARE(h.open(path("other"), kRead, &again), quint8(0));
    QCOMPARE(again, handle);

    QVERIFY(h.awaitReply(command, id));
    h.settle();
    QCOMPARE(h.server.openFileCount(), 1);
    QCOMPARE(h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0, again, 0, 100)),
             quint8(FSO_STATUS_END_OF_FILE));
}

void TestVfsServerFiles::writeFile_data()
{
    QTest::addColumn<int>("initialSize");
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<int>("length");
    QTest::addColumn<quint8>("flags");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<int>("finalSize");

    const quint64 int64Max = quint64(std::numeric_limits<qint64>::max());
    QTest::newRow("into an empty file") << 0 << quint64(0) << 100 << quint8(0) << quint8(0) << 100;
    QTest::newRow("overwrite inside") << 100 << quint64(10) << 20 << quint8(0) << quint8(0) << 100;
    QTest::newRow("append at the end") << 100 << quint64(100) << 50 << quint8(0) << quint8(0)
                                       << 150;
    QTest::newRow("past the end refused") << 100 << quint64(200) << 10 << quint8(0) << quint8(11)
                                          << 100;
    QTest::newRow("past the end allowed") << 100 << quint64(200) << 10 << quint8(0x04) << quint8(0)
                                          << 210;
    QTest::newRow("a whole chunk") << 0 << quint64(0) << 64400 << quint8(0) << quint8(0) << 64400;
    QTest::newRow("offset plus length overflows 64 bits")
        << 100 << quint64(std::numeric_limits<quint64>::max() - 5) << 10 << quint8(0x04)
        << quint8(11) << 100;
    QTest::newRow("offset plus length passes the largest offset")
        << 100 << (int64Max - 5) << 10 << quint8(0x04) << quint8(11) << 100;
    QTest::newRow("flag bit 1 comes back") << 0 << quint64(0) << 5 << quint8(0x02) << quint8(0)
                                           << 5;
}

void TestVfsServerFiles::writeFile()
{
    QFETCH(int, initialSize);
    QFETCH(quint64, offset);
    QFETCH(int, length);
    QFETCH(quint8, flags);
    QFETCH(quint8, status);
    QFETCH(int, finalSize);
    const QByteArray initial = pattern(initialSize, 1);
    QVERIFY(vfsservertest::writeFile(qpath("file"), initial));
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("file"), kRead | kWrite, &handle), quint8(0));
    const QByteArray data = pattern(length, 2);
    QCOMPARE(h.call(VfsMirkCommandWriter::writeFileRequest(h.nextTrId(), flags, handle, offset,
                                                            data.constData(), data.size())),
             status);
    QCOMPARE(h.reply->flags, quint32(flags & 0x02));
    QCOMPARE(h.reply->offset, offset);
    QCOMPARE(int(h.reply->written), status == 0 ? length : 0);
    QCOMPARE(h.close(handle), quint8(0));

    const QByteArray after = vfsservertest::readFile(qpath("file"));
    QCOMPARE(after.size(), finalSize);
    if (status == 0) {
        QCOMPARE(after.mid(int(offset), length), data);
        QCOMPARE(after.left(qMin<int>(int(offset), initialSize)),
                 initial.left(qMin<int>(int(offset), initialSize)));
        if (int(offset) > initialSize) // the gap reads as zeros
            QCOMPARE(after.mid(initialSize, int(offset) - initialSize),
                     QByteArray(int(offset) - initialSize, '\0'));
    } else {
        QCOMPARE(after, initial);
    }
}

void TestVfsServerFiles::writeBlobBounds_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("mode"); // open mode; 0: no handle
    QTest::addColumn<quint8>("status");

    QTest::newRow("empty blob") << 0 << int(kWrite) << quint8(2);
    QTest::newRow("64401 bytes") << 64401 << int(kWrite) << quint8(2);
    QTest::newRow("read-only handle") << 10 << int(kRead) << quint8(1);
    QTest::newRow("no such handle") << 10 << 0 << quint8(13);
}

void TestVfsServerFiles::writeBlobBounds()
{
    QFETCH(int, length);
    QFETCH(int, mode);
    QFETCH(quint8, status);
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 4711;
    if (mode)
        QCOMPARE(h.open(path("data"), quint32(mode), &handle), quint8(0));
    const QByteArray before = vfsservertest::readFile(qpath("data"));
    // Built by hand: the writer never makes such a frame.
    const quint16 trId = h.nextTrId();
    VfsMirkFrameWriter frame(VfsMirkCommand::MagicRequest, VfsMirkCommand::WriteFile, trId,
                             length + 64);
    const QByteArray data = pattern(length);
    frame.stream().writeU8(0);
    frame.stream().writeU16(handle);
    frame.stream().writeU64(0);
    frame.stream().writeBlob(data.constData(), std::size_t(data.size()));
    QCOMPARE(h.call(frame.finish()), status);
    QCOMPARE(h.reply->written, 0u);
    if (mode && mode != int(kWrite))
        QCOMPARE(vfsservertest::readFile(qpath("data")), before);
}

void TestVfsServerFiles::hashFile_data()
{
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<quint32>("blockSize");
    QTest::addColumn<int>("count");
    QTest::addColumn<quint64>("offset");
    QTest::addColumn<quint8>("flags");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<int>("digests");

    QTest::newRow("64 blocks of a 3-block file") << 3000 << 1000u << 64 << quint64(0) << quint8(1)
                                                 << quint8(7) << 3;
    QTest::newRow("2 of 3 blocks") << 3000 << 1000u << 2 << quint64(0) << quint8(1) << quint8(0)
                                   << 2;
    QTest::newRow("short last block") << 2500 << 1000u << 64 << quint64(0) << quint8(1)
                                      << quint8(7) << 3;
    QTest::newRow("from an offset") << 3000 << 1000u << 64 << quint64(500) << quint8(1)
                                    << quint8(7) << 3;
    QTest::newRow("offset at the end") << 3000 << 1000u << 4 << quint64(3000) << quint8(1)
                                       << quint8(7) << 0;
    QTest::newRow("offset beyond") << 3000 << 1000u << 4 << quint64(3001) << quint8(1)
                                   << quint8(11) << 0;
    QTest::newRow("no block wanted") << 3000 << 1000u << 0 << quint64(0) << quint8(1) << quint8(0)
                                     << 0;
    QTest::newRow("no SHA-1 flag") << 3000 << 1000u << 4 << quint64(0) << quint8(0) << quint8(14)
                                   << 0;
    QTest::newRow("largest block") << 3000 << 64400u << 1 << quint64(0) << quint8(1) << quint8(7)
                                   << 1;
    QTest::newRow("block too large") << 3000 << 64401u << 1 << quint64(0) << quint8(1)
                                     << quint8(2) << 0;
    QTest::newRow("block of 0 bytes") << 3000 << 0u << 1 << quint64(0) << quint8(1) << quint8(2)
                                      << 0;
    QTest::newRow("more digests than a reply holds")
        << 5000 << 1u << 4000 << quint64(0) << quint8(1) << quint8(0) << 3220;
}

void TestVfsServerFiles::hashFile()
{
    QFETCH(int, fileSize);
    QFETCH(quint32, blockSize);
    QFETCH(int, count);
    QFETCH(quint64, offset);
    QFETCH(quint8, flags);
    QFETCH(quint8, status);
    QFETCH(int, digests);
    const QByteArray content = pattern(fileSize, 9);
    QVERIFY(vfsservertest::writeFile(qpath("file"), content));
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("file"), kRead, &handle), quint8(0));
    QCOMPARE(h.call(VfsMirkCommandWriter::hashFileRequest(h.nextTrId(), flags, handle,
                                                           quint16(count), blockSize, offset)),
             status);
    QCOMPARE(int(h.reply->count), digests);
    QCOMPARE(int(h.reply->digestLength), digests * 20);
    for (int i = 0; i < digests; ++i) {
        const QByteArray block = content.mid(int(offset) + i * int(blockSize), int(blockSize));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(h.reply->digests) + i * 20, 20),
                 QCryptographicHash::hash(block, QCryptographicHash::Sha1));
    }
    if (status == 0 || status == 7)
        QCOMPARE(h.reply->flags, 1u);

    QCOMPARE(h.call(VfsMirkCommandWriter::hashFileRequest(h.nextTrId(), 1, quint16(handle + 1), 1,
                                                           100, 0)),
             quint8(FSO_STATUS_INVALID_HANDLE));
}

void TestVfsServerFiles::closeFile()
{
    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(path("data"), kRead, &handle), quint8(0));
    QCOMPARE(h.close(handle, 1), quint8(FSO_STATUS_INVALID_PARAMETER));
    QCOMPARE(h.reply->handle, handle);
    QCOMPARE(h.server.openFileCount(), 1);
    QCOMPARE(h.close(quint16(handle + 1)), quint8(FSO_STATUS_NOT_FOUND));
    QCOMPARE(h.close(handle), quint8(0));
    QCOMPARE(h.reply->handle, handle);
    QCOMPARE(h.server.openFileCount(), 0);
    QCOMPARE(h.close(handle), quint8(FSO_STATUS_NOT_FOUND));
}

void TestVfsServerFiles::timesAppliedAtClose_data()
{
    QTest::addColumn<quint16>("version");
    QTest::addColumn<quint32>("t");
    QTest::addColumn<qint64>("accessTime");       // expected, seconds
    QTest::addColumn<qint64>("modificationTime"); // expected, seconds

    const qint64 a = kAccessTime / 1000;
    const qint64 m = kModificationTime / 1000;
    QTest::newRow("both times") << quint16(3) << 0x28u << a << m;
    QTest::newRow("modification only: access left alone") << quint16(3) << 0x20u
                                                          << qint64(kEarlierTime) << m;
    QTest::newRow("access only: modification left alone") << quint16(2) << 0x08u << a
                                                          << qint64(kEarlierTime);
    QTest::newRow("birth only: nothing to set") << quint16(3) << 0x10u << qint64(kEarlierTime)
                                                << qint64(kEarlierTime);
}

void TestVfsServerFiles::timesAppliedAtClose()
{
    QFETCH(quint16, version);
    QFETCH(quint32, t);
    QFETCH(qint64, accessTime);
    QFETCH(qint64, modificationTime);
    ServerHarness h(VfsServerVelm::Unrestricted, {}, version);
    // Read-write: no write at all, so only the server can move the times.
    QVERIFY(setEarlierTimes(path("data")));
    QCOMPARE(h.call(VfsMirkCommandWriter::openFileRequest(
                 h.nextTrId(), version, kRead | kWrite | kTimes, timeFields(t), kAccessTime,
                 kAccessTime, kModificationTime, 0, path("data"))),
             quint8(0));
    const quint16 handle = h.reply->handle;
    QCOMPARE(h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0, handle, 0, 10)),
             quint8(0));
    QVERIFY(setEarlierTimes(path("data")));
    QCOMPARE(h.close(handle), quint8(0));
    const Times after = timesOf(path("data"));
    QCOMPARE(after.access, accessTime);
    QCOMPARE(after.modification, modificationTime);
}

void TestVfsServerFiles::timesOnly_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<quint32>("t");
    QTest::addColumn<qint64>("accessGiven");
    QTest::addColumn<qint64>("modificationGiven");
    QTest::addColumn<quint8>("status");
    QTest::addColumn<qint64>("accessTime");
    QTest::addColumn<qint64>("modificationTime");

    const qint64 a = kAccessTime / 1000;
    const qint64 m = kModificationTime / 1000;
    const qint64 e = kEarlierTime;
    QTest::newRow("modification only") << QByteArray("data") << 0x20u << qint64(0)
                                       << kModificationTime << quint8(8) << e << m;
    QTest::newRow("both") << QByteArray("data") << 0x28u << kAccessTime << kModificationTime
                          << quint8(8) << a << m;
    QTest::newRow("access only") << QByteArray("data") << 0x08u << kAccessTime << qint64(0)
                                 << quint8(8) << a << e;
    QTest::newRow("none given") << QByteArray("data") << 0x00u << qint64(0) << qint64(0)
                                << quint8(2) << e << e;
    QTest::newRow("given as zero") << QByteArray("data") << 0x28u << qint64(0) << qint64(0)
                                   << quint8(2) << e << e;
    QTest::newRow("negative") << QByteArray("data") << 0x28u << qint64(-5) << qint64(-5)
                              << quint8(2) << e << e;
    QTest::newRow("missing file") << QByteArray("none") << 0x20u << qint64(0)
                                  << kModificationTime << quint8(1) << qint64(0) << qint64(0);
}

void TestVfsServerFiles::timesOnly()
{
    QFETCH(QByteArray, name);
    QFETCH(quint32, t);
    QFETCH(qint64, accessGiven);
    QFETCH(qint64, modificationGiven);
    QFETCH(quint8, status);
    QFETCH(qint64, accessTime);
    QFETCH(qint64, modificationTime);
    ServerHarness h(VfsServerVelm::Unrestricted);
    setEarlierTimes(path(name.constData()));
    QCOMPARE(h.call(VfsMirkCommandWriter::openFileRequest(
                 h.nextTrId(), 3, kTimes, timeFields(t), accessGiven, 0, modificationGiven, 0,
                 path(name.constData()))),
             status);
    QCOMPARE(h.reply->handle, quint16(0));
    QCOMPARE(h.server.openFileCount(), 0);
    const Times after = timesOf(path(name.constData()));
    QCOMPARE(after.access, accessTime);
    QCOMPARE(after.modification, modificationTime);
}

void TestVfsServerFiles::cutToSizeOnOpen()
{
    ServerHarness h(VfsServerVelm::Unrestricted);
    // Read-write with the cut flag and a size: the file is cut, not emptied.
    QCOMPARE(h.call(VfsMirkCommandWriter::openFileRequest(
                 h.nextTrId(), 3, kRead | kWrite | kTruncate | kTimes, timeFields(0x22), 0, 0,
                 kModificationTime, 300, path("data"))),
             quint8(0));
    QCOMPARE(QFileInfo(qpath("data")).size(), 300);
    // A size above the file's leaves it alone.
    QCOMPARE(h.call(VfsMirkCommandWriter::openFileRequest(
                 h.nextTrId(), 3, kRead | kWrite | kTruncate | kTimes, timeFields(0x22), 0, 0,
                 kModificationTime, 5000, path("data"))),
             quint8(0));
    QCOMPARE(QFileInfo(qpath("data")).size(), 300);
    // Version 2 carries no size: nothing is cut.
    ServerHarness v2(VfsServerVelm::Unrestricted, {}, 2);
    QCOMPARE(v2.call(VfsMirkCommandWriter::openFileRequest(
                 v2.nextTrId(), 2, kRead | kWrite | kTruncate | kTimes, timeFields(0x20), 0, 0,
                 kModificationTime, 0, path("data"))),
             quint8(0));
    QCOMPARE(QFileInfo(qpath("data")).size(), 300);
}

void TestVfsServerFiles::idleCloseLeavesTimesAlone()
{
    ServerHarness h(VfsServerVelm::Unrestricted);
    VfsServerVelm::Timings timings;
    timings.idleTimeout = 0;
    timings.idleCheckInterval = 3600 * 1000; // run by hand below
    h.server.setTimings(timings);

    quint16 first = 0;
    QCOMPARE(h.call(VfsMirkCommandWriter::openFileRequest(
                 h.nextTrId(), 3, kWrite | kTimes, timeFields(0x28), kAccessTime, 0,
                 kModificationTime, 0, path("partial"))),
             quint8(0));
    first = h.reply->handle;
    const QByteArray half = pattern(500);
    QCOMPARE(h.call(VfsMirkCommandWriter::writeFileRequest(h.nextTrId(), 0, first, 0,
                                                            half.constData(), half.size())),
             quint8(0));
    quint16 second = 0;
    QCOMPARE(h.open(path("data"), kRead, &second), quint8(0));
    QVERIFY(setEarlierTimes(path("partial")));

    // One idle file per check, the oldest first.
    h.server.closeFileTimerFired();
    QCOMPARE(h.server.openFileCount(), 1);
    QCOMPARE(h.call(VfsMirkCommandWriter::readFileRequest(h.nextTrId(), 0, first, 0, 10)),
             quint8(FSO_STATUS_INVALID_HANDLE));
    // The partial file keeps its times: it must not look like the finished copy.
    const Times after = timesOf(path("partial"));
    QCOMPARE(after.modification, qint64(kEarlierTime));
    QCOMPARE(after.access, qint64(kEarlierTime));
    QCOMPARE(vfsservertest::readFile(qpath("partial")), half);

    h.server.closeFileTimerFired();
    QCOMPARE(h.server.openFileCount(), 0);

    // With the default timeout a fresh file is not idle.
    ServerHarness fresh(VfsServerVelm::Unrestricted);
    QCOMPARE(fresh.open(path("data"), kRead), quint8(0));
    fresh.server.closeFileTimerFired();
    QCOMPARE(fresh.server.openFileCount(), 1);
}

void TestVfsServerFiles::destroyedWithWorkInFlight()
{
    QVERIFY(vfsservertest::writeFile(qpath("big"), pattern(2 * 1000 * 1000)));
    for (int round = 0; round < 5; ++round) {
        auto h = std::make_unique<ServerHarness>(VfsServerVelm::Unrestricted);
        quint16 handle = 0;
        QCOMPARE(h->open(path("big"), kRead | kWrite, &handle), quint8(0));
        const QByteArray data = pattern(1000);
        for (int i = 0; i < 20; ++i) {
            QVERIFY(h->feed(VfsMirkCommandWriter::hashFileRequest(h->nextTrId(), 1, handle, 3000,
                                                                   64400, 0)));
            QVERIFY(h->feed(VfsMirkCommandWriter::writeFileRequest(
                h->nextTrId(), 0, handle, quint64(i) * 1000, data.constData(), data.size())));
        }
        QVERIFY(h->feed(VfsMirkCommandWriter::listDirectoryRequest(
            h->nextTrId(), 0, VfsMirkFieldMask(), m_root)));
        h.reset(); // waits for its workers
    }
}

QTEST_GUILESS_MAIN(TestVfsServerFiles)
#include "tst_vfsserverfiles.moc"
