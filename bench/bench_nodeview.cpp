// Prints, for the node view on the shared engine (the GUI test rig: a
// temporary home, the real store, the own peer over the in-process link):
//  - load: 20 sectors of 100 nodes read from the store and made into items,
//    the time of the set-up (one pass of the event loop, so also its stall);
//  - relations: one pass over a sector of 500 nodes (min, median, max of 20);
//  - drag: a node of that sector moved across it in 200 steps of the event
//    loop, then the growth of the sector and the saves; the longest gap
//    between two ticks of a 1 ms heartbeat, i.e. the longest stall the user
//    would feel, and the time the growth (moving all 500 items) took.
// Run it with QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software (or on a
// desktop). Figures only.
//
// Options: --sectors 20 --nodes 100 --big 500.
#include "benchutil.h"
#include "core/databasesqlite.h"
#include "core/vnodedto.h"
#include "core/vsectordto.h"
#include "nodeview/guinode.h"
#include "nodeview/nodeview.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QQuickItem>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using bench::waitFor;

// The longest gap between two ticks of a 1 ms timer while it runs.
class StallMeter : public QObject
{
public:
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
        m_timer.start();
    }
    double stop()
    {
        m_timer.stop();
        m_timer.disconnect(this);
        const qint64 now = m_clock.nsecsElapsed();
        m_longest = std::max(m_longest, now - m_last);
        return m_longest / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

QString uuid()
{
    return QUuid::createUuid().toString();
}

// A directory tree of a sector: nodes at several depths under a few roots,
// so that the relations find parents, indirect ones and children.
std::vector<VNodeDto> sectorNodes(const QString& sector, int count, int seed)
{
    std::vector<VNodeDto> rows;
    const QString own = QUuid().toString();
    rows.push_back(VNodeDto{ uuid(), own, sector, QStringLiteral("PC"), QStringLiteral("style0"), QStringLiteral("%"),
                             QStringLiteral("peer"), QString(), 0, 1100, 1100 });
    rows.push_back(VNodeDto{ uuid(), own, sector, QStringLiteral("root"), QStringLiteral("drive0"), QStringLiteral("/"),
                             QStringLiteral("drive"), QString(), 0, 1150, 1200 });
    for (int i = 2; i < count; ++i) {
        const int a = (i * 7 + seed) % 10;
        const int b = (i * 13) % 7;
        const int c = i;
        QString path;
        switch (i % 4) {
        case 0: path = QStringLiteral("/data%1").arg(a); break;
        case 1: path = QStringLiteral("/data%1/b%2").arg(a).arg(b); break;
        case 2: path = QStringLiteral("/data%1/b%2/c%3/d").arg(a).arg(b).arg(c); break;
        default: path = QStringLiteral("/data%1/b%2/f%3.txt").arg(a).arg(b).arg(c); break;
        }
        const QString type = i % 4 == 3 ? QStringLiteral("file") : QStringLiteral("directory");
        rows.push_back(VNodeDto{ uuid(), own, sector, path.section(QLatin1Char('/'), -1), QStringLiteral("style%1").arg(i % 17),
                                 path, type, QString(), 0, 1100.0 + (i % 25) * 110, 1300.0 + (i / 25) * 60 });
    }
    return rows;
}

void fill(DatabaseSqlite* db, int sectors, int nodes)
{
    for (int s = 0; s < sectors; ++s) {
        const QString sector = uuid();
        db->putVSector(VSectorDto{ sector, QStringLiteral("View %1").arg(s), 1024, 1024, 4096, 4096 });
        db->putVNode(VNodeDto{ uuid(), QUuid().toString(), sector, QStringLiteral("View %1").arg(s),
                               QStringLiteral("sector0"), QStringLiteral("%"), QStringLiteral("sector"), QString(), 0,
                               32.0 + 110 * s, 32 });
        for (const VNodeDto& row : sectorNodes(sector, nodes, s))
            db->putVNode(row);
    }
}

struct Started
{
    std::unique_ptr<MainWindow> window;
    double setupMs = 0;
};

Started startView(GuiTestRig& rig)
{
    Started started;
    started.window = rig.createWindow();
    started.window->resize(1400, 900);
    started.window->show();
    waitFor([&] { return started.window->isVisible(); }, 10000);
    NodeView* view = started.window->nodeView();
    QElapsedTimer clock;
    rig.manager()->announceStarted();
    // The set-up runs in one slot: the time from the start to its end is
    // spent inside it but for the queued hop.
    clock.start();
    waitFor([&] { return view->isSetUp(); }, 120000);
    started.setupMs = clock.nsecsElapsed() / 1e6;
    return started;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("sectors"), QStringLiteral("sectors to load"), QStringLiteral("n"), QStringLiteral("20") });
    parser.addOption({ QStringLiteral("nodes"), QStringLiteral("nodes per sector"), QStringLiteral("n"), QStringLiteral("100") });
    parser.addOption({ QStringLiteral("big"), QStringLiteral("nodes of the dragged-in sector"), QStringLiteral("n"), QStringLiteral("500") });
    parser.process(app);
    const int sectors = parser.value(QStringLiteral("sectors")).toInt();
    const int nodes = parser.value(QStringLiteral("nodes")).toInt();
    const int big = parser.value(QStringLiteral("big")).toInt();
    NodeView::setDefaultVisitorIntervalMs(24 * 3600 * 1000);

    {
        GuiTestRig rig;
        fill(rig.database(), sectors, nodes);
        QElapsedTimer clock;
        clock.start();
        Started started = startView(rig);
        int made = 0;
        for (const QString& sector : started.window->nodeView()->sectorUuids())
            made += started.window->nodeView()->sectorNodes(sector).size();
        std::printf("load: %d sectors x %d nodes (%d items): set-up %.1f ms\n", sectors, nodes, made, started.setupMs);
        clock.restart();
        started.window.reset();
        std::printf("      closing (every node stored) %.1f ms\n", clock.nsecsElapsed() / 1e6);
    }

    GuiTestRig rig;
    fill(rig.database(), 1, big);
    Started started = startView(rig);
    NodeView* view = started.window->nodeView();
    const QString sector = view->sectorUuids().first();
    std::vector<double> passes;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer clock;
        clock.start();
        view->onPeerNameChanged(); // the relations of every sector: one here
        passes.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::sort(passes.begin(), passes.end());
    std::printf("relations: one pass over %d nodes: min %.2f ms, median %.2f ms, max %.2f ms\n", big, passes.front(),
                passes[passes.size() / 2], passes.back());

    // Rendered once before the drag.
    waitFor([] { return false; }, 300);
    GuiNode::setSaveDelayMs(300);
    QList<GuiNode*> list = view->sectorNodes(sector);
    QQuickItem* item = list.at(list.size() / 2)->item();
    const QPointF from = item->position();
    StallMeter meter;
    meter.start();
    QElapsedTimer clock;
    clock.start();
    double longestStep = 0;
    for (int step = 1; step <= 200; ++step) {
        QElapsedTimer one;
        one.start();
        item->setPosition(from + QPointF(step * 20.0, step * 3.0));
        QCoreApplication::processEvents();
        longestStep = std::max(longestStep, one.nsecsElapsed() / 1e6);
        waitFor([] { return false; }, 4);
    }
    const double dragMs = clock.nsecsElapsed() / 1e6;
    QQuickItem* page = view->sectorPage(sector);
    const double widthBefore = page->property("contentWidth").toDouble();
    // The growth comes one to two seconds after the last move, the saves
    // 300 ms after it.
    waitFor([&] { return page->property("contentWidth").toDouble() != widthBefore; }, 10000);
    waitFor([] { return false; }, 500);
    const double stall = meter.stop();
    std::printf("drag: 200 moves of one node in a sector of %d in %.0f ms; longest move %.2f ms; sector grew to %.0f x %.0f\n",
                big, dragMs, longestStep, page->property("contentWidth").toDouble(),
                page->property("contentHeight").toDouble());
    std::printf("longest stall (drag, growth of the sector and saves, rendering included): %.2f ms\n", stall);
    started.window.reset();
    return 0;
}
