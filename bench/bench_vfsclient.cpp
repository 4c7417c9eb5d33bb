// Prints, for the file-system client and the own machine's server joined by
// the in-process link at 0, 1 and 20 ms round trip: the time to list a
// directory of 100,000 entries, and the READ_FILE throughput of a 1 GiB file
// read with 12 reads in flight. The directory and the (sparse) file live in
// a temporary directory that is removed at the end. Figures only.
//
// Options: --entries N, --bytes N, --delays 0,1,20, --in-flight N.
#include "benchutil.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/server/vfsservervelm.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using bench::makeEntries;
using bench::waitFor;

using C = VfsMirkCommand;

struct ListResult
{
    bool ok = false;
    size_t entries = 0;
    double ms = 0;
};

ListResult listDirectory(VfsClientVelm& client, const QString& path)
{
    ListResult result;
    VfsListDirectoryJob job;
    job.path = path;
    bool finished = false;
    QObject context;
    QObject::connect(&client, &VfsClient::listDirectoryUpdate, &context,
                     [&](VfsListDirectoryJob*) { finished = true; });
    QElapsedTimer timer;
    timer.start();
    client.listDirectory(&job);
    if (!waitFor([&] { return finished; }, 600000))
        return result;
    result.ms = timer.nsecsElapsed() / 1e6;
    result.ok = job.jobStatus == VfsClientJob::JobFinished;
    result.entries = job.entries.size();
    return result;
}

struct ReadResult
{
    bool ok = false;
    quint64 bytes = 0;
    double seconds = 0;
};

ReadResult readFile(VfsClientVelm& client, const QString& path, quint64 size, int inFlight)
{
    ReadResult result;
    QObject context;

    VfsOpenFileJob open;
    open.flags = C::OpenRead;
    open.path = path;
    bool opened = false;
    QObject::connect(&client, &VfsClient::openFileUpdate, &context,
                     [&](VfsOpenFileJob*) { opened = true; });
    client.openFile(&open);
    if (!waitFor([&] { return opened; }, 60000) || open.status != FSO_STATUS_OK)
        return result;

    std::vector<std::unique_ptr<VfsReadFileJob>> jobs;
    quint64 next = 0;
    int busy = 0;
    bool failed = false;
    auto issue = [&](VfsReadFileJob* job) {
        if (failed || next >= size)
            return;
        job->handle = open.handle;
        job->offset = next;
        job->size = VfsReadFileJob::MaxData;
        next += VfsReadFileJob::MaxData;
        ++busy;
        client.readFile(job);
    };
    QObject::connect(&client, &VfsClient::readFileUpdate, &context,
                     [&](VfsReadFileJob* job) {
                         --busy;
                         if (job->jobStatus != VfsClientJob::JobFinished
                             || (job->status != FSO_STATUS_OK
                                 && job->status != FSO_STATUS_END_OF_FILE)) {
                             failed = true;
                             return;
                         }
                         result.bytes += job->length;
                         issue(job);
                     });
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < inFlight; ++i) {
        jobs.emplace_back(new VfsReadFileJob());
        issue(jobs.back().get());
    }
    if (!waitFor([&] { return busy == 0; }, 3600000))
        return result;
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.ok = !failed && result.bytes == size;

    VfsCloseFileJob close;
    close.handle = open.handle;
    bool closed = false;
    QObject::connect(&client, &VfsClient::closeFileUpdate, &context,
                     [&](VfsCloseFileJob*) { closed = true; });
    client.closeFile(&close);
    waitFor([&] { return closed; }, 60000);
    return result;
}

QList<int> parseDelays(const QString& text)
{
    QList<int> delays;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        delays << part.toInt();
    return delays;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser options;
    options.addOption({"entries", "Entries of the listed directory.", "n", "100000"});
    options.addOption({"bytes", "Size of the read file.", "n", QString::number(1ull << 30)});
    options.addOption({"delays", "Round trips to measure, ms.", "list", "0,1,20"});
    options.addOption({"in-flight", "Reads in flight.", "n", "12"});
    options.process(app);
    const int entries = options.value("entries").toInt();
    const quint64 bytes = options.value("bytes").toULongLong();
    const int inFlight = options.value("in-flight").toInt();
    const QList<int> delays = parseDelays(options.value("delays"));

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    const QString listed = dir.filePath("listed");
    const QString file = dir.filePath("big.bin");
    QElapsedTimer setup;
    setup.start();
    {
        QFile sparse(file);
        if (!QDir().mkdir(listed) || !makeEntries(listed, entries)
            || !sparse.open(QIODevice::WriteOnly) || !sparse.resize(qint64(bytes))) {
            std::fprintf(stderr, "cannot prepare %s\n", qPrintable(dir.path()));
            return 1;
        }
    }
    std::printf("set-up: %d entries and a sparse file of %llu bytes in %s (%.1f s)\n", entries,
                static_cast<unsigned long long>(bytes), qPrintable(dir.path()),
                setup.elapsed() / 1000.0);
    std::printf("%-8s %-28s %-34s\n", "delay", "list directory", "read file");
    std::fflush(stdout);

    int failures = 0;
    for (const int delay : delays) {
        VfsServerVelm server(VfsServerVelm::Unrestricted);
        VfsClientVelm client;
        VfsLoopbackLink link(&client, &server);
        link.setDelay(delay);

        const ListResult list = listDirectory(client, listed);
        const ReadResult read = readFile(client, file, bytes, inFlight);
        failures += (list.ok ? 0 : 1) + (read.ok ? 0 : 1);
        std::printf("%3d ms   %8zu entries %9.1f ms   %6.2f GB in %7.2f s = %8.1f MB/s%s\n",
                    delay, list.entries, list.ms, read.bytes / 1e9, read.seconds,
                    read.seconds > 0 ? read.bytes / 1e6 / read.seconds : 0.0,
                    list.ok && read.ok ? "" : "  (FAILED)");
        std::fflush(stdout);
        QThreadPool::globalInstance()->waitForDone();
    }
    std::printf("%d reads of up to %d bytes in flight; 1 MB = 10^6 bytes\n", inFlight,
                int(VfsReadFileJob::MaxData));
    return failures ? 1 : 0;
}
