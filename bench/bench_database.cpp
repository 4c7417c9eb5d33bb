// Prints the time of 10,000 node saves (first as inserts, then as updates)
// and of 10,000 peer-list reads, each on one thread's connection to a fresh
// velm.db in a temporary directory. Figures only; nothing is judged.
#include "core/databasesqlite.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUuid>

#include <cstdio>

namespace {

void report(const char* what, int count, qint64 nsecs)
{
    std::printf("%-34s %6d calls  %9.1f ms  %8.2f us/call  %9.0f calls/s\n", what, count,
                nsecs / 1e6, nsecs / 1e3 / count, count / (nsecs / 1e9));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = 10000;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));

    // A realistic store: the own peer and a few paired machines.
    const QString own = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
    db.putPeer({own, QStringLiteral("velm"), QDateTime::currentDateTime()});
    for (int i = 0; i < 8; ++i)
        db.putPeer({QUuid::createUuid().toString(), QStringLiteral("velm"), QDateTime::currentDateTime()});
    const QString sector = QUuid::createUuid().toString();
    db.putVSector({sector, QStringLiteral("Home"), 0, 0, 1000, 1000});

    std::vector<VNodeDto> nodes;
    nodes.reserve(count);
    for (int i = 0; i < count; ++i)
        nodes.push_back({QUuid::createUuid().toString(), own, sector, QStringLiteral("node"),
                         QStringLiteral("round"), QStringLiteral("/home/user/dir%1").arg(i),
                         QStringLiteral("dir"), QStringLiteral("folder"), quint64(i), double(i), 1.0});

    QElapsedTimer timer;
    int failed = 0;
    timer.start();
    for (const VNodeDto& n : nodes)
        failed += db.putVNode(n) ? 0 : 1;
    report("putVNode (insert)", count, timer.nsecsElapsed());

    timer.restart();
    for (VNodeDto& n : nodes) {
        n.x += 1;
        failed += db.putVNode(n) ? 0 : 1;
    }
    report("putVNode (update)", count, timer.nsecsElapsed());

    timer.restart();
    size_t seen = 0;
    for (int i = 0; i < count; ++i)
        seen += db.getPeers(QStringLiteral("velm")).size();
    report("getPeers (9 peers)", count, timer.nsecsElapsed());

    timer.restart();
    size_t nodesSeen = db.getVNodes(sector).size();
    report("getVNodes (10,000 rows, once)", 1, timer.nsecsElapsed());

    std::printf("failed writes: %d, peers read: %zu, nodes read: %zu\n", failed, seen, nodesSeen);
    return failed == 0 ? 0 : 1;
}
