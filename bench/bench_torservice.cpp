// How long the thread of the Tor service stalls while it starts and stops
// its two tor processes: the stand-in tor of the tests is put first on the
// path (loopback only), a 1 ms timer ticks on the service's thread, and the
// longest gap between ticks is printed for the way from startService() to
// the published address and from stopService() to the last process gone,
// once with a tor that ends on SIGTERM and once with one that ignores it and
// is killed 3 s later. Waiting for the processes instead would stall the
// thread for the whole of each figure in the "took" column.
// Figures only; nothing is judged.
#include "com/tor/torhiddenservice.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// The longest gap between ticks of a 1 ms timer while it runs.
class StallMeter
{
public:
    StallMeter()
    {
        m_timer.setInterval(1);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = qMax(m_longest, m_since.restart());
        });
    }
    void start()
    {
        m_longest = 0;
        m_since.start();
        m_timer.start();
    }
    qint64 stop()
    {
        m_timer.stop();
        return qMax(m_longest, m_since.elapsed());
    }

private:
    QTimer m_timer;
    QElapsedTimer m_since;
    qint64 m_longest = 0;
};

bool cycle(const char* label, const QString& dir, int rounds)
{
    for (int round = 0; round < rounds; ++round) {
        TorHiddenService service(freePort(), freePort(), QString(), nullptr);
        service.setSocksPort(freePort());
        service.setConfigDirectory(dir);
        TorHiddenService::Delays delays;
        delays.firstTick = delays.switched = 10;
        delays.proxyStarted = delays.serviceStarted = 50;
        delays.idle = 100;
        delays.retry = 200;
        service.setDelays(delays);

        StallMeter meter;
        QElapsedTimer took;
        took.start();
        meter.start();
        service.startService();
        if (!bench::waitFor([&] { return service.controlState() == TorHiddenService::StatePublished; }, 60000)) {
            std::printf("%s: the service was not published\n", label);
            return false;
        }
        const qint64 startMs = took.elapsed();
        const qint64 startStall = meter.stop();

        took.restart();
        meter.start();
        service.stopService();
        if (!bench::waitFor([&] { return !service.isEnabled() && !service.hasRunningProcesses(); }, 60000)) {
            std::printf("%s: the processes did not end\n", label);
            return false;
        }
        const qint64 stopMs = took.elapsed();
        const qint64 stopStall = meter.stop();
        std::printf("%-22s round %d  start took %6lld ms, longest stall %4lld ms;"
                    "  stop took %6lld ms, longest stall %4lld ms\n",
                    label, round + 1, static_cast<long long>(startMs), static_cast<long long>(startStall),
                    static_cast<long long>(stopMs), static_cast<long long>(stopStall));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir bin;
    QTemporaryDir work;
    if (!bin.isValid() || !work.isValid()
        || !QFile::link(QStringLiteral(FAKE_TOR_SCRIPT), bin.filePath(QStringLiteral("tor"))))
        return 1;
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + qgetenv("PATH"));
    qputenv("FAKE_TOR_REGISTRY", QFile::encodeName(work.filePath(QStringLiteral("registry"))));
    qunsetenv("FAKE_TOR_LOG");

    qunsetenv("FAKE_TOR_IGNORE_TERM");
    if (!cycle("tor ends on SIGTERM", work.path(), 3))
        return 1;
    qputenv("FAKE_TOR_IGNORE_TERM", "1");
    if (!cycle("tor ignores SIGTERM", work.path(), 3))
        return 1;
    return 0;
}
