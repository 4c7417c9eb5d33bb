// The file-system server runs its file work and listing pages on the
// process-wide thread pool, which every other part of the program shares. A
// peer that queues many requests must not take all of the pool's threads,
// least of all to have them wait for one file. The reads of hash blocks of an
// unusual size, and the look at an entry of a marked name, wait at a gate
// this program puts in front of the C library's pread() and statx(), so that
// the test decides when the work may go on.
#include "vfs/server/vfsservertestutil.h"

#include "vfs/protocol/fsostatus.h"

#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

using namespace vfsservertest;

namespace {

constexpr quint32 kGatedBlockSize = 12345;

std::mutex g_gateMutex;
std::condition_variable g_gateOpened;
bool g_gateClosed = false;
std::atomic<int> g_waiting{ 0 };

void closeGate()
{
    std::lock_guard<std::mutex> lock(g_gateMutex);
    g_gateClosed = true;
}

void openGate()
{
    {
        std::lock_guard<std::mutex> lock(g_gateMutex);
        g_gateClosed = false;
    }
    g_gateOpened.notify_all();
}

} // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    if (count == kGatedBlockSize) {
        std::unique_lock<std::mutex> lock(g_gateMutex);
        ++g_waiting;
        g_gateOpened.wait(lock, [] { return !g_gateClosed; });
        --g_waiting;
    }
    static const auto real =
        reinterpret_cast<ssize_t (*)(int, void*, size_t, off_t)>(::dlsym(RTLD_NEXT, "pread"));
    return real(fd, buffer, count, offset);
}

// Listing pages look at each entry with statx(); the entry named so waits at
// the gate as well.
const char kGatedName[] = "/gate-marker";

extern "C" int statx(int dirfd, const char* path, int flags, unsigned int mask,
                     struct statx* buffer)
{
    if (QByteArray(path).endsWith(kGatedName)) {
        std::unique_lock<std::mutex> lock(g_gateMutex);
        ++g_waiting;
        g_gateOpened.wait(lock, [] { return !g_gateClosed; });
        --g_waiting;
    }
    static const auto real = reinterpret_cast<int (*)(int, const char*, int, unsigned int,
                                                      struct statx*)>(::dlsym(RTLD_NEXT, "statx"));
    return real(dirfd, path, flags, mask, buffer);
}

namespace {

// Lowers the pool to a few threads for a test and puts it back after.
class SmallPool
{
public:
    explicit SmallPool(int threads)
        : m_pool(QThreadPool::globalInstance()), m_threads(m_pool->maxThreadCount())
    {
        m_pool->setMaxThreadCount(threads);
    }
    ~SmallPool()
    {
        openGate();
        m_pool->waitForDone();
        m_pool->setMaxThreadCount(m_threads);
    }

private:
    QThreadPool* m_pool;
    int m_threads;
};

struct OpenAtEnd // before a server goes, which waits for its workers
{
    ~OpenAtEnd() { openGate(); }
};

// True when a task given to the pool now gets a thread within the time-out.
bool poolServesOthers()
{
    auto probed = std::make_shared<std::atomic<bool>>(false);
    QtConcurrent::run(QThreadPool::globalInstance(), [probed] { *probed = true; });
    return QTest::qWaitFor([probed] { return probed->load(); }, 10000);
}

} // namespace

class TestVfsServerPool : public QObject
{
    Q_OBJECT
private slots:
    void requestsOnOneFileLeaveThePoolFree();
    void listingPagesLeaveThePoolFree();
};

void TestVfsServerPool::requestsOnOneFileLeaveThePoolFree()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.path() + QStringLiteral("/big");
    QVERIFY(writeFile(file, QByteArray(100 * 1000, 'b')));

    SmallPool pool(3);

    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(QFile::encodeName(file), VfsMirkCommand::OpenRead, &handle), quint8(0));

    closeGate();
    OpenAtEnd openAtEnd;
    QList<quint16> ids;
    for (int i = 0; i < 6; ++i) {
        ids.append(h.nextTrId());
        QVERIFY(h.feed(VfsMirkCommandWriter::hashFileRequest(ids.last(), 0x01, handle, 2,
                                                              kGatedBlockSize, 0)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(g_waiting.load(), 1, 10000); // one of them works on the file now
    // Another user of the pool still gets a thread while the file is busy.
    QVERIFY(poolServesOthers());

    openGate();
    for (const quint16 id : ids) {
        QVERIFY(h.awaitReply(VfsMirkCommand::HashFile, id));
        QCOMPARE(h.reply->status, quint8(FSO_STATUS_OK));
        QCOMPARE(h.reply->count, quint16(2));
    }
    QCOMPARE(g_waiting.load(), 0);
}

void TestVfsServerPool::listingPagesLeaveThePoolFree()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path() + QLatin1String(kGatedName), "g"));
    SmallPool pool(4);

    ServerHarness h(VfsServerVelm::Unrestricted);
    VfsMirkFieldMask fields;
    fields.set(0, 0x7FB);
    QList<quint16> ids;
    for (int i = 0; i < 6; ++i) {
        ids.append(h.nextTrId());
        QCOMPARE(h.call(VfsMirkCommandWriter::listDirectoryRequest(ids.last(), 0, fields,
                                                                   QFile::encodeName(dir.path()))),
                 quint8(FSO_STATUS_OK));
    }
    closeGate();
    OpenAtEnd openAtEnd;
    for (const quint16 id : ids)
        QVERIFY(h.feed(VfsMirkCommandWriter::queryListDirectoryRequest(id, 0)));
    QTRY_VERIFY_WITH_TIMEOUT(g_waiting.load() >= 1, 10000);
    QVERIFY(poolServesOthers());

    openGate();
    for (const quint16 id : ids) {
        QVERIFY(h.awaitReply(VfsMirkCommand::QueryListDirectory, id));
        QCOMPARE(h.reply->status, quint8(FSO_STATUS_COMPLETE));
        QCOMPARE(h.reply->count, quint16(1));
    }
}

QTEST_GUILESS_MAIN(TestVfsServerPool)
#include "tst_vfsserverpool.moc"
