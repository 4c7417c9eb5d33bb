// The file-system server runs its file work on the process-wide thread pool,
// which every other part of the program shares. A peer that queues many
// requests on one file must not take the pool's threads only to have them
// wait for that file. The reads of the hash blocks here (an unusual block
// size marks them) wait at a gate this program puts in front of the C
// library's pread(), so that the test decides when the work may go on.
#include "vfsservertestutil.h"

#include "fsostatus.h"

#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <dlfcn.h>
#include <memory>
#include <mutex>
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

class TestVfsServerPool : public QObject
{
    Q_OBJECT
private slots:
    void requestsOnOneFileLeaveThePoolFree();
};

void TestVfsServerPool::requestsOnOneFileLeaveThePoolFree()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.path() + QStringLiteral("/big");
    QVERIFY(writeFile(file, QByteArray(100 * 1000, 'b')));

    QThreadPool* pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(3);
    struct Restore
    {
        QThreadPool* pool;
        int threads;
        ~Restore()
        {
            openGate();
            pool->waitForDone();
            pool->setMaxThreadCount(threads);
        }
    } restore{ pool, threads };

    ServerHarness h(VfsServerVelm::Unrestricted);
    quint16 handle = 0;
    QCOMPARE(h.open(QFile::encodeName(file), VfsMirkCommand::OpenRead, &handle), quint8(0));

    closeGate();
    struct OpenAtEnd // before the server goes, which waits for its workers
    {
        ~OpenAtEnd() { openGate(); }
    } openAtEnd;
    QList<quint16> ids;
    for (int i = 0; i < 6; ++i) {
        ids.append(h.nextTrId());
        QVERIFY(h.feed(VfsMirkCommandWriter::hashFileRequest(ids.last(), 0x01, handle, 2,
                                                              kGatedBlockSize, 0)));
    }
    QTRY_COMPARE(g_waiting.load(), 1); // one of them works on the file now
    // Another user of the pool still gets a thread while the file is busy.
    auto probed = std::make_shared<std::atomic<bool>>(false);
    QtConcurrent::run(pool, [probed] { *probed = true; });
    QTRY_VERIFY_WITH_TIMEOUT(probed->load(), 10000);

    openGate();
    for (const quint16 id : ids) {
        QVERIFY(h.awaitReply(VfsMirkCommand::HashFile, id));
        QCOMPARE(h.reply->status, quint8(FSO_STATUS_OK));
        QCOMPARE(h.reply->count, quint16(2));
    }
    QCOMPARE(g_waiting.load(), 0);
}

QTEST_GUILESS_MAIN(TestVfsServerPool)
#include "tst_vfsserverpool.moc"
