// Thumbnails through the Filer: a Filer in icon view (offscreen, shown)
// goes to a folder of generated JPEG photographs of the own machine, served
// through the in-process link from a thread of its own; its icon delegate
// asks the file model for the pictures it paints, and the model's preview
// queue has the image loader (with its database cache) make them on the
// thread pool. The view is then scrolled down a page at a time, each page
// once its thumbnails are all there.
//
// Before the page walk, the view jumps to the middle of the folder, as a
// user dragging the scroll bar would, and back to the top once that
// screen has all its thumbnails.
//
// Prints, for a first run (empty cache) and a second run on a new model
// (the database cache filled): the time until every file is listed, until
// the first screen has all its thumbnails, from the jump until the screen in
// the middle has all its thumbnails, until every file has had its thumbnail, and the longest stall of the window's thread (the largest
// lateness of a 1 ms timer) while the folder was listed and while the
// thumbnails came, with the slowest single event of the latter and what
// received it. Figures only.
//
// Options: --files 2000 --size 1600x1200 --window 1200x800.
#include "benchpeer.h"
#include "benchutil.h"
#include "stallmeter.h"
#include "timingapplication.h"
#include "core/databasesqlite.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "imaging/imageloader.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/loopback/vfsloopbacklink.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/server/vfsservervelm.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QPainter>
#include <QQmlEngine>
#include <QScrollBar>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent>
#include <QtQml>

#include <algorithm>
#include <cstdio>

namespace {

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

struct Run
{
    bool ok = false;
    int thumbnails = 0;
    int firstScreenRows = 0;
    int pages = 0;
    double listedMs = -1;
    double firstScreenMs = -1;
    int jumpRows = 0;
    double jumpMs = -1;
    double allMs = -1;
    double listingStallMs = 0; // while the folder is listed and first laid out
    double stallMs = 0;        // while the thumbnails come
    double slowest = 0;
    QString slowestWhat;
};

// The rows of the view's root that the viewport shows now.
QList<QPersistentModelIndex> visibleRows(QAbstractItemView* view)
{
    QList<QPersistentModelIndex> rows;
    const QRect area = view->viewport()->rect();
    QAbstractItemModel* model = view->model();
    for (int r = 0; r < model->rowCount(view->rootIndex()); ++r) {
        const QModelIndex index = model->index(r, 0, view->rootIndex());
        if (view->visualRect(index).intersects(area))
            rows << index;
    }
    return rows;
}

Run browse(TimingApplication& app, QQmlEngine* engine, const QString& photos, int files, const QSize& windowSize)
{
    Run run;
    LoopbackMachine machine;
    BenchPeer* peer = machine.peer;
    VfsModel* model = machine.model();

    const QString parent = QFileInfo(photos).path();
    model->resolvePath(parent, true);
    bench::waitFor([&] { return model->indexForPath(parent).isValid(); }, 60000);
    bench::waitFor([&] { return !model->isBusy(model->indexForPath(parent)); }, 60000);

    // A thumbnail has come when the model announces the row with its picture.
    QSet<QString> done;
    QObject context;
    QObject::connect(model, &QAbstractItemModel::dataChanged, &context,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         for (int r = from.row(); r <= to.row(); ++r) {
                             const QModelIndex index = from.sibling(r, 0);
                             if (index.parent().data(VfsModel::PathRole).toString() == photos
                                 && index.data(VfsModel::PreviewRole).isValid())
                                 done.insert(index.data(VfsModel::NameRole).toString());
                         }
                     });
    auto haveAll = [&](const QList<QPersistentModelIndex>& rows) {
        for (const QPersistentModelIndex& index : rows) {
            if (index.isValid() && !done.contains(index.data(VfsModel::NameRole).toString()))
                return false;
        }
        return true;
    };

    {
        FilerHub hub;
        Filer filer(engine, nullptr, &hub);
        filer.resize(windowSize);
        filer.setViewMode(Filer::ViewIcons);
        filer.setPeer(peer);
        filer.show();
        QCoreApplication::processEvents();

        StallMeter meter;
        QElapsedTimer clock;
        meter.start();
        app.measure(true);
        clock.start();
        filer.gotoPath(photos);
        QAbstractItemView* view = filer.currentView();
        run.ok = bench::waitFor(
            [&] {
                return filer.path() == photos && view->model()->rowCount(view->rootIndex()) == files
                       && !model->isBusy(model->indexForPath(photos));
            },
            3600000);
        run.listedMs = clock.nsecsElapsed() / 1e6;
        // The first layout of the listed rows is still the listing's.
        bench::waitFor([&] { return clock.nsecsElapsed() / 1e6 > run.listedMs + 100; }, 1000);
        run.listingStallMs = meter.longest;
        meter.longest = 0;
        app.measure(true);
        if (run.ok) {
            const QList<QPersistentModelIndex> first = visibleRows(view);
            run.firstScreenRows = first.size();
            run.ok = bench::waitFor([&] { return haveAll(first); }, 3600000);
            run.firstScreenMs = clock.nsecsElapsed() / 1e6;
        }
        QScrollBar* bar = view->verticalScrollBar();
        if (run.ok) {
            QElapsedTimer jump;
            jump.start();
            bar->setValue(bar->maximum() / 2);
            const QList<QPersistentModelIndex> middle = visibleRows(view);
            run.jumpRows = middle.size();
            run.ok = bench::waitFor([&] { return haveAll(middle); }, 3600000);
            run.jumpMs = jump.nsecsElapsed() / 1e6;
            bar->setValue(0);
        }
        while (run.ok && int(done.size()) < files) {
            const int before = bar->value();
            bar->setValue(before + bar->pageStep());
            ++run.pages;
            const QList<QPersistentModelIndex> page = visibleRows(view);
            run.ok = bench::waitFor([&] { return haveAll(page); }, 3600000);
            if (bar->value() == before)
                break; // at the end
        }
        run.allMs = clock.nsecsElapsed() / 1e6;
        run.thumbnails = done.size();
        run.ok = run.ok && run.thumbnails == files;
        meter.stop();
        app.measure(false);
        run.stallMs = meter.longest;
        run.slowest = app.slowest;
        run.slowestWhat = app.slowestWhat;
    }
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    TimingApplication app(argc, argv);
    QCommandLineParser options;
    options.addOption({ "files", "Photographs in the folder.", "count", "2000" });
    options.addOption({ "size", "Size of each photograph.", "WxH", "1600x1200" });
    options.addOption({ "window", "Size of the Filer.", "WxH", "1200x800" });
    options.process(app);
    const int files = options.value("files").toInt();
    const QSize size = parseSize(options.value("size"));
    const QSize windowSize = parseSize(options.value("window"));

    QTemporaryDir dir;
    if (!dir.isValid() || files < 1 || size.isEmpty() || windowSize.isEmpty()) {
        std::fprintf(stderr, "no temporary directory or bad options\n");
        return 1;
    }
    const QString photos = dir.filePath(QStringLiteral("photos"));
    QDir().mkpath(photos);
    QElapsedTimer setup;
    setup.start();
    QList<int> numbers;
    for (int i = 0; i < files; ++i)
        numbers << i;
    const QList<bool> written = QtConcurrent::blockingMapped(numbers, std::function<bool(const int&)>([&](const int& i) {
        return makePhoto(QStringLiteral("%1/photo-%2.jpg").arg(photos).arg(i, 5, 10, QLatin1Char('0')), size, i);
    }));
    if (written.contains(false)) {
        std::fprintf(stderr, "cannot write the photographs\n");
        return 1;
    }
    std::printf("%d photographs of %dx%d made in %.1f s; Filer %dx%d in icon view; %d pool threads\n", files,
                size.width(), size.height(), setup.elapsed() / 1000.0, windowSize.width(), windowSize.height(),
                QThreadPool::globalInstance()->maxThreadCount());

    VfsModelFactory::install();
    PeerModel peers;
    qmlRegisterType<IPeer>("com.orvanti.mirk", 1, 0, "Peer");
    QQmlEngine engine;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    db.putPeer(PeerDto{ ownPeerUuid(), QStringLiteral("velm"), QDateTime::currentDateTime() });
    ImageLoader loader(&db, true);

    std::printf("%8s %10s %14s %18s %18s %14s %8s %12s %10s\n", "run", "listed ms", "list stall ms",
                "first screen ms", "middle screen ms", "all ms", "pages", "thumbnails", "stall ms");
    std::fflush(stdout);
    int failures = 0;
    for (const char* name : { "cold", "cached" }) {
        const Run run = browse(app, &engine, photos, files, windowSize);
        failures += run.ok ? 0 : 1;
        std::printf("%8s %10.0f %14.1f %11.0f (%3d) %11.0f (%3d) %14.0f %8d %12d %10.1f%s\n", name, run.listedMs,
                    run.listingStallMs, run.firstScreenMs, run.firstScreenRows, run.jumpMs, run.jumpRows, run.allMs,
                    run.pages, run.thumbnails, run.stallMs, run.ok ? "" : "  (FAILED)");
        std::printf("%9s slowest event while the thumbnails came %.1f ms: %s\n", "", run.slowest,
                    qPrintable(run.slowestWhat));
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
