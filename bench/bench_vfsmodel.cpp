// Prints, for a directory listed from the own machine's file-system server
// through the in-process link (0 and 20 ms round trip) into the file model:
// the time until the client has the last page, the time until the model
// holds the last row, the slices the merge took and the longest of them,
// and the peak resident memory of the run (VmHWM, reset before each run).
// The directories live in a temporary directory that is removed at the end.
// Figures only.
//
// Options: --entries 10000,100000 --delays 0,20.
#include "benchutil.h"
#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/server/vfsservervelm.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

using bench::makeEntries;
using bench::waitFor;

// Times every delivery of the timer event that runs one merge slice.
class TimingApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (!watched || receiver != watched || event->type() != QEvent::Timer)
            return QCoreApplication::notify(receiver, event);
        QElapsedTimer timer;
        timer.start();
        const bool done = QCoreApplication::notify(receiver, event);
        const double ms = timer.nsecsElapsed() / 1e6;
        longest = std::max(longest, ms);
        total += ms;
        ++slices;
        return done;
    }

    QObject* watched = nullptr;
    double longest = 0;
    double total = 0;
    int slices = 0;
};

class BenchPeer : public IPeer
{
public:
    PeerDto identity() const override { return PeerDto{ownPeerUuid(), QStringLiteral("velm"), QDateTime()}; }
    VfsClient* vfsClient() const override { return client; }
    VfsClient* client = nullptr;
};

long statusKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Makes the peak resident size start again from the current one.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

QList<int> parseList(const QString& text)
{
    QList<int> out;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out << part.toInt();
    return out;
}

struct Run
{
    bool ok = false;
    int rows = 0;
    double lastPageMs = 0;
    double lastRowMs = 0;
};

Run listInto(TimingApplication& app, const QString& path, int delay)
{
    Run run;
    VfsServerVelm server(VfsServerVelm::Unrestricted);
    VfsClientVelm client;
    VfsLoopbackLink link(&client, &server);
    link.setDelay(delay);
    DriveCache drive;
    drive.rootPath = QFile::encodeName(path);
    drive.name = "bench";
    drive.bytesTotal = 1000000000;
    server.setDriveSource([drive] { return std::vector<DriveCache>{drive}; });

    BenchPeer peer;
    peer.client = &client;
    VfsModelFactory::instance()->connectClient(&peer, &client);
    peer.setLinkState(IPeer::LinkUp);
    auto* model = qobject_cast<VfsModel*>(peer.vfsFileSystemModel());
    model->fetchMore(QModelIndex());
    if (!waitFor([&] { return model->rowCount() == 2; }, 60000))
        return run;
    const QPersistentModelIndex listed = model->index(1, 0);

    QElapsedTimer clock;
    QObject context;
    QObject::connect(&client, &VfsClient::listDirectoryUpdate, &context,
                     [&](VfsListDirectoryJob*) { run.lastPageMs = clock.nsecsElapsed() / 1e6; });
    app.watched = model->findChild<QTimer*>(QStringLiteral("vfsModelCheckTimer"));
    app.longest = app.total = 0;
    app.slices = 0;
    clock.start();
    model->fetchMore(listed);
    run.ok = waitFor([&] { return !model->isBusy(listed); }, 3600000);
    run.lastRowMs = clock.nsecsElapsed() / 1e6;
    app.watched = nullptr;
    run.rows = model->rowCount(listed);
    QThreadPool::globalInstance()->waitForDone();
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    TimingApplication app(argc, argv);
    QCommandLineParser options;
    options.addOption({"entries", "Entries of the listed directories.", "list", "10000,100000"});
    options.addOption({"delays", "Round trips to measure, ms.", "list", "0,20"});
    options.process(app);
    const QList<int> counts = parseList(options.value("entries"));
    const QList<int> delays = parseList(options.value("delays"));
    VfsModelFactory::install();

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }
    QElapsedTimer setup;
    setup.start();
    for (int count : counts) {
        const QString listed = dir.filePath(QStringLiteral("listed-%1").arg(count));
        if (!QDir().mkdir(listed) || !makeEntries(listed, count)) {
            std::fprintf(stderr, "cannot prepare %s\n", qPrintable(listed));
            return 1;
        }
    }
    std::printf("set-up in %s (%.1f s); merge slices of %d entries\n", qPrintable(dir.path()),
                setup.elapsed() / 1000.0, VfsModel::MergeSliceSize);
    std::printf("%8s %6s %14s %14s %8s %14s %14s %12s\n", "entries", "delay", "last page ms", "last row ms",
                "slices", "merge ms", "longest ms", "VmHWM kB");
    std::fflush(stdout);

    int failures = 0;
    for (int count : counts) {
        for (int delay : delays) {
            resetPeak();
            const Run run = listInto(app, dir.filePath(QStringLiteral("listed-%1").arg(count)), delay);
            const bool ok = run.ok && run.rows == count;
            failures += ok ? 0 : 1;
            std::printf("%8d %3d ms %14.1f %14.1f %8d %14.1f %14.2f %12ld%s\n", count, delay, run.lastPageMs,
                        run.lastRowMs, app.slices, app.total, app.longest, statusKb("VmHWM"),
                        ok ? "" : "  (FAILED)");
            std::fflush(stdout);
        }
    }
    return failures ? 1 : 0;
}
