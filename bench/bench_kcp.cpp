// Two endpoints joined by an in-memory channel with a fixed one-way delay
// and random loss, on the real clock with the session's own timers, in one
// thread. For each channel it prints:
//   - payload throughput of a bulk transfer of 64400-byte frames (the
//     sender keeps at most 256 fragments queued),
//   - process CPU time per MB delivered during that transfer,
//   - the latency (median and 99th percentile) of 1000-byte frames sent
//     every 10 ms on an otherwise idle link.
// Options: --seconds=N (bulk phase, default 3), --latency-seconds=N
// (default 2), --seed=N.
#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>
#include <vector>

namespace {

constexpr quint32 kConv = 0x0BE5C0DE;
constexpr int kBulkFrame = 64400;
constexpr int kLatencyFrame = 1000;
constexpr int kMaxQueuedFragments = 256;

double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Datagrams from one endpoint to the other after a delay, some of them lost.
class Channel : public QObject
{
public:
    Channel(Endpoint* a, Endpoint* b, int delayMs, double loss, quint32 seed)
        : m_delayNs(qint64(delayMs) * 1000000)
        , m_loss(loss)
        , m_rng(seed)
    {
        m_ends[0] = a;
        m_ends[1] = b;
        m_clock.start();
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] { deliverDue(); });
        for (int i = 0; i < 2; ++i) {
            m_via[i].uuid = QStringLiteral("{00000000-0000-0000-0000-00000000000%1}").arg(i + 1);
            m_via[i].type = QStringLiteral("udp");
            m_via[i].host = QStringLiteral("127.0.0.1");
            connect(m_ends[i], &Endpoint::transmit, this,
                    [this, i](TransportFilter, const quint8* buf, size_t len, int, int) { send(i, buf, len); });
        }
    }

    quint64 sent() const { return m_sent; }
    quint64 lost() const { return m_lost; }

private:
    struct Pending
    {
        qint64 due;
        int from;
        std::vector<quint8> bytes;
    };

    void send(int from, const quint8* buf, size_t len)
    {
        ++m_sent;
        if (m_loss > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < m_loss) {
            ++m_lost;
            return;
        }
        m_queue.push_back({m_clock.nsecsElapsed() + m_delayNs, from, std::vector<quint8>(buf, buf + len)});
        schedule();
    }

    void schedule()
    {
        if (m_queue.empty() || m_timer.isActive())
            return;
        const qint64 wait = m_queue.front().due - m_clock.nsecsElapsed();
        m_timer.start(wait <= 0 ? 0 : int((wait + 999999) / 1000000));
    }

    void deliverDue()
    {
        const qint64 now = m_clock.nsecsElapsed();
        while (!m_queue.empty() && m_queue.front().due <= now) {
            Pending p = std::move(m_queue.front());
            m_queue.pop_front();
            crypto::KeyId keyId = 0;
            unsigned long long stated = 0;
            if (crypto::checkEncryptedMessage(p.bytes.data(), p.bytes.size(), &keyId, &stated) != crypto::CheckMsgOk)
                continue;
            Endpoint* to = m_ends[1 - p.from];
            if (keyId == crypto::MsgPublicKeyId)
                to->receivedPubkeyEncryptedMessage(m_via[p.from], p.bytes.data(), p.bytes.size());
            else
                to->receivedEncryptedMessage(m_via[p.from], keyId, p.bytes.data(), p.bytes.size());
        }
        schedule();
    }

    Endpoint* m_ends[2];
    TransportDto m_via[2];
    qint64 m_delayNs;
    double m_loss;
    std::mt19937 m_rng;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<Pending> m_queue;
    quint64 m_sent = 0;
    quint64 m_lost = 0;
};

// Two endpoints with crossed session keys and one KCP session.
struct Pair
{
    Pair()
    {
        quint8 ab[32];
        quint8 ba[32];
        crypto::generateSessionKey(ab);
        crypto::generateSessionKey(ba);
        a.setTxKey(20, ab);
        b.setRxKey(20, ab);
        b.setTxKey(30, ba);
        a.setRxKey(30, ba);
        a.setKcpSession(kConv);
        b.setKcpSession(kConv);
        // The channel loses datagrams like UDP; the registry paces sessions
        // on such transports this way.
        a.kcp()->setPath(Kcp::PathDatagram);
        b.kcp()->setPath(Kcp::PathDatagram);
    }
    Endpoint a;
    Endpoint b;
};

// Frame: u32 length field, u64 sequence number, u64 send time (ns), filler.
std::vector<quint8> makeFrame(int size, quint64 seq, qint64 sentNs)
{
    std::vector<quint8> f(size_t(size), 0x5A);
    f[0] = 7;
    for (int i = 0; i < 4; ++i)
        f[size_t(1 + i)] = quint8(quint32(size) >> (8 * i));
    std::memcpy(f.data() + 5, &seq, 8);
    std::memcpy(f.data() + 13, &sentNs, 8);
    return f;
}

qint64 sentTimeOf(const std::vector<unsigned char>& f)
{
    qint64 t = 0;
    if (f.size() >= 21)
        std::memcpy(&t, f.data() + 13, 8);
    return t;
}

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct BulkResult
{
    double mbPerSecond;
    double cpuMsPerMb;
    double datagramLoss;
};

BulkResult bulk(int delayMs, double loss, quint32 seed, int seconds)
{
    Pair pair;
    Channel channel(&pair.a, &pair.b, delayMs, loss, seed);
    QElapsedTimer clock;
    clock.start();
    quint64 seq = 0;
    quint64 receivedBytes = 0;
    QObject::connect(&pair.b, &Endpoint::receivedMessage, &pair.b,
                     [&](const std::vector<unsigned char>& m) { receivedBytes += m.size(); });
    auto feed = [&] {
        while (pair.a.kcp()->waitSend() < kMaxQueuedFragments) {
            const std::vector<quint8> f = makeFrame(kBulkFrame, seq++, clock.nsecsElapsed());
            if (pair.a.send(f.data(), f.size()) != Endpoint::SendOk)
                break;
        }
    };
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feeder, &QTimer::timeout, &feeder, feed);
    feeder.start(1);
    feed();

    const double cpu0 = cpuSeconds();
    const qint64 t0 = clock.nsecsElapsed();
    runFor(seconds * 1000);
    const double cpu = cpuSeconds() - cpu0;
    const double wall = double(clock.nsecsElapsed() - t0) / 1e9;
    const double mb = double(receivedBytes) / 1e6;
    return {mb / wall, mb > 0 ? cpu * 1000.0 / mb : 0.0,
            channel.sent() ? double(channel.lost()) / double(channel.sent()) : 0.0};
}

struct LatencyResult
{
    double medianMs;
    double p99Ms;
    size_t samples;
};

LatencyResult latency(int delayMs, double loss, quint32 seed, int seconds)
{
    Pair pair;
    Channel channel(&pair.a, &pair.b, delayMs, loss, seed);
    QElapsedTimer clock;
    clock.start();
    std::vector<double> samples;
    QObject::connect(&pair.b, &Endpoint::receivedMessage, &pair.b, [&](const std::vector<unsigned char>& m) {
        samples.push_back(double(clock.nsecsElapsed() - sentTimeOf(m)) / 1e6);
    });
    quint64 seq = 0;
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    QObject::connect(&sender, &QTimer::timeout, &sender, [&] {
        const std::vector<quint8> f = makeFrame(kLatencyFrame, seq++, clock.nsecsElapsed());
        pair.a.send(f.data(), f.size());
    });
    sender.start(10);
    runFor(seconds * 1000);
    sender.stop();
    runFor(std::max(500, 20 * delayMs)); // let the last ones arrive
    if (samples.empty())
        return {0, 0, 0};
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2];
    const double p99 = samples[std::min(samples.size() - 1, size_t(double(samples.size()) * 0.99))];
    return {median, p99, samples.size()};
}

int intOption(const QStringList& args, const QString& name, int fallback)
{
    for (const QString& a : args) {
        if (a.startsWith(name + QLatin1Char('='))) {
            bool ok = false;
            const int v = a.mid(name.size() + 1).toInt(&ok);
            if (ok && v > 0)
                return v;
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Crypto cryptoLibrary;
    const QStringList args = app.arguments();
    const int seconds = intOption(args, QStringLiteral("--seconds"), 3);
    const int latencySeconds = intOption(args, QStringLiteral("--latency-seconds"), 2);
    const quint32 seed = quint32(intOption(args, QStringLiteral("--seed"), 1));

    std::printf("KCP sessions between two endpoints over an in-memory channel, real clock,\n"
                "sealed datagrams, paced for a datagram path: 10 ms tick and flush interval,\n"
                "windows 64/128, fast resend after two skipping acknowledgements.\n"
                "Bulk: %d-byte frames for %d s; latency: %d-byte frames every 10 ms for %d s.\n\n",
                kBulkFrame, seconds, kLatencyFrame, latencySeconds);
    std::printf("%8s %6s | %12s %12s %10s | %12s %10s %8s\n", "delay ms", "loss", "payload MB/s", "CPU ms/MB",
                "lost dgrams", "latency p50", "p99 ms", "samples");
    for (int delay : {0, 1, 20}) {
        for (double loss : {0.0, 0.01}) {
            const BulkResult b = bulk(delay, loss, seed, seconds);
            const LatencyResult l = latency(delay, loss, seed + 1, latencySeconds);
            std::printf("%8d %5.0f%% | %12.2f %12.1f %9.2f%% | %9.2f ms %10.2f %8zu\n", delay, loss * 100,
                        b.mbPerSecond, b.cpuMsPerMb, b.datagramLoss * 100, l.medianMs, l.p99Ms, l.samples);
            std::fflush(stdout);
        }
    }
    return 0;
}
