// Prints, for the copy job between two machines joined by the in-process
// link (each machine a temporary directory with its own file-system server
// and client): the throughput of a fresh copy of one large file, the bytes
// on the wire and the time when the same file is copied again after a few
// small spots of it changed, and the rate of a copy of many small files.
// Bytes on the wire are the protocol frames of both links, both ways.
// Figures only.
//
// Options: --bytes N (the large file), --spots N, --spot-size N,
// --files N, --file-size N, --delay MS (added to every answer).
#include "benchutil.h"
#include "peer/ipeer.h"
#include "vfs/client/vfsclientvelm.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfscopyjob.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/server/vfsservervelm.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QUuid>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

using bench::makeEntries;
using bench::waitFor;

class BenchPeer : public IPeer
{
public:
    explicit BenchPeer(VfsClient* client) : m_client(client)
    {
        setId(QUuid::createUuid().toString());
        setLinkState(LinkUp);
    }
    VfsClient* vfsClient() const override { return m_client; }

private:
    VfsClient* m_client;
};

struct Machine
{
    explicit Machine(int delay) : server(VfsServerVelm::Unrestricted), link(&client, &server), peer(&client)
    {
        link.setDelay(delay);
        QObject::connect(&client, &VfsClientVelm::fsoTransmit,
                         [this](const QByteArray& frame) { wire += quint64(frame.size()); });
        QObject::connect(&server, &VfsServerVelm::fsoTransmit,
                         [this](const QByteArray& frame) { wire += quint64(frame.size()); });
    }
    ~Machine() { QThreadPool::globalInstance()->waitForDone(); }

    QString path(const QString& relative) const { return dir.filePath(relative); }

    QTemporaryDir dir;
    VfsServerVelm server;
    VfsClientVelm client;
    VfsLoopbackLink link;
    BenchPeer peer;
    quint64 wire = 0;
};

void fill(QByteArray& data, quint32 seed)
{
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < data.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
}

bool writeFile(const QString& path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += chunk.size()) {
        fill(chunk, seed++);
        const qint64 part = std::min<qint64>(chunk.size(), size - done);
        if (file.write(chunk.constData(), part) != part)
            return false;
    }
    return true;
}

bool sameContent(const QString& a, const QString& b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    }
    return true;
}

VfsCopyItem itemFor(const QString& path)
{
    const QFileInfo info(path);
    VfsCopyItem item;
    item.path = path;
    item.type = info.isDir() ? VfsCopyItem::TypeDirectory : VfsCopyItem::TypeFile;
    item.size = info.isFile() ? quint64(info.size()) : 0;
    item.atime = info.lastRead().toMSecsSinceEpoch();
    item.mtime = info.lastModified().toMSecsSinceEpoch();
    return item;
}

struct Result
{
    bool ok = false;
    double seconds = 0;
    quint64 wire = 0;
    int retries = 0;
};

Result copy(Machine& source, Machine& destination, const QString& path, const QString& to)
{
    VfsCopyDto request;
    request.id = QUuid::createUuid().toString();
    request.srcPeerUuid = source.peer.id();
    request.dstPeerUuid = destination.peer.id();
    request.overwriteAll = 1;
    request.entries.push_back(itemFor(path));
    request.dstPath = to;

    Result result;
    auto* job = new VfsCopyJob(request);
    job->setPeers(&source.peer, &destination.peer);
    bool finished = false, aborted = false;
    QObject::connect(job, &VfsCopyJob::jobFinished, [&] {
        finished = true;
        result.retries = job->retryCount();
    });
    QObject::connect(job, &VfsCopyJob::jobAborted, [&] { aborted = true; });
    QPointer<VfsCopyJob> alive(job);
    const quint64 wireBefore = source.wire + destination.wire;
    QElapsedTimer timer;
    timer.start();
    job->start();
    waitFor([&] { return finished || aborted; }, 3600000);
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.wire = source.wire + destination.wire - wireBefore;
    result.ok = finished;
    waitFor([&] { return alive.isNull(); }, 60000); // it deletes itself
    delete alive.data();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser options;
    options.addOption({"bytes", "Size of the large file.", "n", QString::number(256ull << 20)});
    options.addOption({"spots", "Changed spots of the second copy.", "n", "10"});
    options.addOption({"spot-size", "Bytes of each changed spot.", "n", "4096"});
    options.addOption({"files", "Small files.", "n", "2000"});
    options.addOption({"file-size", "Size of each small file.", "n", "4096"});
    options.addOption({"delay", "Added to every answer, ms.", "ms", "0"});
    options.process(app);
    const qint64 bytes = options.value("bytes").toLongLong();
    const int spots = options.value("spots").toInt();
    const int spotSize = options.value("spot-size").toInt();
    const int files = options.value("files").toInt();
    const int fileSize = options.value("file-size").toInt();
    const int delay = options.value("delay").toInt();

    Machine source(delay), destination(delay);
    if (!source.dir.isValid() || !destination.dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    const QString big = source.path("big.bin");
    const QString many = source.path("many");
    QElapsedTimer setup;
    setup.start();
    bool prepared = writeFile(big, bytes, 1) && QDir().mkpath(many)
        && QDir().mkpath(destination.path("dest"));
    for (int i = 0; prepared && i < files; ++i)
        prepared = writeFile(many + QStringLiteral("/file-%1.bin").arg(i), fileSize, quint32(100 + i));
    if (!prepared) {
        std::fprintf(stderr, "cannot prepare %s\n", qPrintable(source.dir.path()));
        return 1;
    }
    std::printf("set-up: %lld bytes and %d files of %d bytes in %s (%.1f s), answers delayed %d ms\n",
                static_cast<long long>(bytes), files, fileSize, qPrintable(source.dir.path()),
                setup.elapsed() / 1000.0, delay);

    const QString copied = destination.path("dest/big.bin");
    const Result fresh = copy(source, destination, big, destination.path("dest"));
    const bool freshSame = fresh.ok && sameContent(big, copied);
    std::printf("fresh copy:       %s, %.2f s, %.1f MB/s, %.1f MB on the wire, %d restarts\n",
                freshSame ? "ok" : "FAILED", fresh.seconds, bytes / 1e6 / fresh.seconds,
                fresh.wire / 1e6, fresh.retries);

    {
        QFile file(big);
        if (!file.open(QIODevice::ReadWrite))
            return 1;
        QByteArray spot(spotSize, Qt::Uninitialized);
        for (int i = 0; i < spots; ++i) {
            fill(spot, quint32(9000 + i));
            file.seek(qint64(double(bytes - spotSize) * (i + 0.5) / spots));
            file.write(spot);
        }
    }
    const Result again = copy(source, destination, big, destination.path("dest"));
    const bool againSame = again.ok && sameContent(big, copied);
    std::printf("%d changed spots: %s, %.2f s, %.2f MB on the wire (%.3f%% of the file), %d restarts\n",
                spots, againSame ? "ok" : "FAILED", again.seconds, again.wire / 1e6,
                100.0 * double(again.wire) / double(bytes), again.retries);

    const Result small = copy(source, destination, many, destination.path("dest"));
    const bool smallSame =
        small.ok && QDir(destination.path("dest/many")).entryList(QDir::Files).size() == files;
    std::printf("%d small files:  %s, %.2f s, %.0f files/s, %.1f MB on the wire, %d restarts\n", files,
                smallSame ? "ok" : "FAILED", small.seconds, files / small.seconds, small.wire / 1e6,
                small.retries);
    return freshSame && againSame && smallSame ? 0 : 2;
}
