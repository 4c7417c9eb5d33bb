// Thumbnails of a folder of generated JPEG photographs, as the icon view
// asks for them: the own machine's folder is listed through the in-process
// link into the file model, every row is asked for its picture, and the
// model's preview queue has the image loader (with its database cache)
// make them on the thread pool. Prints, for a first run (empty cache) and a
// second (cached): the time until every file has its thumbnail, the longest
// the main thread was busy with one event (a stall of the view), and the
// times another in-process peer needed meanwhile to list a folder of the
// same machine (median and longest), against the same listing on an idle
// machine. Figures only.
//
// The Filer is not part of this measurement: the model is driven as the
// icon view drives it (every row asked for Qt::DecorationRole at once).
//
// Options: --files 2000 --size 1600x1200 --listing 2000.
#include "benchutil.h"
#include "core/databasesqlite.h"
#include "imaging/imageloader.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/client/vfslistdirectoryjob.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/server/vfsservervelm.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>
#include <QSet>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cstdio>

namespace {

using bench::makeEntries;
using bench::waitFor;

// Times every event the main thread handles at the outermost level.
class TimingApplication : public QGuiApplication
{
public:
    using QGuiApplication::QGuiApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (depth > 0 || !measuring)
            return QGuiApplication::notify(receiver, event);
        ++depth;
        QElapsedTimer timer;
        timer.start();
        const QByteArray what = QByteArray(receiver->metaObject()->className()) + '('
                                + receiver->objectName().toUtf8() + ")/" + QByteArray::number(int(event->type()));
        const bool done = QGuiApplication::notify(receiver, event);
        const double ms = timer.nsecsElapsed() / 1e6;
        if (ms > longest) {
            longest = ms;
            longestWhat = what;
        }
        --depth;
        return done;
    }

    bool measuring = false;
    int depth = 0;
    double longest = 0;
    QByteArray longestWhat; // receiver class / event type of the longest
};

class BenchPeer : public IPeer
{
public:
    PeerDto identity() const override { return PeerDto{ownPeerUuid(), QStringLiteral("velm"), QDateTime()}; }
    VfsClient* vfsClient() const override { return client; }
    VfsClient* client = nullptr;
};

QSize parseSize(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    return parts.size() == 2 ? QSize(parts[0].toInt(), parts[1].toInt()) : QSize();
}

bool makePhoto(const QString& path, const QSize& size, int seed)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(seed * 37 % 360, 160, 200));
    QPainter painter(&image);
    for (int i = 0; i < 12; ++i) {
        painter.fillRect(QRect((seed * 13 + i * 97) % size.width(), (seed * 7 + i * 61) % size.height(),
                               size.width() / 5, size.height() / 6),
                         QColor::fromHsv((seed * 11 + i * 29) % 360, 200, 150 + i * 8));
    }
    painter.end();
    QImageWriter writer(path, "jpeg");
    writer.setQuality(85);
    return writer.write(image);
}

// The other peer lists a folder of this machine, again and again, through a
// server of its own on the same thread pool.
class Lister
{
public:
    explicit Lister(const QString& root) : link(&client, &server)
    {
        DriveCache drive;
        drive.rootPath = QFile::encodeName(root);
        drive.name = "peer";
        drive.bytesTotal = 1000000000;
        server.setDriveSource([drive] { return std::vector<DriveCache>{drive}; });
        QObject::connect(&client, &VfsClient::listDirectoryUpdate, &context, [this](VfsListDirectoryJob* j) {
            if (j != job.get())
                return;
            times.push_back(clock.nsecsElapsed() / 1e6);
            job.reset();
            if (running)
                QTimer::singleShot(50, &context, [this] { next(); });
        });
    }

    void start(const QString& path)
    {
        listed = path;
        running = true;
        times.clear();
        next();
    }
    void stop() { running = false; }
    bool idle() const { return !job; }

    std::vector<double> times;

private:
    void next()
    {
        if (!running || job)
            return;
        job.reset(new VfsListDirectoryJob);
        job->path = listed;
        clock.start();
        client.listDirectory(job.get());
    }

    VfsServerVelm server{VfsServerVelm::Unrestricted};
    VfsClientVelm client;
    VfsLoopbackLink link;
    QObject context;
    std::unique_ptr<VfsListDirectoryJob> job;
    QElapsedTimer clock;
    QString listed;
    bool running = false;
};

struct Run
{
    bool ok = false;
    int thumbnails = 0;
    double allMs = 0;
    double longestStallMs = 0;
    QByteArray longestWhat;
};

Run thumbnails(TimingApplication& app, const QString& photos, int files, Lister& lister, const QString& listed)
{
    Run run;
    VfsServerVelm server(VfsServerVelm::Unrestricted);
    VfsClientVelm client;
    VfsLoopbackLink link(&client, &server);
    // The machine's root drive, as the own peer serves it.
    DriveCache drive;
    drive.rootPath = "/";
    drive.name = "/";
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
    int resolved = -1;
    QObject resolving;
    QObject::connect(model, &VfsModel::pathResolved, &resolving, [&](int status, const QString& path) {
        if (path == photos)
            resolved = status;
    });
    model->resolvePath(photos);
    if (!waitFor([&] { return resolved >= 0; }, 60000) || resolved != 0)
        return run;
    const QPersistentModelIndex dir = model->indexForPath(photos);
    if (!dir.isValid())
        return run;
    if (model->canFetchMore(dir))
        model->fetchMore(dir);
    if (!waitFor([&] { return !model->isBusy(dir) && model->rowCount(dir) == files; }, 600000))
        return run;
    model->retainEntry(model->pathForIndex(dir)); // on screen

    QSet<int> done;
    QObject context;
    QObject::connect(model, &QAbstractItemModel::dataChanged, &context,
                     [&](const QModelIndex& from, const QModelIndex&) {
                         if (from.parent() == dir && from.data(VfsModel::PreviewRole).isValid())
                             done.insert(from.row());
                     });
    lister.start(listed);
    app.longest = 0;
    app.measuring = true;
    QElapsedTimer clock;
    clock.start();
    // The icon view asks each row for its picture as it lays it out.
    for (int r = 0; r < files; ++r)
        model->index(r, 0, dir).data(Qt::DecorationRole);
    run.ok = waitFor([&] { return done.size() == files; }, 3600000);
    run.allMs = clock.nsecsElapsed() / 1e6;
    app.measuring = false;
    run.longestStallMs = app.longest;
    run.longestWhat = app.longestWhat;
    run.thumbnails = done.size();
    lister.stop();
    waitFor([&] { return lister.idle(); }, 60000);
    model->releaseEntry(model->pathForIndex(dir));
    QThreadPool::globalInstance()->waitForDone();
    return run;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double longest(const std::vector<double>& v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimingApplication app(argc, argv);
    QCommandLineParser options;
    options.addOption({"files", "Photographs in the folder.", "count", "2000"});
    options.addOption({"size", "Size of each photograph.", "WxH", "1600x1200"});
    options.addOption({"listing", "Entries of the folder the other peer lists.", "count", "2000"});
    options.process(app);
    const int files = options.value("files").toInt();
    const QSize size = parseSize(options.value("size"));
    const int listingEntries = options.value("listing").toInt();
    VfsModelFactory::install();

    QTemporaryDir dir;
    if (!dir.isValid() || files < 1 || size.isEmpty()) {
        std::fprintf(stderr, "no temporary directory or bad options\n");
        return 1;
    }
    const QString photos = dir.filePath("photos");
    const QString listed = dir.filePath("listed");
    QDir().mkpath(photos);
    QDir().mkpath(listed);
    QElapsedTimer setup;
    setup.start();
    QList<int> numbers;
    for (int i = 0; i < files; ++i)
        numbers << i;
    const QList<bool> written = QtConcurrent::blockingMapped(numbers, std::function<bool(const int&)>([&](const int& i) {
        return makePhoto(QStringLiteral("%1/photo-%2.jpg").arg(photos).arg(i, 5, 10, QLatin1Char('0')), size, i);
    }));
    if (written.contains(false) || !makeEntries(listed, listingEntries)) {
        std::fprintf(stderr, "cannot write the photographs\n");
        return 1;
    }
    std::printf("%d photographs of %dx%d and %d listed entries made in %.1f s; %d pool threads\n", files,
                size.width(), size.height(), listingEntries, setup.elapsed() / 1000.0,
                QThreadPool::globalInstance()->maxThreadCount());

    DatabaseSqlite db(dir.filePath("velm.db"));
    db.putPeer(PeerDto{ownPeerUuid(), QStringLiteral("velm"), QDateTime::currentDateTime()});
    ImageLoader loader(&db, true);

    Lister lister(listed);
    lister.start(listed);
    waitFor([&] { return lister.times.size() >= 10; }, 600000);
    lister.stop();
    waitFor([&] { return lister.idle(); }, 60000);
    const std::vector<double> idle = lister.times;
    std::printf("other peer's listing of %d entries on an idle machine: median %.1f ms, longest %.1f ms\n",
                listingEntries, median(idle), longest(idle));
    std::printf("%8s %8s %14s %14s %22s %14s  %s\n", "run", "thumbs", "all ms", "stall ms", "listing median ms",
                "listing max ms", "longest event (receiver/type)");
    std::fflush(stdout);

    int failures = 0;
    for (const char* name : {"cold", "cached"}) {
        const Run run = thumbnails(app, photos, files, lister, listed);
        failures += run.ok ? 0 : 1;
        std::printf("%8s %8d %14.0f %14.1f %22.1f %14.1f  %s%s\n", name, run.thumbnails, run.allMs,
                    run.longestStallMs, median(lister.times), longest(lister.times), run.longestWhat.constData(),
                    run.ok ? "" : "  (FAILED)");
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
