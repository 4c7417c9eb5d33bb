// Prints, for a Filer (offscreen, shown) that goes to a directory of many
// entries on a peer served through the in-process link (0 and 20 ms round
// trip), in the list, column and icon modes: the time until the first row
// is shown, the time until the last row is there, and the longest stall of
// the event loop meanwhile (the largest lateness of a 1 ms timer). The
// directory lives in a temporary directory that is removed at the end.
// Figures only.
//
// Then, per mode, selecting every row in the active Filer of a pane (the
// actions, the status bar and the application launcher follow the
// selection): how long the selection change takes, the processor time of
// the window's thread in it, and the longest stall.
//
// Options: --entries 100000 --delays 0,20 --modes list,columns,icons; an
// empty --delays leaves the browsing out.
#include "benchpeer.h"
#include "benchutil.h"
#include "stallmeter.h"
#include "timingapplication.h"
#include "core/databasesqlite.h"
#include "desktop/applauncher.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "models/vfsmodel.h"
#include "models/vfsmodelfactory.h"
#include "models/vfssortfilterproxymodel.h"
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
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtQml>

#include <algorithm>
#include <cstdio>

namespace {

using bench::makeEntries;

struct Run
{
    bool ok = false;
    int rows = 0;
    double firstRowMs = -1;
    double firstSourceMs = -1;
    double lastRowMs = -1;
    double stallMs = 0;
    double slowest = 0;
    double mostCpu = 0;
    QString slowestWhat;
};

Run browse(TimingApplication& app, QQmlEngine* engine, const QString& path, int count, int delay, int mode)
{
    Run run;
    // The file-system side runs on a thread of its own, as it does on the
    // io thread of the program: what is measured is the window's thread.
    LoopbackMachine machine(delay);
    BenchPeer* peer = machine.peer;
    VfsModel* model = machine.model();

    // The parent directory is listed before the clock starts: what is
    // measured is the big directory.
    const QString parent = QFileInfo(path).path();
    model->resolvePath(parent, true);
    bench::waitFor([&] { return model->indexForPath(parent).isValid(); }, 60000);
    bench::waitFor([&] { return !model->isBusy(model->indexForPath(parent)); }, 60000);
    bench::waitFor([&] { return model->indexForPath(path).isValid(); }, 60000);

    {
        FilerHub hub;
        Filer filer(engine, nullptr, &hub);
        filer.resize(1200, 800);
        filer.setViewMode(mode);
        filer.setPeer(peer);
        filer.show();
        bench::waitFor([] { return true; }, 0);
        QCoreApplication::processEvents();

        StallMeter meter;
        QElapsedTimer clock;
        meter.start();
        app.measure(true);
        clock.start();
        filer.gotoPath(path);
        const QModelIndex source = model->indexForPath(path);
        run.ok = bench::waitFor(
            [&] {
                QAbstractItemView* view = filer.currentView();
                const int rows = filer.path() == path ? view->model()->rowCount(view->rootIndex()) : 0;
                if (model->rowCount(source) > 0 && run.firstSourceMs < 0)
                    run.firstSourceMs = clock.nsecsElapsed() / 1e6;
                if (rows > 0 && run.firstRowMs < 0)
                    run.firstRowMs = clock.nsecsElapsed() / 1e6;
                run.rows = rows;
                return rows == count && !model->isBusy(source);
            },
            3600000);
        run.lastRowMs = clock.nsecsElapsed() / 1e6;
        // A moment more, for the layout and painting of what came last.
        bench::waitFor([&] { return clock.nsecsElapsed() / 1e6 > run.lastRowMs + 300; }, 1000);
        meter.stop();
        app.measure(false);
        run.stallMs = meter.longest;
        run.slowest = app.slowest;
        run.mostCpu = app.mostCpu;
        run.slowestWhat = app.slowestWhat;
    }
    return run;
}

struct SelectRun
{
    bool ok = false;
    double selectMs = -1;
    double selectCpuMs = -1;
    double stallMs = 0;
    double slowest = 0;
    QString slowestWhat;
    QString status;
};

// Selects every row of the listed directory in the active Filer.
SelectRun selectAll(TimingApplication& app, QQmlEngine* engine, IDatabase* db, const QString& path, int count,
                    int mode)
{
    SelectRun run;
    LoopbackMachine machine(0, 500000000);
    BenchPeer* peer = machine.peer;
    {
        FilerHub hub;
        FilerPane pane(engine, db, &hub);
        hub.setActiveFilerPane(&pane);
        pane.resize(1200, 800);
        Filer* filer = pane.createFiler(1, QStringLiteral("{b0000000-0000-0000-0000-000000000001}"));
        filer->setViewMode(mode);
        filer->setPeer(peer);
        pane.show();
        filer->gotoPath(path);
        const bool listed = bench::waitFor(
            [&] {
                QAbstractItemView* view = filer->currentView();
                return filer->path() == path && view->model()->rowCount(view->rootIndex()) == count;
            },
            3600000);
        bench::waitFor([] { return false; }, 300);
        StallMeter meter;
        QElapsedTimer clock;
        meter.start();
        app.measure(true);
        clock.start();
        const double cpuStart = TimingApplication::threadCpuMs();
        filer->currentView()->selectAll();
        run.selectMs = clock.nsecsElapsed() / 1e6;
        run.selectCpuMs = TimingApplication::threadCpuMs() - cpuStart;
        bench::waitFor([&] { return clock.nsecsElapsed() / 1e6 > run.selectMs + 300; }, 1000);
        meter.stop();
        app.measure(false);
        run.stallMs = meter.longest;
        run.slowest = app.slowest;
        run.slowestWhat = app.slowestWhat;
        run.status = filer->statusMessage();
        run.ok = listed && hub.activeFiler() == filer;
    }
    return run;
}

QList<int> parseList(const QString& text)
{
    QList<int> out;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out << part.toInt();
    return out;
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
    options.addOption({ "entries", "Entries of the listed directory.", "count", "100000" });
    options.addOption({ "delays", "Round trips to measure, ms.", "list", "0,20" });
    options.addOption({ "modes", "View modes: list, columns, icons.", "list", "list,columns,icons" });
    options.process(app);
    const int count = options.value("entries").toInt();
    const QList<int> delays = parseList(options.value("delays"));
    const QStringList modeNames = options.value("modes").split(QLatin1Char(','), Qt::SkipEmptyParts);

    VfsModelFactory::install();
    PeerModel peers;
    qmlRegisterType<IPeer>("com.orvanti.mirk", 1, 0, "Peer");
    QQmlEngine engine;

    QTemporaryDir dir;
    const QString listed = dir.filePath(QStringLiteral("listed"));
    if (!dir.isValid() || !QDir().mkdir(listed) || !makeEntries(listed, count)) {
        std::fprintf(stderr, "cannot prepare %s\n", qPrintable(listed));
        return 1;
    }
    std::printf("%d entries in %s; the longest stall is the largest lateness of a 1 ms timer\n", count,
                qPrintable(listed));
    std::printf("%8s %6s %14s %14s %14s %14s\n", "mode", "delay", "model row ms", "first row ms", "last row ms",
                "stall ms");
    std::fflush(stdout);
    int failures = 0;
    for (const QString& name : modeNames) {
        const int mode = name == QLatin1String("list") ? Filer::ViewList
                         : name == QLatin1String("icons") ? Filer::ViewIcons
                                                          : Filer::ViewColumns;
        for (int delay : delays) {
            const Run run = browse(app, &engine, listed, count, delay, mode);
            const bool ok = run.ok && run.rows == count;
            failures += ok ? 0 : 1;
            std::printf("%8s %3d ms %14.1f %14.1f %14.1f %14.1f%s\n", qPrintable(name), delay, run.firstSourceMs,
                        run.firstRowMs,
                        run.lastRowMs, run.stallMs, ok ? "" : "  (FAILED)");
            std::printf("%17s slowest event %.1f ms: %s; most processor time of one event %.1f ms\n", "",
                        run.slowest, qPrintable(run.slowestWhat), run.mostCpu);
            std::fflush(stdout);
        }
    }

    // The launcher works on a database of its own.
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    AppLauncher launcher(nullptr);
    std::printf("\nselect all %d entries in the active Filer (processor ms: the window thread's own time for the\n"
                "selection change, which other load on the machine does not inflate)\n%8s %14s %14s %14s  %s\n",
                count, "mode", "select ms", "processor ms", "stall ms", "status bar");
    for (const QString& name : modeNames) {
        const int mode = name == QLatin1String("list") ? Filer::ViewList
                         : name == QLatin1String("icons") ? Filer::ViewIcons
                                                          : Filer::ViewColumns;
        const SelectRun run = selectAll(app, &engine, &db, listed, count, mode);
        failures += run.ok ? 0 : 1;
        std::printf("%8s %14.1f %14.1f %14.1f  %s%s\n", qPrintable(name), run.selectMs, run.selectCpuMs, run.stallMs,
                    qPrintable(run.status), run.ok ? "" : "  (FAILED)");
        std::printf("%8s slowest event %.1f ms: %s\n", "", run.slowest, qPrintable(run.slowestWhat));
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
